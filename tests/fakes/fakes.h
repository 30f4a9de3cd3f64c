// In-memory fakes of the platform services the launcher core uses.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/fakes/fake_dispatch.h"

namespace ql::testing {

// A handle that keeps what was written, for standard error and log checks.
class MemoryFileHandle : public FileHandle {
 public:
  Status write(std::string_view bytes) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (failWrites_) return Status::Posix(EIO);
    data_.append(bytes);
    return Status::OK();
  }
  int descriptor() const override { return -1; }
  std::string contents() {
    std::lock_guard<std::mutex> lock(mu_);
    return data_;
  }
  void setFailWrites(bool f) {
    std::lock_guard<std::mutex> lock(mu_);
    failWrites_ = f;
  }

 private:
  std::mutex mu_;
  std::string data_;
  bool failWrites_ = false;
};

// The real file manager (usually over a temporary directory) with standard
// error captured in memory.
class CapturingFileManager : public ForwardingFileManager {
 public:
  explicit CapturingFileManager(FileManager& target)
      : ForwardingFileManager(target), stderr_(std::make_shared<MemoryFileHandle>()) {}
  std::shared_ptr<FileHandle> standardError() override { return stderr_; }
  std::string standardErrorText() { return stderr_->contents(); }
  MemoryFileHandle& standardErrorHandle() { return *stderr_; }

 private:
  std::shared_ptr<MemoryFileHandle> stderr_;
};

class FakeApplication : public Application {
 public:
  explicit FakeApplication(FakeDispatch& dispatch) : dispatch_(dispatch) {}
  // A new delegate stands for a fresh launch (tests restart the launcher on
  // the same platform): a quit requested of the previous one is gone.
  void setDelegate(ApplicationDelegate* d) override {
    if (d && d != delegate_) terminationRequested_ = false;
    delegate_ = d;
  }
  ApplicationDelegate* delegate() { return delegate_; }
  void setActivationPolicy(ActivationPolicy p) override {
    std::lock_guard<std::mutex> lock(mu_);
    policies_.push_back(p);
  }
  ActivationPolicy activationPolicy() override {
    std::lock_guard<std::mutex> lock(mu_);
    return policies_.empty() ? ActivationPolicy::kRegular : policies_.back();
  }
  std::vector<ActivationPolicy> policies() {
    std::lock_guard<std::mutex> lock(mu_);
    return policies_;
  }
  void setMainMenu(std::shared_ptr<Menu> m) override { menu_ = std::move(m); }
  std::shared_ptr<Menu> mainMenu() { return menu_; }
  void activate() override { ++activations_; }
  int activations() const { return activations_; }
  // Runs didFinishLaunching, then drains the queues until the application
  // terminated or nothing is left to do.
  void run() override;
  void terminate() override;
  bool terminationRequested() override { return terminationRequested_.load(); }
  int terminateRequests() const { return terminateRequests_; }
  bool terminated() const { return terminated_; }
  // What the platform does when a termination signal or the quit action
  // arrives (from any thread): the request is recorded at once and the
  // terminate itself queued on the main queue, to run between callbacks.
  void requestTermination() {
    terminationRequested_ = true;
    dispatch_.asyncMain([this] { terminate(); });
  }
  // A second launch asking this one to reopen, queued the same way.
  void requestReopen() {
    dispatch_.asyncMain([this] {
      if (delegate_) delegate_->applicationShouldHandleReopen(false);
    });
  }

 private:
  FakeDispatch& dispatch_;
  ApplicationDelegate* delegate_ = nullptr;
  std::mutex mu_;
  std::vector<ActivationPolicy> policies_;
  std::shared_ptr<Menu> menu_;
  int activations_ = 0;
  int terminateRequests_ = 0;
  bool terminated_ = false;
  std::atomic<bool> terminationRequested_{false};
};

// Answers alerts from a script and records every alert shown.
class ScriptedAlerts : public Alerts {
 public:
  bool alertWindowIsPanel() override { return panel_; }
  void setPanel(bool p) { panel_ = p; }
  int runModal(const Alert& alert) override {
    std::lock_guard<std::mutex> lock(mu_);
    shown_.push_back(alert);
    if (before_) before_(alert);
    if (answers_.empty()) return defaultAnswer_;
    int a = answers_.front();
    answers_.pop_front();
    return a;
  }
  void answer(int response) {
    std::lock_guard<std::mutex> lock(mu_);
    answers_.push_back(response);
  }
  void setDefaultAnswer(int response) { defaultAnswer_ = response; }
  // Runs as each alert is shown, e.g. to change the world while it is up.
  void onShow(std::function<void(const Alert&)> f) { before_ = std::move(f); }
  std::vector<Alert> shown() {
    std::lock_guard<std::mutex> lock(mu_);
    return shown_;
  }

 private:
  std::mutex mu_;
  std::vector<Alert> shown_;
  std::deque<int> answers_;
  int defaultAnswer_ = -1000;  // dismissed: never the first button
  bool panel_ = false;
  std::function<void(const Alert&)> before_;
};

class FakeProcessInfo : public ProcessInfo {
 public:
  std::map<std::string, std::string> env;
  int pid = 812;
  std::string home = "/home/u";
  std::map<std::string, std::string> users;  // name -> home
  std::map<long long, int> probes;           // pid -> errno of kill(pid, 0); missing = ESRCH

  std::map<std::string, std::string> environment() override {
    std::lock_guard<std::mutex> lock(mu_);
    ++environmentReads;
    return env;
  }
  int processIdentifier() override { return pid; }
  std::string homeDirectory() override { return home; }
  std::optional<std::string> homeDirectoryForUser(const std::string& user) override {
    auto it = users.find(user);
    if (it == users.end()) return std::nullopt;
    return it->second;
  }
  int signalProbe(long long p) override {
    std::lock_guard<std::mutex> lock(mu_);
    probed.push_back(p);
    auto it = probes.find(p);
    return it == probes.end() ? ESRCH : it->second;
  }
  std::vector<long long> probedPids() {
    std::lock_guard<std::mutex> lock(mu_);
    return probed;
  }
  int environmentReads = 0;

 private:
  std::mutex mu_;
  std::vector<long long> probed;
};

class FakeBundle : public Bundle {
 public:
  std::string path = "/home/u/Downloads/Quillmark.app";
  std::optional<std::string> identifier = "com.talvoria.quillmark";
  std::map<std::string, InfoValue> info;

  std::string bundlePath() override { return path; }
  std::optional<std::string> bundleIdentifier() override { return identifier; }
  InfoValue infoValue(const std::string& key) override {
    auto it = info.find(key);
    return it == info.end() ? InfoValue{} : it->second;
  }
  void setVersion(const std::string& v) { info["CFBundleVersion"] = {InfoValue::Kind::kString, v}; }
};

// Tasks that never start unless a test scripts them (see fake_tasks.h for
// scriptable children).
class NoTasks : public Tasks {
 public:
  std::shared_ptr<Task> makeTask(TaskSpec launchSpec) override;
  std::vector<TaskSpec> made;
};

// Code signing that accepts everything unless told a status per call.
class FakeCodeSigning : public CodeSigning {
 public:
  OSStatus copySelfStatus = 0, copyStaticStatus = 0, designatedStatus = 0, createStaticStatus = 0,
           createRequirementStatus = 0, validityStatus = 0, signingInfoStatus = 0;
  std::vector<std::string> calls;

  OSStatus copySelf(uint32_t, CodeRef* out) override;
  OSStatus copyStaticCode(const CodeRef&, uint32_t, StaticCodeRef* out) override;
  OSStatus copyDesignatedRequirement(const StaticCodeRef&, uint32_t, RequirementRef* out) override;
  OSStatus createStaticCodeWithPath(const std::string& path, uint32_t, StaticCodeRef* out) override;
  OSStatus createRequirementWithString(const std::string& text, uint32_t, RequirementRef* out) override;
  OSStatus checkValidity(const StaticCodeRef&, uint32_t flags, const RequirementRef&) override;
  OSStatus copySigningInformation(const StaticCodeRef&, uint32_t, SigningInformation* out) override;
  void releaseUnusedMemory() override { calls.push_back("releaseUnusedMemory"); }
};

class FakeWorkspace : public Workspace {
 public:
  std::vector<RunningApplication> running;
  RunningApplication current{812, std::nullopt};
  std::vector<RunningApplication> activated;
  std::vector<std::string> opened;
  Status openResult;
  bool completeOpenImmediately = true;
  std::vector<std::function<void()>> pendingCompletions;

  std::vector<RunningApplication> runningApplicationsWithBundleIdentifier(const std::string&) override {
    return running;
  }
  RunningApplication currentApplication() override { return current; }
  std::optional<RunningApplication> runningApplicationWithProcessIdentifier(int pid) override {
    for (auto& a : running)
      if (a.processIdentifier == pid) return a;
    return std::nullopt;
  }
  bool activate(const RunningApplication& app) override {
    activated.push_back(app);
    return true;
  }
  void openApplication(const std::string& path, bool, std::function<void(Status)> completion) override {
    opened.push_back(path);
    Status s = openResult;
    if (completeOpenImmediately) {
      completion(s);
    } else {
      pendingCompletions.push_back([completion, s] { completion(s); });
    }
  }
};

class FakeLibraryLoader : public LibraryLoader {
 public:
  // path -> (symbol -> address); a path not listed cannot be opened.
  std::map<std::string, std::map<std::string, void*>> libraries;
  std::vector<std::string> opened;
  int closed = 0;
  std::unique_ptr<DynamicLibrary> open(const std::string& path, int mode) override;
};

}  // namespace ql::testing
