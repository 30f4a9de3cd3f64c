// One-time adoption of a legacy data directory as the launcher home.
#include <nlohmann/json.hpp>

#include "app/app_delegate.h"
#include "app/log_format.h"
#include "common/path_equality.h"

namespace ql {

namespace {

const char* const kKeyFile = "/encryption.key";
const char* const kMarkerName = "/.data-dir-migrated";

}  // namespace

MigrationResult AppDelegate::migrateLegacyDataDir() {
  FileManager& fm = p_.files;
  const std::string fernvale = expandTilde(p_.process, "~/.fernvale");
  const std::string zorvan = expandTilde(p_.process, "~/.zorvan");

  // Probed once, in this order; the checks below weigh these values, not
  // whatever the paths hold by the time they run.
  DirectorySnapshot snap;
  snap.fernvaleType = fm.entryType(fernvale);
  snap.fernvaleLinkText = fm.linkText(fernvale);
  snap.zorvanType = fm.entryType(zorvan);
  snap.zorvanResolved = fm.resolvedPath(zorvan);
  snap.zorvanPopulated = fm.fileExists(zorvan + kKeyFile);
  snap.homeResolved = fm.resolvedPath(zvd_);

  bool fernvalePlant = checkLegacyPlant(fernvale, snap, zorvan, zvd_);
  const std::string candidate =
      snap.fernvaleType != EntryType::kNone && !fernvalePlant ? fernvale : zorvan;

  // Once ~/.fernvale has been adopted it is a link to the home, and a still
  // populated ~/.zorvan must be weighed against the home all the same.
  std::optional<std::string> fallback;
  if (snap.zorvanType == EntryType::kDirectory && snap.zorvanPopulated) fallback = zorvan;

  std::optional<std::string> source;
  const EntryType candidateType = fm.entryType(candidate);
  const std::optional<std::string> candidateText = fm.linkText(candidate);
  switch (candidateType) {
    case EntryType::kDirectory:
      source = candidate;
      break;
    case EntryType::kSymbolicLink:
      source = candidateText && pathsEqual(*candidateText, zvd_) ? fallback : fm.resolvedPath(candidate);
      break;
    default:
      source = fallback;
      break;
  }

  MigrationResult result;
  result.reseedRequested = checkHomePlant(candidate, source, zvd_);

  // A home that is still there (the check left it in place) is never
  // replaced, not even an empty directory or a dangling link.
  result.homeExisted = fm.entryType(zvd_) != EntryType::kNone;
  if (result.homeExisted) return result;

  switch (fm.entryType(candidate)) {
    case EntryType::kDirectory:
      if (!fm.rename(candidate, zvd_).ok()) {
        // Typically another volume: use the legacy directory where it is.
        (void)fm.createSymbolicLink(zvd_, candidate);
        return result;
      }
      (void)fm.createSymbolicLink(candidate, zvd_);
      break;
    case EntryType::kSymbolicLink: {
      std::string target = fm.resolvedPath(candidate);
      if (pathsEqual(target, zvd_) || pathsEqual(target, candidate)) return result;
      bool isDirectory = false;
      if (fm.fileExists(target, &isDirectory) && isDirectory) (void)fm.createSymbolicLink(zvd_, target);
      return result;
    }
    default:
      return result;
  }

  // The marker records the move. A marker that came along with the moved
  // directory is history and stays as it is. Any entry counts, a dangling
  // link included: writing through a link would put the file wherever the
  // link points.
  const std::string marker = zvd_ + kMarkerName;
  if (fm.entryType(marker) != EntryType::kNone) return result;
  nlohmann::json record = {
      {"at", formatLogTimestamp(p_.clock.now())},
      {"from", candidate},
      {"from_version", "launcher-" + bundleVersion()},
      {"history", nlohmann::json::array({candidate})},
  };
  std::string text;
  try {
    text = record.dump(2);
  } catch (const nlohmann::json::exception&) {
    // A path that is not valid UTF-8 cannot be put in JSON; the move itself
    // stands, only the record of it is missing.
    return result;
  }
  (void)fm.writeFile(marker, text, false);
  return result;
}

}  // namespace ql
