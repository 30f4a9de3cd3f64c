// Small Linux services: the clock, the process, the main bundle, headless
// alerts, and run-time library lookup.
#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "platform/alerts.h"
#include "platform/clock.h"
#include "platform/library_loader.h"
#include "platform/process.h"

namespace ql::linux_backend {

class RealClock : public Clock {
 public:
  TimePoint now() override { return Clock_t::now(); }
  void sleepFor(Duration d) override;
};

class LinuxProcessInfo : public ProcessInfo {
 public:
  std::map<std::string, std::string> environment() override;
  int processIdentifier() override;
  std::string homeDirectory() override;
  std::optional<std::string> homeDirectoryForUser(const std::string& user) override;
  int signalProbe(long long pid) override;
};

// The bundle that holds an executable: "<bundle>/Contents/MacOS/<exe>" gives
// <bundle>; a bare executable's bundle is its folder.
std::string bundlePathForExecutable(const std::string& executablePath);
// The running executable, from /proc/self/exe.
std::string currentExecutablePath();

// The information dictionary is read once, when the bundle is made. An
// Info.plist that is no regular file (a FIFO, a device) or is larger than
// kMaxInfoPlistBytes counts as missing.
class LinuxBundle : public Bundle {
 public:
  explicit LinuxBundle(std::string bundlePath);
  std::string bundlePath() override { return path_; }
  std::optional<std::string> bundleIdentifier() override;
  InfoValue infoValue(const std::string& key) override;

 private:
  std::string path_;
  std::map<std::string, InfoValue> info_;
};

// An Info.plist is a few kilobytes; a file past this is not one.
inline constexpr size_t kMaxInfoPlistBytes = size_t(16) << 20;

// Parses an Info.plist (XML or binary) into its top-level values; a missing
// or malformed file gives an empty dictionary.
std::map<std::string, InfoValue> parseInfoPlist(const std::string& bytes);

// With no display: the texts go to standard error and the alert answers as
// dismissed, never as its first button, so nothing is done without consent.
//
// Scripted runs (end-to-end tests, demos) may answer for the user with the
// environment variable QL_ALERT_ANSWERS, read once when the alerts are made:
// a comma-separated list of responses ("1000" is the first button, "1001" the
// second…) given to the alerts in the order they are shown. Once the list is
// used up, alerts are dismissed again. A list that does not parse answers
// nothing, so a typo never clicks a button.
class HeadlessAlerts : public Alerts {
 public:
  HeadlessAlerts();  // reads QL_ALERT_ANSWERS
  explicit HeadlessAlerts(const std::string& scriptedAnswers);
  bool alertWindowIsPanel() override { return false; }
  int runModal(const Alert& alert) override;

 private:
  std::mutex mu_;
  std::deque<int> answers_;
};
inline constexpr int kAlertDismissed = -1000;
inline constexpr const char* kAlertAnswersVariable = "QL_ALERT_ANSWERS";

// "1000,1001" -> {1000, 1001}; empty on any malformed entry.
std::deque<int> parseAlertAnswers(const std::string& list);

class DlLibraryLoader : public LibraryLoader {
 public:
  std::unique_ptr<DynamicLibrary> open(const std::string& path, int mode) override;
};

}  // namespace ql::linux_backend
