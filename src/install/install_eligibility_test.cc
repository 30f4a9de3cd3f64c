// Whether a launch offers the install: the environment switch, the
// Applications folders seen through links and the data-volume spelling, and
// the translocation lookup with every way it can fall back.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "app/app_delegate.h"
#include "install/install_text.h"
#include "tests/fakes/test_platform.h"

namespace ql::testing {
namespace {

// The stand-in translocation function the fake library exports.
std::string gOriginalPath;  // empty: answers NULL
std::vector<std::string> gTranslocateArguments;
bool gErrorArgumentWasNull = true;

extern "C" char* fakeTranslocate(const char* path, void** error) {
  gTranslocateArguments.push_back(path);
  gErrorArgumentWasNull = gErrorArgumentWasNull && error == nullptr;
  return gOriginalPath.empty() ? nullptr : ::strdup(gOriginalPath.c_str());
}

enum class Lookup { kNone, kNoLibrary, kNoSymbol, kAnswersNull, kAnswers };

struct EligibilityCase {
  const char* name;
  const char* bundle;          // {root} and {home} are replaced
  bool skipInstall = false;
  const char* systemFolder = "{root}/Applications";
  Lookup lookup = Lookup::kNone;
  const char* original = "";   // what the lookup answers, for kAnswers
  bool expected = true;
};

std::string fill(std::string s, const TestPlatform& t) {
  for (auto [key, value] : {std::pair<std::string, std::string>{"{root}", t.root}, {"{home}", t.home}}) {
    for (size_t at; (at = s.find(key)) != std::string::npos;) s.replace(at, key.size(), value);
  }
  return s;
}

class Eligibility : public ::testing::TestWithParam<EligibilityCase> {};

TEST_P(Eligibility, InstallPromptExpected) {
  const EligibilityCase& c = GetParam();
  TestPlatform t;
  makeDirs(t.root + "/Applications/Utilities");
  makeDirs(t.home + "/Applications");
  makeDirs(t.root + "/Downloads");
  makeLink(t.root + "/Apps", t.root + "/Applications");         // another spelling of the system folder
  makeLink(t.root + "/AppsLink", "Applications");                 // a relative link to it
  if (c.skipInstall) t.process.env["ZORVAN_SKIP_INSTALL"] = "";
  t.bundle.path = fill(c.bundle, t);
  t.facts.systemApplicationsFolder = fill(c.systemFolder, t);

  gOriginalPath = fill(c.original, t);
  gTranslocateArguments.clear();
  gErrorArgumentWasNull = true;
  const std::string security = t.facts.securityFramework;
  switch (c.lookup) {
    case Lookup::kNone:
    case Lookup::kNoLibrary:
      break;
    case Lookup::kNoSymbol:
      t.libraries.libraries[security] = {{"SomethingElse", reinterpret_cast<void*>(&fakeTranslocate)}};
      break;
    case Lookup::kAnswersNull:
    case Lookup::kAnswers:
      t.libraries.libraries[security] = {
          {"SecTranslocateCreateOriginalPathForURL", reinterpret_cast<void*>(&fakeTranslocate)}};
      break;
  }

  auto d = t.makeDelegate();
  EXPECT_EQ(d->installPromptExpected(), c.expected);

  // The lookup happens only for a translocated path, is reached by name, and
  // every library opened is closed again.
  bool translocated = t.bundle.path.find("/AppTranslocation/") != std::string::npos;
  if (c.skipInstall || !translocated) {
    EXPECT_TRUE(t.libraries.opened.empty());
  } else {
    EXPECT_EQ(t.libraries.opened, std::vector<std::string>{security});
    EXPECT_EQ(t.libraries.closed, c.lookup == Lookup::kNoLibrary ? 0 : 1);
  }
  bool called = !c.skipInstall && translocated && (c.lookup == Lookup::kAnswers || c.lookup == Lookup::kAnswersNull);
  EXPECT_EQ(gTranslocateArguments, called ? std::vector<std::string>{t.bundle.path} : std::vector<std::string>{});
  EXPECT_TRUE(gErrorArgumentWasNull);
  EXPECT_TRUE(t.alerts.shown().empty());
}

const char* const kTranslocated = "{root}/private/var/folders/xy/T/AppTranslocation/5F2A/d/Quillmark.app";

INSTANTIATE_TEST_SUITE_P(
    Rules, Eligibility,
    ::testing::Values(
        EligibilityCase{"SkipVariableEmpty", "{root}/Downloads/Quillmark.app", true, "{root}/Applications",
                        Lookup::kNone, "", false},
        EligibilityCase{"DownloadFolder", "{root}/Downloads/Quillmark.app"},
        EligibilityCase{"SystemApplications", "{root}/Applications/Quillmark.app", false, "{root}/Applications",
                        Lookup::kNone, "", false},
        EligibilityCase{"UserApplications", "{home}/Applications/Quillmark.app", false, "{root}/Applications",
                        Lookup::kNone, "", false},
        EligibilityCase{"AnyNameDirectlyInApplications", "{root}/Applications/Other.app", false,
                        "{root}/Applications", Lookup::kNone, "", false},
        EligibilityCase{"Subfolder", "{root}/Applications/Utilities/Quillmark.app"},
        EligibilityCase{"DataVolumeSpelling", "/System/Volumes/Data/Applications/Quillmark.app", false,
                        "/Applications", Lookup::kNone, "", false},
        EligibilityCase{"DataVolumeSubfolder", "/System/Volumes/Data/Applications/Utilities/Quillmark.app", false,
                        "/Applications"},
        EligibilityCase{"LinkToApplications", "{root}/Apps/Quillmark.app", false, "{root}/Applications",
                        Lookup::kNone, "", false},
        EligibilityCase{"SystemFolderItselfALink", "{root}/Applications/Quillmark.app", false, "{root}/AppsLink",
                        Lookup::kNone, "", false},
        EligibilityCase{"TrailingSlashAndDotsInBundlePath", "{root}/Downloads/../Applications/./Quillmark.app/",
                        false, "{root}/Applications", Lookup::kNone, "", false},
        EligibilityCase{"CanonicallyEquivalentSpelling", "{root}/Cafe\xcc\x81/Quillmark.app", false,
                        "{root}/Caf\xc3\xa9", Lookup::kNone, "", false},
        EligibilityCase{"TranslocatedFromApplications", kTranslocated, false, "{root}/Applications",
                        Lookup::kAnswers, "{root}/Applications/Quillmark.app", false},
        EligibilityCase{"TranslocatedFromDownloads", kTranslocated, false, "{root}/Applications",
                        Lookup::kAnswers, "{root}/Downloads/Quillmark.app", true},
        EligibilityCase{"TranslocatedLookupAnswersNothing", kTranslocated, false, "{root}/Applications",
                        Lookup::kAnswersNull},
        EligibilityCase{"TranslocatedNoLibrary", kTranslocated, false, "{root}/Applications", Lookup::kNoLibrary},
        EligibilityCase{"TranslocatedNoSymbol", kTranslocated, false, "{root}/Applications", Lookup::kNoSymbol},
        EligibilityCase{"TranslocatedButSkipped", kTranslocated, true, "{root}/Applications", Lookup::kAnswers,
                        "{root}/Downloads/Quillmark.app", false}),
    [](const ::testing::TestParamInfo<EligibilityCase>& p) { return std::string(p.param.name); });

TEST(Eligibility, EveryReadEvaluatesAfresh) {
  TestPlatform t;
  makeDirs(t.root + "/Applications");
  t.bundle.path = t.root + "/Downloads/Quillmark.app";
  auto d = t.makeDelegate();
  EXPECT_TRUE(d->installPromptExpected());
  t.process.env["ZORVAN_SKIP_INSTALL"] = "1";
  EXPECT_FALSE(d->installPromptExpected());
  t.process.env.erase("ZORVAN_SKIP_INSTALL");
  t.bundle.path = t.root + "/Applications/Quillmark.app";
  EXPECT_FALSE(d->installPromptExpected());
}

TEST(Eligibility, UntranslocatedPathKeepsTheReportedPathWhenTheLookupAnswersEmpty) {
  TestPlatform t;
  t.bundle.path = t.root + "/AppTranslocation/X/d/Quillmark.app";
  t.libraries.libraries[t.facts.securityFramework] = {
      {"SecTranslocateCreateOriginalPathForURL", reinterpret_cast<void*>(&fakeTranslocate)}};
  gOriginalPath = "";
  EXPECT_EQ(t.makeDelegate()->untranslocatedBundlePath(), t.bundle.path);
}

struct CanonicalCase {
  const char* name;
  const char* path;
  const char* expected;
};

class CanonicalPath : public ::testing::TestWithParam<CanonicalCase> {};

TEST_P(CanonicalPath, ResolvesLinksFoldsDotsAndDropsTheDataVolume) {
  TestPlatform t;
  makeDirs(t.root + "/real/Applications");
  makeLink(t.root + "/link", t.root + "/real");
  auto d = t.makeDelegate();
  EXPECT_EQ(d->canonicalPath(fill(GetParam().path, t)), fill(GetParam().expected, t));
}

INSTANTIATE_TEST_SUITE_P(
    Forms, CanonicalPath,
    ::testing::Values(
        CanonicalCase{"DataVolumePrefix", "/System/Volumes/Data/Applications/X.app", "/Applications/X.app"},
        CanonicalCase{"DataVolumeRootKept", "/System/Volumes/Data", "/System/Volumes/Data"},
        CanonicalCase{"DataVolumeWithSlashOnly", "/System/Volumes/Data/", "/System/Volumes/Data"},
        CanonicalCase{"SimilarPrefixKept", "/System/Volumes/DataX/a", "/System/Volumes/DataX/a"},
        CanonicalCase{"LinkResolved", "{root}/link/Applications/X.app", "{root}/real/Applications/X.app"},
        CanonicalCase{"DotsFolded", "{root}/real/./Applications/../Applications/X.app",
                      "{root}/real/Applications/X.app"}),
    [](const ::testing::TestParamInfo<CanonicalCase>& p) { return std::string(p.param.name); });

TEST(DeletingLastPathComponent, BehavesLikeTheFoundationCall) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/Applications/Quillmark.app", "/Applications"},
      {"/Quillmark.app", "/"},
      {"/", "/"},
      {"Quillmark.app", ""},
      {"", ""},
      {"/a/b/", "/a"},
      {"/a//b", "/a"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(deletingLastPathComponent(in), out) << in;
}

TEST(EntryPolicy, RegularWheneverTheInstallWillBeOffered) {
  for (bool skip : {false, true}) {
    TestPlatform t;
    t.makeBundle(/*withShell=*/true);  // window-shell mode: accessory otherwise
    if (skip) t.process.env["ZORVAN_SKIP_INSTALL"] = "1";
    auto d = t.makeDelegate();
    ASSERT_TRUE(d->shellMode());
    EXPECT_EQ(d->entryActivationPolicy(), skip ? ActivationPolicy::kAccessory : ActivationPolicy::kRegular)
        << "skip=" << skip;
  }
}

}  // namespace
}  // namespace ql::testing
