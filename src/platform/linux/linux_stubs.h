// Services whose Linux backend has not landed yet: every call reports that
// the service is unavailable.
#pragma once

#include <cerrno>

#include "platform/code_signing.h"
#include "platform/task.h"

namespace ql::linux_backend {

class UnavailableCodeSigning : public CodeSigning {
 public:
  OSStatus copySelf(uint32_t, CodeRef*) override { return errSecCSUnimplemented; }
  OSStatus copyStaticCode(const CodeRef&, uint32_t, StaticCodeRef*) override { return errSecCSUnimplemented; }
  OSStatus copyDesignatedRequirement(const StaticCodeRef&, uint32_t, RequirementRef*) override {
    return errSecCSUnimplemented;
  }
  OSStatus createStaticCodeWithPath(const std::string&, uint32_t, StaticCodeRef*) override {
    return errSecCSUnimplemented;
  }
  OSStatus createRequirementWithString(const std::string&, uint32_t, RequirementRef*) override {
    return errSecCSUnimplemented;
  }
  OSStatus checkValidity(const StaticCodeRef&, uint32_t, const RequirementRef&) override {
    return errSecCSUnimplemented;
  }
  OSStatus copySigningInformation(const StaticCodeRef&, uint32_t, SigningInformation*) override {
    return errSecCSUnimplemented;
  }
};

class UnavailableTask : public Task {
 public:
  void setTerminationHandler(std::function<void(Task&)>) override {}
  Status launch() override { return Status::Posix(ENOSYS); }
  bool isRunning() override { return false; }
  void terminate() override {}
  void kill() override {}
  void waitUntilExit() override {}
  bool waitUntilExit(Duration) override { return true; }
  int terminationStatus() override { return 0; }
  int processIdentifier() override { return 0; }
  std::string collectOutput(OutputStream, Duration) override { return ""; }
};

class UnavailableTasks : public Tasks {
 public:
  std::shared_ptr<Task> makeTask(TaskSpec) override { return std::make_shared<UnavailableTask>(); }
};

}  // namespace ql::linux_backend
