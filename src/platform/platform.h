// Everything the launcher core needs from its platform, handed to it by
// reference. The core never reaches the operating system any other way.
#pragma once

#include <string>

#include "platform/alerts.h"
#include "platform/application.h"
#include "platform/clock.h"
#include "platform/code_signing.h"
#include "platform/dispatch.h"
#include "platform/file_manager.h"
#include "platform/library_loader.h"
#include "platform/process.h"
#include "platform/task.h"
#include "platform/workspace.h"

namespace ql {

// Facts of the platform fixed when it is built; tests point them elsewhere.
struct PlatformFacts {
  std::string systemApplicationsFolder = "/Applications";
  std::string userApplicationsFolder = "~/Applications";  // tilde expanded by the caller
  std::string assessmentTool = "/usr/sbin/spctl";
  std::string quarantineTool = "/usr/bin/xattr";
  std::string securityFramework = "/System/Library/Frameworks/Security.framework/Security";
};

struct Platform {
  Application& application;
  Alerts& alerts;
  FileManager& files;
  Tasks& tasks;
  Dispatch& dispatch;
  ProcessInfo& process;
  Bundle& bundle;
  CodeSigning& codeSigning;
  Workspace& workspace;
  Clock& clock;
  LibraryLoader& libraries;
  PlatformFacts facts;
};

}  // namespace ql
