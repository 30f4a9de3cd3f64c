#include "tests/fakes/fakes.h"

namespace ql::testing {

void FakeApplication::run() {
  dispatch_.asyncMain([this] {
    if (delegate_) delegate_->applicationDidFinishLaunching();
  });
  while (!terminated_ && dispatch_.drain() > 0) {
  }
}

void FakeApplication::terminate() {
  ++terminateRequests_;
  if (terminated_) return;
  terminationRequested_ = true;
  TerminateReply reply = delegate_ ? delegate_->applicationShouldTerminate() : TerminateReply::kNow;
  if (reply == TerminateReply::kNow) {
    terminated_ = true;
  } else {
    terminationRequested_ = false;
  }
}

namespace {
class NeverTask : public Task {
 public:
  void setTerminationHandler(std::function<void(Task&)>) override {}
  Status launch() override { return Status::Posix(ENOENT); }
  bool isRunning() override { return false; }
  void terminate() override {}
  void kill() override {}
  void waitUntilExit() override {}
  bool waitUntilExit(Duration) override { return true; }
  int terminationStatus() override { return 0; }
  int processIdentifier() override { return 0; }
  std::string collectOutput(OutputStream, Duration) override { return ""; }
};

struct FakeCode : Code {};
struct FakeStaticCode : StaticCode {
  std::string path;
};
struct FakeRequirement : Requirement {
  std::string text;
};
}  // namespace

std::shared_ptr<Task> NoTasks::makeTask(TaskSpec launchSpec) {
  made.push_back(std::move(launchSpec));
  return std::make_shared<NeverTask>();
}

OSStatus FakeCodeSigning::copySelf(uint32_t, CodeRef* out) {
  calls.push_back("copySelf");
  if (copySelfStatus) return copySelfStatus;
  *out = std::make_shared<FakeCode>();
  return 0;
}

OSStatus FakeCodeSigning::copyStaticCode(const CodeRef&, uint32_t, StaticCodeRef* out) {
  calls.push_back("copyStaticCode");
  if (copyStaticStatus) return copyStaticStatus;
  *out = std::make_shared<FakeStaticCode>();
  return 0;
}

OSStatus FakeCodeSigning::copyDesignatedRequirement(const StaticCodeRef&, uint32_t, RequirementRef* out) {
  calls.push_back("copyDesignatedRequirement");
  if (designatedStatus) return designatedStatus;
  *out = std::make_shared<FakeRequirement>();
  return 0;
}

OSStatus FakeCodeSigning::createStaticCodeWithPath(const std::string& path, uint32_t, StaticCodeRef* out) {
  calls.push_back("createStaticCodeWithPath " + path);
  if (createStaticStatus) return createStaticStatus;
  auto c = std::make_shared<FakeStaticCode>();
  c->path = path;
  *out = c;
  return 0;
}

OSStatus FakeCodeSigning::createRequirementWithString(const std::string& text, uint32_t, RequirementRef* out) {
  calls.push_back("createRequirementWithString");
  if (createRequirementStatus) return createRequirementStatus;
  auto r = std::make_shared<FakeRequirement>();
  r->text = text;
  *out = r;
  return 0;
}

OSStatus FakeCodeSigning::checkValidity(const StaticCodeRef&, uint32_t flags, const RequirementRef&) {
  calls.push_back("checkValidity " + std::to_string(flags));
  return validityStatus;
}

OSStatus FakeCodeSigning::copySigningInformation(const StaticCodeRef&, uint32_t, SigningInformation* out) {
  calls.push_back("copySigningInformation");
  if (signingInfoStatus) return signingInfoStatus;
  out->unique = std::vector<uint8_t>{0xcd, 0x01};
  return 0;
}

namespace {
class FakeLibrary : public DynamicLibrary {
 public:
  FakeLibrary(std::map<std::string, void*> symbols, int* closed) : symbols_(std::move(symbols)), closed_(closed) {}
  ~FakeLibrary() override { ++*closed_; }
  FakeLibrary(const FakeLibrary&) = delete;
  FakeLibrary& operator=(const FakeLibrary&) = delete;
  void* symbol(const std::string& name) override {
    auto it = symbols_.find(name);
    return it == symbols_.end() ? nullptr : it->second;
  }

 private:
  std::map<std::string, void*> symbols_;
  int* closed_;
};
}  // namespace

std::unique_ptr<DynamicLibrary> FakeLibraryLoader::open(const std::string& path, int) {
  opened.push_back(path);
  auto it = libraries.find(path);
  if (it == libraries.end()) return nullptr;
  return std::make_unique<FakeLibrary>(it->second, &closed);
}

}  // namespace ql::testing
