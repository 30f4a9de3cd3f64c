// The requirement language: what parses (and prints back equivalently), what
// does not (with a message that says where), and what each predicate means
// against a real certificate chain.
#include <gtest/gtest.h>

#include "codesign/requirement.h"
#include "codesign/signer.h"
#include "codesign/test_support.h"
#include "codesign/verifier.h"

namespace qlsign {
namespace {

using testing::vendorIdentity;
using testing::vendorLeaf;

// The install requirement the launcher checks staged bundles against.
const std::string kInstallRequirement =
    "anchor apple generic and certificate 1[field.1.2.840.113635.100.6.2.6] exists and certificate "
    "leaf[field.1.2.840.113635.100.6.1.13] exists and certificate leaf[subject.OU] = \"T4K9PV2XQM\"";

Requirement parseOrDie(const std::string& text) {
  Requirement r;
  std::string error;
  EXPECT_TRUE(Requirement::parse(text, &r, &error)) << text << ": " << error;
  return r;
}

TEST(RequirementParse, AcceptedTextsPrintBackToAnEquivalentForm) {
  struct Row {
    const char* text;
    const char* canonical;
  } table[] = {
      {"identifier \"a.b\"", "identifier \"a.b\""},
      {"identifier = a.b", "identifier \"a.b\""},
      {"anchor apple generic", "anchor apple generic"},
      {"anchor trusted", "anchor trusted"},
      {"certificate leaf[subject.OU] = T4K9PV2XQM", "certificate leaf[subject.OU] = \"T4K9PV2XQM\""},
      {"cert root[subject.CN] exists", "certificate root[subject.CN] exists"},
      {"certificate 2[field.1.2.3] exists", "certificate 2[field.1.2.3] exists"},
      {"certificate anchor[field.1.2] exists", "certificate root[field.1.2] exists"},
      {"identifier \"q\\\"uote\\\\\"", "identifier \"q\\\"uote\\\\\""},
      {"cdhash H\"00112233445566778899AABBCCDDEEFF00112233445566778899aabbccddeeff\"",
       "cdhash H\"00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff\""},
      {"!anchor trusted", "!anchor trusted"},
      {"!(anchor trusted or identifier x)", "!(anchor trusted or identifier \"x\")"},
      {"identifier a or identifier b and anchor trusted",
       "identifier \"a\" or identifier \"b\" and anchor trusted"},
      {"(identifier a or identifier b) and anchor trusted",
       "(identifier \"a\" or identifier \"b\") and anchor trusted"},
      {"  identifier a\n\tand\n anchor trusted  ", "identifier \"a\" and anchor trusted"},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.text);
    Requirement r = parseOrDie(row.text);
    EXPECT_EQ(r.text(), row.canonical);
    EXPECT_EQ(parseOrDie(r.text()).text(), r.text());
  }
}

TEST(RequirementParse, RejectedTextsSayWhereAndWhat) {
  struct Row {
    const char* text;
    const char* messagePart;
  } table[] = {
      {"", "offset 0"},
      {"identifier", "identifier string"},
      {"identifier \"unterminated", "unterminated string"},
      {"anchor apple", "'generic'"},
      {"anchor", "'apple generic' or 'trusted'"},
      {"certificate leaf", "[field.OID]"},
      {"certificate middle[subject.OU] = x", "certificate index"},
      {"certificate leaf[subject.XX] = x", "subject field"},
      {"certificate leaf[field.1.2.840] = x", "'exists'"},
      {"certificate leaf[field.1..2] exists", "dotted numeric OID"},
      {"certificate leaf[field.1.2 exists", "unterminated '['"},
      {"certificate leaf[subject.OU] =", "quoted or bare value"},
      {"cdhash H\"0011\"", "64 hex digits"},
      {"cdhash \"00\"", "H\""},
      {"anchor trusted and", "offset 18"},
      {"anchor trusted anchor trusted", "'and', 'or' or the end"},
      {"(anchor trusted", "')'"},
      {"anchor trusted)", "'and', 'or' or the end"},
      {"identifier a && anchor trusted", "unexpected character '&'"},
      {"frobnicate", "expected 'identifier'"},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.text);
    Requirement r;
    std::string error;
    EXPECT_FALSE(Requirement::parse(row.text, &r, &error));
    EXPECT_NE(error.find(row.messagePart), std::string::npos) << error;
  }
}

TEST(RequirementParse, TheInstallRequirementIs186Characters) {
  EXPECT_EQ(kInstallRequirement.size(), 186u);
  EXPECT_EQ(parseOrDie(kInstallRequirement).text(), kInstallRequirement);
}

struct Chain {
  std::vector<X509Ptr> certs;
};

Chain chainOf(const SigningIdentity& id, X509* root) {
  Chain c;
  c.certs.push_back(dupCert(id.leaf.get()));
  for (const auto& i : id.chain) c.certs.push_back(dupCert(i.get()));
  c.certs.push_back(dupCert(root));
  return c;
}

TEST(RequirementEvaluate, PredicatesAgainstARealChain) {
  const auto& vendor = vendorIdentity();
  Chain chain = chainOf(vendor.signer, vendor.ca.root.get());
  Bytes cdhash(32, 0xab);
  RequirementContext ctx{"org.example.app", cdhash, &chain.certs, true, true};
  struct Row {
    const char* text;
    bool expected;
  } table[] = {
      {"identifier \"org.example.app\"", true},
      {"identifier \"org.example.ap\"", false},
      {"anchor apple generic", true},
      {"anchor trusted", true},
      {"certificate leaf[subject.OU] = T4K9PV2XQM", true},
      {"certificate leaf[subject.OU] = \"t4k9pv2xqm\"", false},
      {"certificate 0[subject.OU] exists", true},
      {"certificate root[subject.OU] exists", false},
      {"certificate root[subject.O] = \"qlsign Development\"", true},
      {"certificate -1[subject.CN] = \"qlsign Development Root CA\"", true},
      {"certificate 1[field.1.2.840.113635.100.6.2.6] exists", true},
      {"certificate leaf[field.1.2.840.113635.100.6.2.6] exists", false},
      {"certificate 7[subject.CN] exists", false},
      {"certificate -9[subject.CN] exists", false},
      {"cdhash H\"abababababababababababababababababababababababababababababababab\"", true},
      {"cdhash H\"abababababababababababababababababababababababababababababababac\"", false},
      {"!anchor apple generic", false},
      {"identifier nope or anchor trusted", true},
      {"identifier nope and anchor trusted or identifier \"org.example.app\"", true},
      {"identifier nope and (anchor trusted or identifier \"org.example.app\")", false},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(parseOrDie(row.text).evaluate(ctx), row.expected);
  }
}

TEST(RequirementEvaluate, InstallRequirementAcceptsOnlyTheVendorsDeveloperIdTeam) {
  const auto& vendor = vendorIdentity();
  Requirement install = parseOrDie(kInstallRequirement);
  auto evaluate = [&](const SigningIdentity& id, X509* root, bool vendorAnchor) {
    Chain chain = chainOf(id, root);
    return install.evaluate({"x", {}, &chain.certs, vendorAnchor, true});
  };
  LeafOptions otherTeam;
  otherTeam.teamIdentifier = "ZZZZZZZZZZ";
  LeafOptions noMarker;
  noMarker.teamIdentifier = "T4K9PV2XQM";
  noMarker.developerIdMarker = false;
  testing::TestIdentity foreign = testing::foreignIdentity("T4K9PV2XQM");

  EXPECT_TRUE(evaluate(vendor.signer, vendor.ca.root.get(), true));
  EXPECT_FALSE(evaluate(vendorLeaf(otherTeam), vendor.ca.root.get(), true));
  EXPECT_FALSE(evaluate(vendorLeaf(noMarker), vendor.ca.root.get(), true));
  EXPECT_FALSE(evaluate(foreign.signer, foreign.ca.root.get(), false));
  // Unsigned code has no chain at all.
  EXPECT_FALSE(install.evaluate({"x", {}, nullptr, false, false}));
}

TEST(DesignatedRequirement, DeveloperIdFormAndFallbackForm) {
  const auto& vendor = vendorIdentity();
  EXPECT_EQ(deriveDesignatedRequirement("org.example.app", vendor.signer.leaf.get(), vendor.signer.chain[0].get()),
            "identifier \"org.example.app\" and " + kInstallRequirement);
  LeafOptions plain;
  plain.teamIdentifier = "ABC";
  plain.commonName = "Plain Signer";
  plain.developerIdMarker = false;
  SigningIdentity id = vendorLeaf(plain);
  std::string dr = deriveDesignatedRequirement("x", id.leaf.get(), id.chain[0].get());
  EXPECT_EQ(dr, "identifier \"x\" and anchor trusted and certificate leaf[subject.CN] = \"Plain Signer\" and "
                "certificate leaf[subject.OU] = \"ABC\"");
  parseOrDie(dr);
}

}  // namespace
}  // namespace qlsign
