#include "codesign/test_support.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace qlsign::testing {

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/qlsign-test-XXXXXX";
  char* made = mkdtemp(templ.data());
  EXPECT_NE(made, nullptr);
  path_ = templ;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Restore permissions a test may have taken away, then remove.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0755);
  }
  std::filesystem::remove_all(path_, ec);
}

void writeFile(const std::string& path, const std::string& content, unsigned mode) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  out.close();
  ASSERT_TRUE(out.good()) << path;
  ::chmod(path.c_str(), mode);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void makeDirs(const std::string& path) { std::filesystem::create_directories(path); }

TrustStore TestIdentity::trust() const {
  TrustStore t;
  t.addVendorAnchor(ca.root.get());
  return t;
}

const TestIdentity& vendorIdentity() {
  static const TestIdentity* identity = [] {
    auto* id = new TestIdentity;
    std::string error;
    if (!makeAuthority(AuthorityOptions{}, &id->ca, &error)) ADD_FAILURE() << error;
    LeafOptions leaf;
    leaf.teamIdentifier = "T4K9PV2XQM";
    if (!issueLeaf(id->ca, leaf, &id->signer, &error)) ADD_FAILURE() << error;
    return id;
  }();
  return *identity;
}

SigningIdentity vendorLeaf(const LeafOptions& options) {
  SigningIdentity out;
  std::string error;
  if (!issueLeaf(vendorIdentity().ca, options, &out, &error)) ADD_FAILURE() << error;
  return out;
}

TestIdentity foreignIdentity(const std::string& team) {
  TestIdentity id;
  std::string error;
  AuthorityOptions a;
  a.organization = "Elsewhere";
  if (!makeAuthority(a, &id.ca, &error)) ADD_FAILURE() << error;
  LeafOptions leaf;
  leaf.teamIdentifier = team;
  if (!issueLeaf(id.ca, leaf, &id.signer, &error)) ADD_FAILURE() << error;
  return id;
}

namespace {
std::string plist(const std::string& executable, const std::string& identifier) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
         "<plist version=\"1.0\"><dict>"
         "<key>CFBundleExecutable</key><string>" + executable + "</string>"
         "<key>CFBundleIdentifier</key><string>" + identifier + "</string>"
         "<key>CFBundleVersion</key><string>1.2.3</string>"
         "</dict></plist>\n";
}
}  // namespace

std::string makeSampleBundle(const std::string& dir, const std::string& name) {
  std::string b = dir + "/" + name;
  makeDirs(b + "/Contents/MacOS");
  makeDirs(b + "/Contents/Resources/bin");
  makeDirs(b + "/Contents/Resources/web/assets");
  makeDirs(b + "/Contents/Resources/empty");
  makeDirs(b + "/Contents/Helpers/Helper.app/Contents/MacOS");
  makeDirs(b + "/Contents/Helpers/Helper.app/Contents/Resources");
  writeFile(b + "/Contents/Info.plist", plist("Sample", "org.example.sample"));
  writeFile(b + "/Contents/MacOS/Sample", "#!/bin/sh\necho sample\n", 0755);
  writeFile(b + "/Contents/Resources/web/index.html", "<html>hello</html>\n");
  writeFile(b + "/Contents/Resources/web/assets/app.js", std::string(100000, 'j'));
  writeFile(b + "/Contents/Resources/bin/tool", "#!/bin/sh\necho tool\n" + std::string(5000, '#'), 0755);
  ::symlink("web/index.html", (b + "/Contents/Resources/start.html").c_str());
  writeFile(b + "/Contents/Helpers/Helper.app/Contents/Info.plist", plist("Helper", "org.example.sample.helper"));
  writeFile(b + "/Contents/Helpers/Helper.app/Contents/MacOS/Helper", "#!/bin/sh\necho helper\n", 0755);
  writeFile(b + "/Contents/Helpers/Helper.app/Contents/Resources/helper.dat", std::string(3000, 'h'));
  return b;
}

}  // namespace qlsign::testing
