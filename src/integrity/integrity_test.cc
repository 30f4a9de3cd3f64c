// The signature check and seeding run by the launcher over a real bundle,
// signed for real and checked by the real Linux backend, in a temporary home.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>

#include "codesign/signer.h"
#include "codesign/test_support.h"
#include "platform/linux/linux_code_signing.h"
#include "tests/fakes/faulty_file_manager.h"
#include "tests/fakes/test_platform.h"

namespace ql {
namespace {

namespace fs = std::filesystem;
using ql::testing::makeDirs;
using ql::testing::readFile;
using ql::testing::writeFile;
using qlsign::testing::vendorIdentity;

const std::string kUnreadablePrefix = "Couldn't read this app's code signature. The bundle at ";
const std::string kInvalidMessage =
    "The Quillmark app bundle's code signature is invalid — it has been modified since it was signed. "
    "Re-download and reinstall from a trusted source.";
const std::string kModifiedWhileLaunching =
    "The Quillmark app bundle was modified while launching. Re-download and reinstall from a trusted source.";
const std::string kLogPointer = "\n\nSee ~/.quillmark/logs/app.log for details.";

void sign(const std::string& path, const qlsign::SigningIdentity& id = vendorIdentity().signer) {
  qlsign::Outcome o = fs::is_directory(path) ? qlsign::signBundle(path, id, {}) : qlsign::signExecutable(path, id, {});
  ASSERT_TRUE(o.ok()) << o.detail;
}

void flipByte(const std::string& path, size_t offset) {
  std::string s = readFile(path);
  s[offset] ^= 0x20;
  struct stat st;
  ::stat(path.c_str(), &st);
  writeFile(path, s, st.st_mode & 07777);
}

ino_t inodeOf(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// One launcher home and bundle; tables make a fresh one per row.
struct Env {
  // Lays out and signs the bundle; `prepare` runs on the unsigned layout.
  void makeSignedBundle(const std::function<void(const std::string&)>& prepare = nullptr) {
    tp.makeBundle(/*withShell=*/true);
    makeDirs(bundle() + "/Contents/Resources/web");
    writeFile(bundle() + "/Contents/Resources/web/index.html", "<html>quillmark</html>\n");
    fs::create_symlink("web/index.html", bundle() + "/Contents/Resources/start.html");
    if (prepare) prepare(bundle());
    sign(bundle());
  }

  // The backend trusts the test vendor's root only and believes the
  // launcher runs from the bundle's main executable.
  void useRealCodeSigning() {
    signing = std::make_unique<linux_backend::LinuxCodeSigning>(
        vendorIdentity().trust(), [this] { return bundle() + "/Contents/MacOS/Quillmark"; });
    tp.codeSigning = signing.get();
  }

  // A launcher that has reached step 8: directories made, log file open.
  std::shared_ptr<AppDelegate> launcher() {
    if (!signing) useRealCodeSigning();
    auto d = tp.makeDelegate();
    makeDirs(zvd() + "/logs");
    makeDirs(zvd() + "/bin");
    d->openLogFile();
    return d;
  }

  std::vector<std::string> alertTexts() {
    tp.dispatch.runMain();
    std::vector<std::string> texts;
    for (const auto& a : tp.alerts.shown()) texts.push_back(a.informativeText);
    return texts;
  }

  std::string bundle() { return tp.bundle.path; }
  std::string seedSource() { return bundle() + "/Contents/Resources/bin/quillmark"; }
  std::string zvd() { return tp.home + "/.quillmark"; }
  std::string seeded() { return zvd() + "/bin/quillmark"; }
  std::string marker() { return zvd() + "/bin/.seed"; }

  ql::testing::TestPlatform tp;
  std::unique_ptr<linux_backend::LinuxCodeSigning> signing;
};

class Integrity : public ::testing::Test, protected Env {};

TEST_F(Integrity, SignedBundlePassesAndSeedingInstallsAVerifiedCopy) {
  makeSignedBundle();
  auto d = launcher();
  std::optional<RequirementRef> seedRequirement = d->checkBundleSignature();
  ASSERT_TRUE(seedRequirement.has_value());
  ASSERT_TRUE(*seedRequirement);
  EXPECT_EQ(tp.stderrText(), "");

  ASSERT_TRUE(d->seedServiceBinary(true, false, *seedRequirement));
  EXPECT_EQ(readFile(seeded()), readFile(seedSource()));
  EXPECT_TRUE(tp.files.isExecutableFile(seeded()));
  EXPECT_EQ(readFile(marker()), "1.4.2");
  EXPECT_FALSE(fs::exists(seeded() + ".seed.812"));
  EXPECT_TRUE(alertTexts().empty());
  // The copy carries its signature: it validates alone against the seed requirement.
  StaticCodeRef copy;
  ASSERT_EQ(signing->createStaticCodeWithPath(seeded(), 0, &copy), errSecSuccess);
  EXPECT_EQ(signing->checkValidity(copy, 0, *seedRequirement), errSecSuccess);
}

struct TamperRow {
  const char* name;
  std::function<void(const std::string&)> apply;
  OSStatus status;  // 0: the "couldn't read" alert, no notice
};

TEST_F(Integrity, TamperedBundlesAreRefusedWithNoticeAndAlert) {
  const TamperRow table[] = {
      {"byte changed in a sealed file", [](const std::string& b) { flipByte(b + "/Contents/Resources/web/index.html", 2); },
       -67054},
      {"main executable changed", [](const std::string& b) { flipByte(b + "/Contents/MacOS/Quillmark", 12); }, -67061},
      {"file added", [](const std::string& b) { writeFile(b + "/Contents/Resources/extra.js", "x"); }, -67056},
      {"file removed", [](const std::string& b) { fs::remove(b + "/Contents/Resources/web/index.html"); }, -67057},
      {"file renamed",
       [](const std::string& b) {
         fs::rename(b + "/Contents/Resources/web/index.html", b + "/Contents/Resources/web/other.html");
       },
       -67057},
      {"exec bit changed", [](const std::string& b) { ::chmod((b + "/Contents/MacOS/Quillmark").c_str(), 0644); },
       -67054},
      {"symbolic link redirected outside",
       [](const std::string& b) {
         fs::remove(b + "/Contents/Resources/start.html");
         fs::create_symlink("/etc/passwd", b + "/Contents/Resources/start.html");
       },
       -67054},
      {"nested shell modified",
       [](const std::string& b) {
         flipByte(b + "/Contents/Helpers/Quillmark Shell.app/Contents/MacOS/Quillmark Shell", 11);
       },
       -67021},
      {"bundled service binary modified",
       [](const std::string& b) { flipByte(b + "/Contents/Resources/bin/quillmark", 11); }, -67021},
      // Code gets the plain-file mode rule: a set-id service binary would be
      // seeded set-id, and later launches run it on the marker alone.
      {"bundled service binary made set-uid and world-writable",
       [](const std::string& b) { ::chmod((b + "/Contents/Resources/bin/quillmark").c_str(), 04777); }, -67054},
      {"bundled service binary made set-gid",
       [](const std::string& b) { ::chmod((b + "/Contents/Resources/bin/quillmark").c_str(), 02755); }, -67054},
      {"nested shell executable made set-uid",
       [](const std::string& b) {
         ::chmod((b + "/Contents/Helpers/Quillmark Shell.app/Contents/MacOS/Quillmark Shell").c_str(), 04755);
       },
       -67021},
      {"bundled service binary re-signed by another team",
       [](const std::string& b) {
         qlsign::LeafOptions o;
         o.teamIdentifier = "WRONGTEAM1";
         sign(b + "/Contents/Resources/bin/quillmark", qlsign::testing::vendorLeaf(o));
       },
       -67021},
      {"bundle re-signed by a chain to an untrusted root",
       [](const std::string& b) { sign(b, qlsign::testing::foreignIdentity("T4K9PV2XQM").signer); }, -67060},
      {"bundle re-signed with an expired leaf",
       [](const std::string& b) {
         qlsign::LeafOptions o;
         o.teamIdentifier = "T4K9PV2XQM";
         o.notBefore = ::time(nullptr) - 10 * 86400;
         o.notAfter = ::time(nullptr) - 86400;
         sign(b, qlsign::testing::vendorLeaf(o));
       },
       -67059},
      {"signature stripped", [](const std::string& b) { fs::remove_all(b + "/Contents/_CodeSignature"); }, 0},
      {"service binary removed", [](const std::string& b) { fs::remove(b + "/Contents/Resources/bin/quillmark"); },
       0},
  };
  for (const TamperRow& row : table) {
    SCOPED_TRACE(row.name);
    Env fresh;  // a new home, bundle and launcher per row
    fresh.makeSignedBundle();
    row.apply(fresh.bundle());
    auto d = fresh.launcher();
    EXPECT_FALSE(d->checkBundleSignature().has_value());
    std::vector<std::string> alerts = fresh.alertTexts();
    ASSERT_EQ(alerts.size(), 1u);
    if (row.status == 0) {
      EXPECT_EQ(alerts[0], kUnreadablePrefix + fresh.bundle() + " may be damaged — re-download and reinstall." +
                               kLogPointer);
      EXPECT_EQ(fresh.tp.stderrText(), "");
      EXPECT_EQ(fresh.tp.logFileText(), "");
    } else {
      std::string notice = "[quillmark] SECURITY: bundle code signature invalid (status " +
                           std::to_string(row.status) + ") — " + fresh.bundle() +
                           " has been modified since it was signed. Refusing to reseed/launch.\n";
      EXPECT_EQ(fresh.tp.stderrText(), notice);
      EXPECT_EQ(fresh.tp.logFileText(), notice);
      EXPECT_EQ(alerts[0], kInvalidMessage + kLogPointer);
    }
    EXPECT_FALSE(fs::exists(fresh.seeded()));
  }
}

// Launches in a row over one home: which launches copy the binary.
TEST_F(Integrity, SeedDecisionThroughTheLauncher) {
  makeSignedBundle();
  struct Step {
    const char* name;
    std::function<void(Env&)> before;
    bool homeExisted, reseedRequested;
    bool copies;
    const char* markerAfter;
  } steps[] = {
      {"first launch, new home", nullptr, false, false, true, "1.4.2"},
      {"same version", nullptr, true, false, false, "1.4.2"},
      {"home adopted from elsewhere", nullptr, false, false, true, "1.4.2"},
      {"reseed requested", nullptr, true, true, true, "1.4.2"},
      {"marker with a trailing newline", [](Env& t) { writeFile(t.marker(), "1.4.2\n"); }, true, false, true,
       "1.4.2"},
      {"after the repair", nullptr, true, false, false, "1.4.2"},
      {"marker not UTF-8", [](Env& t) { writeFile(t.marker(), "1.4.2\xff"); }, true, false, true, "1.4.2"},
      {"marker missing", [](Env& t) { fs::remove(t.marker()); }, true, false, true, "1.4.2"},
      {"seeded binary lost its execute bit", [](Env& t) { ::chmod(t.seeded().c_str(), 0644); }, true, false,
       true, "1.4.2"},
      {"seeded binary missing", [](Env& t) { fs::remove(t.seeded()); }, true, false, true, "1.4.2"},
      {"new bundle version", [](Env& t) { t.tp.bundle.setVersion("1.5.0"); }, true, false, true, "1.5.0"},
      {"development bundle", [](Env& t) { t.tp.bundle.info.erase("CFBundleVersion"); }, true, false, true, "dev"},
      {"development bundle again", nullptr, true, false, true, "dev"},
      {"stale staged copy of this pid",
       [](Env& t) {
         t.tp.bundle.setVersion("1.5.0");
         writeFile(t.seeded() + ".seed.812", "stale");
       },
       true, false, true, "1.5.0"},
  };
  useRealCodeSigning();
  makeDirs(zvd() + "/bin");
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    if (step.before) step.before(*this);
    ino_t before = inodeOf(seeded());
    auto d = std::make_shared<AppDelegate>(tp.platform());
    auto requirement = d->checkBundleSignature();
    ASSERT_TRUE(requirement.has_value());
    ASSERT_TRUE(d->seedServiceBinary(step.homeExisted, step.reseedRequested, *requirement));
    EXPECT_EQ(inodeOf(seeded()) != before, step.copies);
    EXPECT_EQ(readFile(marker()), step.markerAfter);
    EXPECT_TRUE(tp.files.isExecutableFile(seeded()));
    EXPECT_FALSE(fs::exists(seeded() + ".seed.812"));
  }
  EXPECT_TRUE(alertTexts().empty());
}

// The service binary is replaced after the bundle check and before the copy.
TEST_F(Integrity, BinarySwappedBetweenCheckAndCopyIsCaughtByTheStagedVerify) {
  struct Row {
    const char* name;
    std::function<void(const std::string&)> swap;
    OSStatus status;
  } table[] = {
      {"unsigned replacement", [](const std::string& p) { writeFile(p, "#!/bin/sh\necho evil\n", 0755); }, -67062},
      {"modified payload", [](const std::string& p) { flipByte(p, 11); }, -67061},
      {"replacement signed by another team",
       [](const std::string& p) {
         writeFile(p, "#!/bin/sh\necho evil\n", 0755);
         qlsign::LeafOptions o;
         o.teamIdentifier = "WRONGTEAM1";
         sign(p, qlsign::testing::vendorLeaf(o));
       },
       -67050},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.name);
    Env t;
    t.makeSignedBundle();
    auto d = t.launcher();
    writeFile(t.seeded(), "previous seeded binary", 0755);
    writeFile(t.marker(), "1.4.1");
    auto requirement = d->checkBundleSignature();
    ASSERT_TRUE(requirement.has_value());
    row.swap(t.seedSource());
    EXPECT_FALSE(d->seedServiceBinary(true, false, *requirement));
    std::string notice = "[quillmark] SECURITY: staged seed failed DR verify (status " + std::to_string(row.status) +
                         ") — " + t.seedSource() + " was modified between verify and copy. Refusing to launch.\n";
    EXPECT_EQ(t.tp.stderrText(), notice);
    EXPECT_EQ(t.tp.logFileText(), notice);
    EXPECT_EQ(t.alertTexts(), std::vector<std::string>{kModifiedWhileLaunching + kLogPointer});
    EXPECT_EQ(readFile(t.seeded()), "previous seeded binary");
    EXPECT_EQ(readFile(t.marker()), "1.4.1");
    EXPECT_FALSE(fs::exists(t.seeded() + ".seed.812"));
  }
}

TEST_F(Integrity, InstallErrorsRemoveTheStagedCopyLogAndAlert) {
  struct Row {
    const char* name;
    int failAt;  // changing call from the start of seeding: remove, copy, rename, marker write
    bool binaryReplaced;
  } table[] = {
      {"copy fails", 1, false},
      {"rename fails", 2, false},
      {"marker write fails", 3, true},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.name);
    Env t;
    t.makeSignedBundle();
    ql::testing::FaultyFileManager faulty(t.tp.files);
    t.tp.fileManager = &faulty;
    auto d = t.launcher();
    writeFile(t.seeded(), "previous", 0755);
    writeFile(t.marker(), "1.4.1");
    auto requirement = d->checkBundleSignature();
    ASSERT_TRUE(requirement.has_value());
    faulty.failCall(static_cast<int>(faulty.calls().size()) + row.failAt, ENOSPC);
    EXPECT_FALSE(d->seedServiceBinary(true, false, *requirement));
    EXPECT_NE(faulty.injected(), "");
    std::string log = t.tp.logFileText();
    EXPECT_NE(log.find("] seed failed (Error Domain=NSPOSIXErrorDomain Code=28 "), std::string::npos) << log;
    EXPECT_EQ(t.alertTexts(), std::vector<std::string>{"Couldn't install the Quillmark daemon into " + t.zvd() +
                                                       "/bin:\nNo space left on device\n\nCheck free disk space and "
                                                       "permissions, then re-launch." + kLogPointer});
    EXPECT_FALSE(fs::exists(t.seeded() + ".seed.812"));
    EXPECT_EQ(readFile(t.seeded()) != "previous", row.binaryReplaced);
    EXPECT_EQ(readFile(t.marker()), "1.4.1");
  }
}

unsigned modeOf(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0xFFFFu;
}

// The bundle's service binary after signing: a stricter mode (a restrictive
// umask on extraction) still verifies, write bits for others are not sealed,
// and whatever it is, the seeded binary is never more than 0755.
TEST_F(Integrity, SeededBinaryIsNeverSetIdOrWritableByOthers) {
  struct Row {
    unsigned inBundle, seeded;
  } table[] = {{0777, 0755}, {0775, 0755}, {0757, 0755}, {0755, 0755}, {0700, 0700}, {0500, 0500}};
  for (const Row& row : table) {
    SCOPED_TRACE(row.inBundle);
    Env t;
    t.makeSignedBundle();
    ASSERT_EQ(::chmod(t.seedSource().c_str(), row.inBundle), 0);
    auto d = t.launcher();
    auto requirement = d->checkBundleSignature();
    ASSERT_TRUE(requirement.has_value()) << t.tp.stderrText();
    ASSERT_TRUE(d->seedServiceBinary(false, false, *requirement));
    EXPECT_EQ(modeOf(t.seeded()), row.seeded);
    EXPECT_EQ(readFile(t.seeded()), readFile(t.seedSource()));
    EXPECT_TRUE(t.tp.files.isExecutableFile(t.seeded()));
    EXPECT_TRUE(t.alertTexts().empty());
  }
}

// `umask 077` and a read-only unpack: no group or other bits anywhere, no
// owner write; the launcher starts as from the signed layout.
TEST_F(Integrity, BundleUnpackedUnderARestrictiveUmaskPassesAndSeeds) {
  makeSignedBundle();
  std::vector<fs::path> folders;
  for (const auto& e : fs::recursive_directory_iterator(bundle())) {
    if (e.is_symlink()) continue;
    if (e.is_directory()) {
      folders.push_back(e.path());
    } else {
      ASSERT_EQ(::chmod(e.path().c_str(), (modeOf(e.path()) & S_IXUSR) ? 0500 : 0400), 0);
    }
  }
  for (const auto& f : folders) ASSERT_EQ(::chmod(f.c_str(), 0500), 0);
  auto d = launcher();
  auto requirement = d->checkBundleSignature();
  ASSERT_TRUE(requirement.has_value()) << tp.stderrText();
  ASSERT_TRUE(d->seedServiceBinary(true, false, *requirement));
  EXPECT_EQ(modeOf(seeded()), 0500u);
  EXPECT_EQ(readFile(marker()), "1.4.2");
  for (const auto& f : folders) ::chmod(f.c_str(), 0755);  // so the fixture can clean up
}

// bin/ replaced by a link to a folder that happens to hold a current
// binary and marker: neither skipped as seeded nor written through, with or
// without a fresh home.
TEST_F(Integrity, BinDirectoryThatIsALinkIsRefusedAndItsTargetUntouched) {
  for (bool homeExisted : {true, false}) {
    SCOPED_TRACE(homeExisted ? "home existed" : "fresh home");
    Env t;
    t.makeSignedBundle();
    auto d = t.launcher();
    const std::string elsewhere = t.tp.root + "/elsewhere";
    makeDirs(elsewhere);
    writeFile(elsewhere + "/quillmark", readFile(t.seedSource()), 0755);
    writeFile(elsewhere + "/.seed", "1.4.2");
    writeFile(elsewhere + "/quillmark.seed.812", "someone's file");
    fs::remove_all(t.zvd() + "/bin");
    ql::testing::makeLink(t.zvd() + "/bin", elsewhere);
    // What the folder holds: names, modes and bytes.
    auto contents = [&] {
      std::map<std::string, std::string> out;
      for (const auto& e : fs::directory_iterator(elsewhere)) {
        out[e.path().filename().string()] =
            std::to_string(static_cast<int>(e.status().permissions())) + " " + readFile(e.path().string());
      }
      return out;
    };
    const auto before = contents();
    auto requirement = d->checkBundleSignature();
    ASSERT_TRUE(requirement.has_value());
    EXPECT_FALSE(d->seedServiceBinary(homeExisted, false, *requirement));
    EXPECT_TRUE(contents() == before) << "written through the link";
    EXPECT_NE(t.tp.logFileText().find("] seed failed (Error Domain=NSPOSIXErrorDomain Code=20 "), std::string::npos)
        << t.tp.logFileText();
    EXPECT_EQ(t.alertTexts(), std::vector<std::string>{"Couldn't install the Quillmark daemon into " + t.zvd() +
                                                       "/bin:\nNot a directory\n\nCheck free disk space and "
                                                       "permissions, then re-launch." + kLogPointer});
  }
}

TEST_F(Integrity, ServiceBinaryWithoutExecuteBitIsSeededButNotExecutable) {
  makeSignedBundle([](const std::string& b) { ::chmod((b + "/Contents/Resources/bin/quillmark").c_str(), 0644); });
  auto d = launcher();
  auto requirement = d->checkBundleSignature();
  ASSERT_TRUE(requirement.has_value());
  ASSERT_TRUE(d->seedServiceBinary(true, false, *requirement));
  EXPECT_TRUE(fs::exists(seeded()));
  EXPECT_FALSE(tp.files.isExecutableFile(seeded()));
  EXPECT_EQ(readFile(marker()), "1.4.2");
}

TEST_F(Integrity, LeftoverBinaryIsRemovedOnlyWhenNoServiceHoldsTheLock) {
  struct Row {
    const char* name;
    std::function<void(const std::string&)> make;
    bool liveService;
    bool removed;
  } table[] = {
      {"dangling link, no service", [](const std::string& p) { fs::create_symlink("/nonexistent/zorvan", p); }, false,
       true},
      {"file, no service", [](const std::string& p) { writeFile(p, "old", 0755); }, false, true},
      {"folder with contents, no service",
       [](const std::string& p) {
         makeDirs(p + "/x");
         writeFile(p + "/x/y", "z");
       },
       false, true},
      {"link to a folder elsewhere, no service",
       [](const std::string& p) {
         makeDirs(p + ".target");
         writeFile(p + ".target/keep", "data");
         fs::create_symlink(p + ".target", p);
       },
       false, true},
      {"file, live service", [](const std::string& p) { writeFile(p, "old", 0755); }, true, false},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.name);
    Env t;
    auto d = t.launcher();
    std::string leftover = t.zvd() + "/bin/zorvan";
    row.make(leftover);
    if (row.liveService) {
      writeFile(t.zvd() + "/zorvan.lock", "{\"pid\": 4242}");
      t.tp.process.probes[4242] = 0;
    }
    d->removeLeftoverBinary();
    EXPECT_EQ(!fs::exists(fs::symlink_status(leftover)), row.removed);
    if (fs::exists(leftover + ".target")) {
      EXPECT_EQ(readFile(leftover + ".target/keep"), "data") << "only the link goes";
    }
    EXPECT_EQ(t.tp.logFileText(), "");
    EXPECT_EQ(t.tp.stderrText(), "");
  }
}

TEST_F(Integrity, LeftoverThatCannotBeRemovedIsLoggedAndStartupGoesOn) {
  ql::testing::FaultyFileManager faulty(tp.files);
  tp.fileManager = &faulty;
  auto d = launcher();
  writeFile(zvd() + "/bin/zorvan", "old", 0755);
  faulty.failCall(static_cast<int>(faulty.calls().size()), EBUSY);
  d->removeLeftoverBinary();
  EXPECT_NE(tp.logFileText().find("] leftover bin/zorvan entry not removed (Error Domain=NSPOSIXErrorDomain Code=16 "),
            std::string::npos)
      << tp.logFileText();
  EXPECT_NE(tp.logFileText().find(") — continuing\n"), std::string::npos);
  EXPECT_TRUE(alertTexts().empty());
}

}  // namespace
}  // namespace ql
