// The small Linux services: Info.plist reading, the bundle of an executable,
// the headless alert, and the process probes.
#include "platform/linux/linux_basics.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>

#include "tests/fakes/test_platform.h"

namespace ql::linux_backend {
namespace {

const char* const kXml = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
  <key>CFBundleIdentifier</key><string>com.example.q</string>
  <key>CFBundleVersion</key><integer>42</integer>
  <key>CFBundleName</key><string>Quill&amp;mark ✓</string>
</dict></plist>)";

std::string toBinary(const std::string& xml) {
  plist_t root = nullptr;
  plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
  char* bin = nullptr;
  uint32_t len = 0;
  plist_to_bin(root, &bin, &len);
  std::string out(bin, len);
  free(bin);
  plist_free(root);
  return out;
}

TEST(InfoPlistTest, XmlAndBinaryGiveTheSameStrings) {
  for (const std::string& bytes : {std::string(kXml), toBinary(kXml)}) {
    auto info = parseInfoPlist(bytes);
    ASSERT_TRUE(info["CFBundleIdentifier"].isString());
    EXPECT_EQ(info["CFBundleIdentifier"].string, "com.example.q");
    EXPECT_EQ(info["CFBundleName"].string, "Quill&mark ✓");
    // A version that is not a string is present but unusable as one.
    EXPECT_EQ(info["CFBundleVersion"].kind, InfoValue::Kind::kOther);
  }
}

TEST(InfoPlistTest, BrokenInputGivesAnEmptyDictionary) {
  const std::string cases[] = {
      "",
      "<plist><dict><key>CFBundleVersion</key><string>1",  // truncated
      "bplist00\xff\xff\xff",                             // binary header, garbage body
      "<plist version=\"1.0\"><array><string>x</string></array></plist>",  // not a dict
      std::string(4096, '\0'),
  };
  for (const auto& c : cases) EXPECT_TRUE(parseInfoPlist(c).empty()) << c.substr(0, 40);
}

TEST(InfoPlistTest, StringWithAnEmbeddedNulDoesNotAbort) {
  // Found by fuzzing: libplist's string accessor aborts the process on this.
  // What libplist's XML reader makes of the bytes after the NUL is its own
  // business; the launcher must keep running and keep the string.
  std::string xml = "<plist version=\"1.0\"><dict><key>CFBundleVersion</key><string>1.2";
  xml += '\0';
  xml += "x</string></dict></plist>";
  auto info = parseInfoPlist(xml);
  ASSERT_TRUE(info["CFBundleVersion"].isString());
  EXPECT_EQ(info["CFBundleVersion"].string.substr(0, 4), std::string("1.2\0", 4));
}

TEST(BundlePathTest, ExecutableInsideABundleOrBare) {
  struct {
    const char* exe;
    const char* bundle;
  } cases[] = {
      {"/Apps/Quillmark.app/Contents/MacOS/Quillmark", "/Apps/Quillmark.app"},
      {"/a b/Q ✓.app/Contents/MacOS/Q", "/a b/Q ✓.app"},
      {"/usr/local/bin/quillmark-launcher", "/usr/local/bin"},
      {"/x/MacOS/launcher", "/x/MacOS"},            // MacOS without Contents
      {"/x/Contents/bin/launcher", "/x/Contents/bin"},
      {"/launcher", "/"},
  };
  for (auto& c : cases) EXPECT_EQ(bundlePathForExecutable(c.exe), c.bundle) << c.exe;
}

TEST(LinuxBundleTest, MissingInfoPlistHasNoIdentifierOrVersion) {
  LinuxBundle b("/nonexistent/Quillmark.app");
  EXPECT_EQ(b.bundlePath(), "/nonexistent/Quillmark.app");
  EXPECT_FALSE(b.bundleIdentifier().has_value());
  EXPECT_FALSE(b.infoValue("CFBundleVersion").isString());
}

TEST(LinuxBundleTest, InfoPlistThatIsNoPlainFileReadsAsMissing) {
  ql::testing::TempDir tmp;
  const std::string bundle = tmp.path() + "/Quillmark.app";
  const std::string plist = bundle + "/Contents/Info.plist";
  ql::testing::makeDirs(bundle + "/Contents");
  int heldOpen = -1;
  const std::pair<const char*, std::function<void()>> plants[] = {
      {"FIFO with no writer", [&] { ASSERT_EQ(::mkfifo(plist.c_str(), 0600), 0); }},
      // A writer that never writes: a blocking read would wait for ever.
      {"FIFO held open by a silent writer",
       [&] {
         ASSERT_EQ(::mkfifo(plist.c_str(), 0600), 0);
         heldOpen = ::open(plist.c_str(), O_RDWR | O_NONBLOCK);
         ASSERT_GE(heldOpen, 0);
       }},
      {"link to /dev/zero", [&] { ql::testing::makeLink(plist, "/dev/zero"); }},
  };
  ::alarm(30);  // a hang fails the test instead of blocking the suite
  for (const auto& [what, plant] : plants) {
    SCOPED_TRACE(what);
    ::unlink(plist.c_str());
    plant();
    LinuxBundle b(bundle);
    EXPECT_FALSE(b.bundleIdentifier().has_value());
    if (heldOpen >= 0) ::close(heldOpen);
    heldOpen = -1;
  }
  ::alarm(0);
  // The same bundle with a real Info.plist is read.
  ::unlink(plist.c_str());
  ql::testing::writeFile(plist, kXml);
  EXPECT_EQ(LinuxBundle(bundle).bundleIdentifier(), "com.example.q");
}

TEST(ProcessInfoTest, SignalProbeOfOwnAndOutOfRangePids) {
  LinuxProcessInfo p;
  EXPECT_EQ(p.signalProbe(::getpid()), 0);
  EXPECT_EQ(p.signalProbe(1LL << 40), ESRCH);
  EXPECT_EQ(p.signalProbe(-(1LL << 40)), ESRCH);
  EXPECT_EQ(p.processIdentifier(), ::getpid());
  EXPECT_FALSE(p.homeDirectory().empty());
  EXPECT_EQ(p.homeDirectoryForUser("root").value_or(""), "/root");
  EXPECT_FALSE(p.homeDirectoryForUser("no-such-user-here").has_value());
}

TEST(HeadlessAlertsTest, NeverAnswersTheFirstButton) {
  HeadlessAlerts alerts;
  Alert a;
  a.messageText = "Install Quillmark?";
  a.buttons = {"Install", "Not Now"};
  EXPECT_NE(alerts.runModal(a), kAlertFirstButtonReturn);
}

}  // namespace
}  // namespace ql::linux_backend
