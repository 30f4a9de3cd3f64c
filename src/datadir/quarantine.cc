// Directories planted at the well-known data paths before the real data is
// migrated. A genuine data directory holds the service's encryption.key; one
// without it, next to one that has it, is moved out of the way.
#include "app/app_delegate.h"
#include "common/path_equality.h"

namespace ql {

namespace {

const char* const kKeyFile = "/encryption.key";

}  // namespace

std::string AppDelegate::quarantineName(const std::string& path) {
  // Whole seconds, cut rather than rounded; the clock is read for every name.
  auto secs = std::chrono::duration_cast<std::chrono::seconds>(p_.clock.now().time_since_epoch());
  return path + ".quarantine-" + std::to_string(static_cast<long long>(secs.count()));
}

bool AppDelegate::checkLegacyPlant(const std::string& fernvalePath, const DirectorySnapshot& snap,
                                   const std::string& zorvanPath, const std::string& home) {
  switch (snap.fernvaleType) {
    case EntryType::kNone:
      return false;
    case EntryType::kDirectory:
      if (p_.files.fileExists(fernvalePath + kKeyFile)) return false;
      break;
    case EntryType::kSymbolicLink:
      // A link that points at one of our own directories is what an earlier
      // adoption (or the user) left; it cannot redirect anything.
      if (snap.fernvaleLinkText) {
        const std::string& text = *snap.fernvaleLinkText;
        if (pathsEqual(text, zorvanPath) || pathsEqual(text, snap.zorvanResolved) ||
            pathsEqual(text, home) || pathsEqual(text, snap.homeResolved)) {
          return false;
        }
      }
      break;
    case EntryType::kRegular:
    case EntryType::kOther:
      break;
  }
  // Without real data under ~/.zorvan there is nothing a plant could steal
  // the migration from.
  if (!snap.zorvanPopulated) return false;

  std::string q = quarantineName(fernvalePath);
  bool moved = p_.files.rename(fernvalePath, q).ok();
  bool removed = !moved && p_.files.removeItem(fernvalePath).ok();
  rawNoticeBeforeLogOpen("[quillmark] quarantined " + fernvalePath + " (present without a key while " +
                         zorvanPath + " is populated \xE2\x80\x94 pre-#2871 plant); moved to " + q + ".\n");
  // The line above says "moved to" whatever happened; when that is not true
  // the user is told what is really on disk, so nobody goes looking for a
  // quarantine directory that does not exist.
  if (removed) {
    rawNoticeBeforeLogOpen("[quillmark] " + fernvalePath + " could not be moved to " + q +
                           "; it was removed instead.\n");
  } else if (!moved) {
    rawNoticeBeforeLogOpen("[quillmark] SECURITY WARNING: " + fernvalePath + " could be neither moved to " +
                           q + " nor removed; it is ignored as a data directory. Inspect it and remove it.\n");
  }
  return true;
}

bool AppDelegate::checkHomePlant(const std::string& candidate, const std::optional<std::string>& source,
                                 const std::string& home) {
  EntryType type = p_.files.entryType(home);
  std::optional<std::string> text = p_.files.linkText(home);
  if (type == EntryType::kNone) return false;

  bool linked = type == EntryType::kSymbolicLink && text &&
                (pathsEqual(*text, candidate) || (source && pathsEqual(*text, *source)));
  bool homePopulated = type == EntryType::kDirectory && p_.files.fileExists(home + kKeyFile);

  if (!source) return false;
  if (!p_.files.fileExists(*source + kKeyFile)) return false;
  if (linked) return false;

  if (homePopulated) {
    // One directory seen twice is not two sets of data: another start may
    // have adopted the source a moment ago, leaving a link to the home where
    // the snapshot saw the directory.
    if (pathsEqual(p_.files.resolvedPath(*source), p_.files.resolvedPath(home))) return false;
    // Two sets of real data: never pick one for the user.
    rawNoticeBeforeLogOpen(
        "[quillmark] WARNING: both " + *source + " and " + home +
        " are populated data directories (both contain encryption.key). Booting on " + home +
        ". If this install looks empty/unfamiliar, one may be a stale or planted directory \xE2\x80\x94 "
        "inspect both before deleting either.\n");
    return true;
  }

  std::string q = quarantineName(home);
  if (p_.files.rename(home, q).ok()) return true;
  // An immutable flag is the usual reason a planted directory cannot be
  // moved; lifting it from the directory itself (never its contents) is
  // enough for the rename.
  (void)p_.files.setUserImmutable(home, false);
  if (p_.files.rename(home, q).ok()) return true;
  if (p_.files.removeItem(home).ok()) return true;
  rawNoticeBeforeLogOpen("[quillmark] SECURITY WARNING: " + home +
                         " appears to be a pre-upgrade plant (your real data directory is at " + *source +
                         ") and could NOT be moved aside. Inspect " + home +
                         "/config.toml; clear immutable flags (`chflags nouchg " + home +
                         "`), remove it, and re-run.\n");
  return true;
}

}  // namespace ql
