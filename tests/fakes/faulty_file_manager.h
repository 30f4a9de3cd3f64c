// Fault injection through the seam: a file manager that fails one chosen
// call with a chosen errno and forwards everything else to the real one.
#pragma once

#include <cerrno>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file_manager.h"

namespace ql::testing {

class FaultyFileManager : public ForwardingFileManager {
 public:
  using ForwardingFileManager::ForwardingFileManager;

  // Fails the `index`-th (0-based) changing call, counted across all kinds of
  // change, with `err`. -1 disables injection (the counting still happens).
  void failCall(int index, int err) {
    std::lock_guard<std::mutex> lock(mu_);
    failAt_ = index;
    err_ = err;
  }
  // Every changing call seen, as "op path", in order.
  std::vector<std::string> calls() {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_;
  }
  // What was failed, or "" when nothing was.
  std::string injected() {
    std::lock_guard<std::mutex> lock(mu_);
    return injected_;
  }

  Status createDirectory(const std::string& p, bool i) override {
    return inject("createDirectory " + p, [&] { return target().createDirectory(p, i); });
  }
  Status createFile(const std::string& p) override {
    return inject("createFile " + p, [&] { return target().createFile(p); });
  }
  Status removeItem(const std::string& p) override {
    return inject("removeItem " + p, [&] { return target().removeItem(p); });
  }
  Status copyItem(const std::string& a, const std::string& b) override {
    return inject("copyItem " + a + " -> " + b, [&] { return target().copyItem(a, b); });
  }
  Status copyFileLimitingPermissions(const std::string& a, const std::string& b, unsigned allowed) override {
    return inject("copyFileLimitingPermissions " + a + " -> " + b,
                  [&] { return target().copyFileLimitingPermissions(a, b, allowed); });
  }
  Status rename(const std::string& a, const std::string& b) override {
    return inject("rename " + a + " -> " + b, [&] { return target().rename(a, b); });
  }
  Status exchange(const std::string& a, const std::string& b) override {
    return inject("exchange " + a + " <-> " + b, [&] { return target().exchange(a, b); });
  }
  Status createSymbolicLink(const std::string& p, const std::string& d) override {
    return inject("createSymbolicLink " + p + " -> " + d, [&] { return target().createSymbolicLink(p, d); });
  }
  Status setUserImmutable(const std::string& p, bool v) override {
    return inject("setUserImmutable " + p, [&] { return target().setUserImmutable(p, v); });
  }
  Status writeFile(const std::string& p, std::string_view d, bool a) override {
    return inject("writeFile " + p, [&] { return target().writeFile(p, d, a); });
  }

 private:
  Status inject(std::string what, const std::function<Status()>& real) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      int index = static_cast<int>(calls_.size());
      calls_.push_back(what);
      if (index == failAt_) {
        injected_ = what;
        return Status::Posix(err_);
      }
    }
    return real();
  }

  std::mutex mu_;
  std::vector<std::string> calls_;
  std::string injected_;
  int failAt_ = -1;
  int err_ = EIO;
};

}  // namespace ql::testing
