#include <ctime>

#include "app/app_delegate.h"
#include "app/log_format.h"

namespace ql {

std::string formatLogTimestamp(TimePoint t) {
  std::time_t secs = std::chrono::system_clock::to_time_t(
      std::chrono::time_point_cast<std::chrono::seconds>(t));
  // to_time_t truncates toward zero; whole seconds are floor for times after
  // 1970, which is every time the launcher will see.
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

std::string formatLogLine(TimePoint t, const std::string& message) {
  // Appending (rather than chaining operator+ on temporaries) also keeps
  // GCC 12's -O3 -Wrestrict false positive away.
  std::string line;
  line.reserve(message.size() + 32);
  line.append("[").append(formatLogTimestamp(t)).append("] ").append(message).append("\n");
  return line;
}

void AppDelegate::logLine(const std::string& message) {
  std::string line = formatLogLine(p_.clock.now(), message);
  std::lock_guard<std::mutex> lock(logMutex_);
  (void)log_->write(line);  // a lost line is not reported anywhere
  if (log_ == p_.files.standardError()) preLog_ += line;
}

void AppDelegate::rawNoticeBeforeLogOpen(const std::string& text) {
  auto stderrHandle = p_.files.standardError();
  std::lock_guard<std::mutex> lock(logMutex_);
  (void)stderrHandle->write(text);
  preLog_ += text;
}

void AppDelegate::rawNotice(const std::string& text) {
  auto stderrHandle = p_.files.standardError();
  std::lock_guard<std::mutex> lock(logMutex_);
  (void)stderrHandle->write(text);
  (void)log_->write(text);
}

void AppDelegate::writeToLog(const std::string& bytes) {
  std::lock_guard<std::mutex> lock(logMutex_);
  (void)log_->write(bytes);
}

void AppDelegate::openLogFile() {
  std::string path = zvd_ + "/logs/app.log";
  std::lock_guard<std::mutex> lock(logMutex_);
  // The logs folder may hold anything by now. createFile replaces a link or
  // FIFO planted at the name rather than emptying what it leads to, and
  // openForWriting takes only a plain file of our own, so the log can never
  // land in someone else's file; when either refuses, standard error stays.
  // The folder itself must be a real one: "logs" planted as a link to
  // another directory would put (or replace) an app.log in there.
  if (p_.files.entryType(zvd_ + "/logs") == EntryType::kDirectory && p_.files.createFile(path).ok()) {
    if (auto handle = p_.files.openForWriting(path)) log_ = std::move(handle);
  }
  if (!preLog_.empty() && log_ != p_.files.standardError()) (void)log_->write(preLog_);
}

std::string AppDelegate::preLogSnapshot() {
  std::lock_guard<std::mutex> lock(logMutex_);
  return preLog_;
}

bool AppDelegate::logIsStandardError() {
  std::lock_guard<std::mutex> lock(logMutex_);
  return log_ == p_.files.standardError();
}

void AppDelegate::fail(const std::string& message) {
  // Never inline: the caller returns first, and the alert comes afterwards.
  auto self = shared_from_this();
  p_.dispatch.asyncMain([self, message] {
    Alert alert;
    alert.style = AlertStyle::kCritical;
    alert.messageText = "Quillmark failed to start";
    alert.informativeText = message + "\n\nSee ~/.quillmark/logs/app.log for details.";
    self->runModalActivated(alert);
    self->p_.application.terminate();
  });
}

int AppDelegate::runModalActivated(Alert& alert) {
  p_.application.setActivationPolicy(ActivationPolicy::kRegular);
  alert.windowLevel = kModalPanelWindowLevel;
  if (p_.alerts.alertWindowIsPanel()) alert.styleMask |= kNonactivatingPanelMask;
  p_.application.activate();
  return p_.alerts.runModal(alert);
}

}  // namespace ql
