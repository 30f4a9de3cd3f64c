// The platform's assessment of a staged bundle, and the launcher's own
// signature evidence that tells a policy refusal from a damaged download.
#include "app/app_delegate.h"
#include "install/child_watchdog.h"
#include "common/text.h"
#include "common/utf8.h"

namespace ql {

namespace {

// Only the maker's Developer ID applications meet this: vendor root, the
// Developer ID CA marker on the first intermediate, the application marker
// on the leaf, and the maker's team as the leaf's organisational unit.
const char* const kInstallRequirement =
    "anchor apple generic and certificate 1[field.1.2.840.113635.100.6.2.6] exists and certificate "
    "leaf[field.1.2.840.113635.100.6.1.13] exists and certificate leaf[subject.OU] = \"T4K9PV2XQM\"";
constexpr uint32_t kStrictNestedFlags = kSecCSCheckNestedCode | kSecCSStrictValidate;  // 0x18

const char* const kWatchdogQueueLabel = "com.talvoria.zorvan.install-spctl-watchdog";
const Duration kAssessmentLimit{30.0};
// How long to keep reading after the tool has exited, for a descendant that
// still holds the pipe; what arrives later is not waited for.
const Duration kOutputGrace{2.0};

struct RefusalText {
  const char* message;
  const char* informative;
  bool appendOutput;
};

RefusalText refusalText(InstallRejection r) {
  switch (r) {
    case InstallRejection::policy:
      return {"Install blocked by your Mac's security settings",
              "This download is intact — its code signature verified as Talvoria's — but Gatekeeper policy on "
              "this Mac refused to allow it.\n\nIn System Settings → Privacy & Security, set \"Allow "
              "applications\" to \"App Store and identified developers\" (the exact labels vary by macOS "
              "version), then open Quillmark again. Choosing that option also re-enables Gatekeeper if "
              "assessments were disabled (spctl --master-disable); on macOS 14 and earlier, sudo spctl "
              "--master-enable works too.\n\nIf these settings already look right, check your internet "
              "connection and try again — or download the latest version.\n\n",
              true};
    case InstallRejection::tamper:
      return {"Install blocked — Gatekeeper rejected the app",
              "The app bundle may have been modified after download. Re-download and try again.\n\n", true};
    case InstallRejection::timeout:
      break;
  }
  return {"Install verification timed out",
          "Gatekeeper's assessment of the app didn't finish in time. This can happen on a slow network "
          "connection while it fetches the app's notarization ticket. Open Quillmark again to retry the "
          "install.",
          false};
}

}  // namespace

InstallEvidence AppDelegate::captureInstallEvidence(const std::string& stagedPath) {
  CodeSigning& cs = p_.codeSigning;
  // The references release their objects on every return below.
  RequirementRef requirement;
  if (cs.createRequirementWithString(kInstallRequirement, kSecCSDefaultFlags, &requirement) != errSecSuccess ||
      !requirement) {
    return {};
  }
  StaticCodeRef code;
  if (cs.createStaticCodeWithPath(stagedPath, kSecCSDefaultFlags, &code) != errSecSuccess || !code) return {};
  if (cs.checkValidity(code, kStrictNestedFlags, requirement) != errSecSuccess) return {};
  SigningInformation info;
  if (cs.copySigningInformation(code, kSecCSDefaultFlags, &info) != errSecSuccess) return {};
  if (!info.unique) return {};
  return {true, info.unique};
}

AssessmentOutcome AppDelegate::assessStagedBundle(const std::string& stagedPath,
                                                  const InstallEvidence& firstEvidence) {
  TaskSpec launchSpec;
  launchSpec.executable = p_.facts.assessmentTool;
  launchSpec.arguments = {"-a", "-t", "exec", "-vv", stagedPath};
  // One pipe for both streams, read by the platform while the tool runs: a
  // chatty tool must never stall on a full pipe and pass for a hung one.
  launchSpec.standardOutput = StreamSpec::pipe();
  launchSpec.standardErrorToOutput = true;
  std::shared_ptr<Task> spctl = p_.tasks.makeTask(std::move(launchSpec));
  if (Status launched = spctl->launch(); !launched.ok()) {
    return {AssessmentOutcome::Kind::kNotStarted, launched};
  }

  // The flag is shared with the watchdog, which may run after this returns;
  // both it and its queue live as long as the last holder.
  std::shared_ptr<SerialQueue> watchdogQueue = p_.dispatch.makeSerialQueue(kWatchdogQueueLabel);
  auto timedOut = std::make_shared<bool>(false);
  scheduleChildWatchdog(p_.dispatch, spctl, kAssessmentLimit, [watchdogQueue, timedOut] {
    watchdogQueue->sync([&] { *timedOut = true; });
  });

  spctl->waitUntilExit();
  bool watchdogFired = false;
  watchdogQueue->sync([&] { watchdogFired = *timedOut; });

  std::string raw = spctl->collectOutput(OutputStream::kStandardOutput, kOutputGrace);
  // Shown and logged only, never parsed; bytes that are not UTF-8 read as nothing.
  std::string output = isValidUtf8(raw) ? trimWhitespace(raw) : std::string();

  int status = spctl->terminationStatus();
  if (status == 0) {
    logLine("install: spctl ok — " + output);
    return {AssessmentOutcome::Kind::kPassed, Status::OK()};
  }

  InstallRejection rejection;
  if (watchdogFired) {
    rejection = InstallRejection::timeout;
  } else {
    InstallEvidence second = captureInstallEvidence(stagedPath);
    bool sameIntactCopy = firstEvidence.signatureValid && second.signatureValid && firstEvidence.cdhash &&
                          second.cdhash && *firstEvidence.cdhash == *second.cdhash;
    rejection = sameIntactCopy ? InstallRejection::policy : InstallRejection::tamper;
  }

  (void)p_.files.removeItem(stagedPath);  // a leftover is swept by the next attempt
  logLine(std::string("install: spctl rejected (") + installRejectionName(rejection) + ") — " + output);

  RefusalText text = refusalText(rejection);
  Alert alert;
  alert.style = AlertStyle::kCritical;
  alert.messageText = text.message;
  alert.informativeText = std::string(text.informative) + (text.appendOutput ? output : std::string());
  runModalActivated(alert);
  p_.application.terminate();
  return {AssessmentOutcome::Kind::kRefused, Status::OK()};
}

}  // namespace ql
