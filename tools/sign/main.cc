// ql-codesign: make a development identity, sign standalone executables and
// bundles, verify them and print what a signature says about itself.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "codesign/identity.h"
#include "codesign/requirement.h"
#include "codesign/signer.h"
#include "codesign/verifier.h"

namespace {

using namespace qlsign;

// Exit codes: 0 success, 1 the code failed verification, 2 usage error,
// 3 any other error (unreadable input, signing failed).
constexpr int kExitInvalid = 1, kExitUsage = 2, kExitError = 3;

const char* const kUsage =
    "usage: ql-codesign <command> [options]\n"
    "\n"
    "commands:\n"
    "  make-identity --out DIR [--team ID] [--org NAME] [--days N]\n"
    "      Create a development identity in DIR: root.pem (the anchor to build\n"
    "      into a verifier), a Developer-ID-style intermediate and a code-signing\n"
    "      leaf whose subject OU is the team (default T4K9PV2XQM).\n"
    "  sign --identity DIR [--identifier ID] [--main REL] PATH\n"
    "      Sign PATH: a folder is signed as a bundle (nested code in\n"
    "      Contents/Helpers/*.app and Contents/Resources/bin/* first), a file\n"
    "      gets an appended signature. DIR holds leaf.pem, leaf.key and\n"
    "      intermediate.pem.\n"
    "  verify --anchors PEM [--strict] [--nested] [-R REQUIREMENT] PATH\n"
    "      Validate PATH against the roots in PEM (each one a vendor anchor).\n"
    "      Prints the status code and exits 1 when the code is not valid.\n"
    "  info PATH\n"
    "      Print identifier, team, cdhash and designated requirement, read from\n"
    "      the signature without any trust decision.\n"
    "  --help\n"
    "\n"
    "exit status: 0 success, 1 invalid code, 2 usage error, 3 other error\n";

int usageError(const std::string& message) {
  std::cerr << "ql-codesign: " << message << "\n(run 'ql-codesign --help' for usage)\n";
  return kExitUsage;
}

// Options of the form --name VALUE, flags of the form --name, one operand.
struct Args {
  std::vector<std::pair<std::string, std::string>> options;
  std::vector<std::string> flags;
  std::vector<std::string> operands;
  std::string get(const std::string& name) const {
    for (const auto& [k, v] : options)
      if (k == name) return v;
    return "";
  }
  bool has(const std::string& flag) const {
    for (const auto& f : flags)
      if (f == flag) return true;
    return false;
  }
};

bool parseArgs(int argc, char** argv, const std::vector<std::string>& valued, const std::vector<std::string>& bare,
               Args* out, std::string* error) {
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    bool isValued = false, isBare = false;
    for (const auto& v : valued) isValued = isValued || v == a;
    for (const auto& b : bare) isBare = isBare || b == a;
    if (isValued) {
      if (i + 1 >= argc) return *error = a + " needs a value", false;
      out->options.emplace_back(a, argv[++i]);
    } else if (isBare) {
      out->flags.push_back(a);
    } else if (!a.empty() && a[0] == '-') {
      return *error = "unknown option " + a, false;
    } else {
      out->operands.push_back(a);
    }
  }
  return true;
}

int makeIdentity(const Args& args) {
  std::string out = args.get("--out");
  if (out.empty() || !args.operands.empty()) return usageError("make-identity needs --out DIR and no operands");
  AuthorityOptions authority;
  LeafOptions leaf;
  leaf.teamIdentifier = args.get("--team").empty() ? "T4K9PV2XQM" : args.get("--team");
  if (!args.get("--org").empty()) authority.organization = leaf.organization = args.get("--org");
  if (!args.get("--days").empty()) {
    long days = std::strtol(args.get("--days").c_str(), nullptr, 10);
    if (days <= 0) return usageError("--days must be a positive number");
    leaf.notAfter = ::time(nullptr) + days * 86400;
  }
  CertificateAuthority ca;
  SigningIdentity id;
  std::string error;
  if (!makeAuthority(authority, &ca, &error) || !issueLeaf(ca, leaf, &id, &error) ||
      !writeIdentityDirectory(out, ca, id, &error)) {
    std::cerr << "ql-codesign: " << error << "\n";
    return kExitError;
  }
  std::cout << "identity written to " << out << " (team " << leaf.teamIdentifier << ")\n";
  return 0;
}

int sign(const Args& args) {
  if (args.get("--identity").empty() || args.operands.size() != 1)
    return usageError("sign needs --identity DIR and one PATH");
  SigningIdentity id;
  std::string error;
  if (!loadSigningIdentity(args.get("--identity"), &id, &error)) {
    std::cerr << "ql-codesign: " << error << "\n";
    return kExitError;
  }
  const std::string& path = args.operands[0];
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    std::cerr << "ql-codesign: " << path << ": " << std::strerror(errno) << "\n";
    return kExitError;
  }
  SignOptions options;
  options.identifier = args.get("--identifier");
  options.mainExecutable = args.get("--main");
  SignResult result;
  Outcome o = S_ISDIR(st.st_mode) ? signBundle(path, id, options, &result) : signExecutable(path, id, options, &result);
  if (!o.ok()) {
    std::cerr << "ql-codesign: signing failed: " << o.detail << "\n";
    return kExitError;
  }
  for (const auto& n : result.nested) std::cout << "signed nested " << n << "\n";
  std::cout << "signed " << path << "\ncdhash " << toHex(result.cdhash) << "\n";
  return 0;
}

int verify(const Args& args) {
  if (args.get("--anchors").empty() || args.operands.size() != 1)
    return usageError("verify needs --anchors PEM and one PATH");
  std::ifstream in(args.get("--anchors"), std::ios::binary);
  std::ostringstream pem;
  pem << in.rdbuf();
  TrustStore trust;
  if (!in || trust.addVendorAnchorsPem(pem.str()) == 0) {
    std::cerr << "ql-codesign: no certificate in " << args.get("--anchors") << "\n";
    return kExitError;
  }
  Requirement requirement;
  bool haveRequirement = !args.get("-R").empty();
  std::string error;
  if (haveRequirement && !Requirement::parse(args.get("-R"), &requirement, &error))
    return usageError("requirement: " + error);
  uint32_t flags = (args.has("--strict") ? kStrictValidate : 0) | (args.has("--nested") ? kCheckNestedCode : 0);
  Outcome o = validateCode(args.operands[0], flags, haveRequirement ? &requirement : nullptr, trust);
  if (o.ok()) {
    std::cout << args.operands[0] << ": valid\n";
    return 0;
  }
  std::cout << args.operands[0] << ": invalid (status " << o.code << ", " << codeName(o.code) << ")\n  " << o.detail
            << "\n";
  return o.code == kInternal || o.code == kNotFound ? kExitError : kExitInvalid;
}

int info(const Args& args) {
  if (args.operands.size() != 1) return usageError("info needs one PATH");
  SignatureInfo sig;
  Outcome o = readSignature(args.operands[0], &sig);
  Requirement dr;
  if (o.ok()) o = designatedRequirement(args.operands[0], &dr);
  if (!o.ok()) {
    std::cerr << "ql-codesign: " << args.operands[0] << ": " << codeName(o.code) << " (status " << o.code << "): "
              << o.detail << "\n";
    return o.code == kUnsigned || o.code == kMalformed ? kExitInvalid : kExitError;
  }
  std::cout << "format " << (sig.bundle ? "bundle" : "executable") << "\nidentifier " << sig.identifier << "\nteam "
            << sig.teamIdentifier << "\ncdhash " << toHex(sig.cdhash) << "\ndesignated requirement " << dr.text()
            << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usageError("no command given");
  std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    std::cout << kUsage;
    return 0;
  }
  Args args;
  std::string error;
  if (command == "make-identity") {
    if (!parseArgs(argc, argv, {"--out", "--team", "--org", "--days"}, {}, &args, &error)) return usageError(error);
    return makeIdentity(args);
  }
  if (command == "sign") {
    if (!parseArgs(argc, argv, {"--identity", "--identifier", "--main"}, {}, &args, &error)) return usageError(error);
    return sign(args);
  }
  if (command == "verify") {
    if (!parseArgs(argc, argv, {"--anchors", "-R"}, {"--strict", "--nested"}, &args, &error)) return usageError(error);
    return verify(args);
  }
  if (command == "info") {
    if (!parseArgs(argc, argv, {}, {}, &args, &error)) return usageError(error);
    return info(args);
  }
  return usageError("unknown command '" + command + "'");
}
