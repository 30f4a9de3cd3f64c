// Inputs the fuzzers found that once crashed a parser, kept so they never
// come back. Each must be refused as malformed, not thrown out of the parser
// (an uncaught exception ends the launcher).
#include <gtest/gtest.h>

#include <string>

#include "codesign/requirement.h"
#include "codesign/seal.h"

namespace {

struct SealCase {
  const char* name;
  std::string bytes;
};

void PrintTo(const SealCase& c, std::ostream* os) { *os << c.name; }

class MalformedSeal : public ::testing::TestWithParam<SealCase> {};

TEST_P(MalformedSeal, CodeDirectoryIsRefusedWithoutThrowing) {
  qlsign::CodeDirectory cd;
  qlsign::Outcome outcome;
  EXPECT_NO_THROW(outcome = qlsign::decodeCodeDirectory(GetParam().bytes, &cd));
  EXPECT_EQ(outcome.code, qlsign::kMalformed);
}

TEST_P(MalformedSeal, ManifestIsRefusedWithoutThrowing) {
  qlsign::Manifest m;
  qlsign::Outcome outcome;
  EXPECT_NO_THROW(outcome = qlsign::decodeManifest(GetParam().bytes, &m));
  EXPECT_EQ(outcome.code, qlsign::kMalformed);
}

INSTANTIATE_TEST_SUITE_P(
    Found, MalformedSeal,
    ::testing::Values(
        // seal_manifest_fuzz: "format" of the wrong type made value() throw.
        SealCase{"format_is_a_string",
                 R"({"format":"sha256","kdentifier":"com.talvababababaababK9PV2UQM$"})"},
        SealCase{"format_is_an_object", R"({"format":{},"entries":{}})"},
        SealCase{"format_is_null", R"({"format":null,"entries":{}})"},
        SealCase{"hash_type_is_a_number", R"({"format":1,"hashType":256,"entries":{}})"},
        SealCase{"format_is_a_fraction", R"({"format":1.5,"entries":{}})"}),
    [](const auto& p) { return std::string(p.param.name); });

// requirement_fuzz: every "(" and "!" was one more level of recursion, so
// 1657 bytes of "!((((…" overflowed the stack. A requirement comes from a
// signature (a nested code's record in its parent's seal), so its author
// chooses the depth. Deep input must be refused, not crash.
struct DeepRequirement {
  const char* name;
  std::string text;
};

void PrintTo(const DeepRequirement& c, std::ostream* os) { *os << c.name; }

class DeepRequirements : public ::testing::TestWithParam<DeepRequirement> {};

TEST_P(DeepRequirements, AreRefusedOrEvaluatedWithoutOverflowingTheStack) {
  qlsign::Requirement r;
  std::string error;
  if (qlsign::Requirement::parse(GetParam().text, &r, &error)) {
    // Accepted: using it and dropping it must be as safe as parsing it.
    qlsign::RequirementContext context;
    (void)r.evaluate(context);
    EXPECT_FALSE(r.text().empty());
  } else {
    EXPECT_FALSE(error.empty());
  }
}

std::string repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Found, DeepRequirements,
    ::testing::Values(DeepRequirement{"found_not_then_open_parens", "!" + std::string(1656, '(')},
                      DeepRequirement{"balanced_parens", repeat("(", 100000) + "anchor trusted" + repeat(")", 100000)},
                      DeepRequirement{"negations", repeat("!", 100000) + "anchor trusted"},
                      DeepRequirement{"long_and_chain", "anchor trusted" + repeat(" and anchor trusted", 100000)},
                      DeepRequirement{"long_or_chain", "identifier a" + repeat(" or identifier a", 100000)}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
