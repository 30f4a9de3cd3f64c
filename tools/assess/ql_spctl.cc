// ql-spctl: the platform's assessment of code before it may run, for Linux.
//
//   ql-spctl -a -t exec -vv PATH
//
// Accepts PATH only when its seal verifies strictly, nested code included,
// with a signature that chains to a vendor anchor built into this tool and
// meets the Developer ID policy: the first intermediate carries the Developer
// ID certification-authority marker and the leaf the Developer ID
// application marker. Like the platform's Gatekeeper it knows no particular
// maker: any Developer ID application passes.
//
// The assessment goes to standard error:
//   PATH: accepted            PATH: rejected
//   source=Developer ID       source=<why>
//   origin=<leaf subject CN>
// Exit status: 0 accepted, 3 rejected, 2 usage error.
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "codesign/requirement.h"
#include "codesign/status.h"
#include "codesign/trust.h"
#include "codesign/verifier.h"

namespace ql::linux_backend {
extern const char kVendorAnchorsPem[];  // generated from QL_VENDOR_ANCHORS
}

namespace {

constexpr int kExitAccepted = 0, kExitUsage = 2, kExitRejected = 3;

const char* const kDeveloperIdPolicy =
    "anchor apple generic and certificate 1[field.1.2.840.113635.100.6.2.6] exists and "
    "certificate leaf[field.1.2.840.113635.100.6.1.13] exists";

int usage() {
  std::fprintf(stderr, "usage: ql-spctl -a -t exec [-v...] PATH\n");
  return kExitUsage;
}

std::string commonName(X509* cert) {
  X509_NAME* name = cert ? X509_get_subject_name(cert) : nullptr;
  int at = name ? X509_NAME_get_index_by_NID(name, NID_commonName, -1) : -1;
  if (at < 0) return "";
  ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, at));
  unsigned char* utf8 = nullptr;
  int length = ASN1_STRING_to_UTF8(&utf8, data);
  if (length < 0) return "";
  std::string out(reinterpret_cast<char*>(utf8), static_cast<size_t>(length));
  OPENSSL_free(utf8);
  return out;
}

int reject(const std::string& path, const std::string& why) {
  std::fprintf(stderr, "%s: rejected\nsource=%s\n", path.c_str(), why.c_str());
  return kExitRejected;
}

}  // namespace

int main(int argc, char** argv) {
  bool assess = false;
  std::string type;
  std::string path;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-a" || a == "--assess") {
      assess = true;
    } else if (a == "-t" || a == "--type") {
      if (++i == argc) return usage();
      type = argv[i];
    } else if (a.size() >= 2 && a[0] == '-' && a.find_first_not_of('v', 1) == std::string::npos) {
      // verbosity: the assessment is always printed in full
    } else if (a == "--") {
      if (i + 2 != argc) return usage();
      path = argv[++i];
    } else if (!a.empty() && a[0] == '-') {
      return usage();
    } else {
      if (!path.empty()) return usage();
      path = a;
    }
  }
  // Only the assessment of code to execute is provided.
  if (!assess || type != "exec" || path.empty()) return usage();

  qlsign::TrustStore trust;
  if (trust.addVendorAnchorsPem(ql::linux_backend::kVendorAnchorsPem) == 0) {
    return reject(path, "no vendor anchor built in");
  }
  qlsign::Requirement policy;
  std::string error;
  if (!qlsign::Requirement::parse(kDeveloperIdPolicy, &policy, &error)) {
    return reject(path, "policy does not parse: " + error);
  }

  qlsign::Outcome outcome =
      qlsign::validateCode(path, qlsign::kCheckNestedCode | qlsign::kStrictValidate, &policy, trust);
  if (!outcome.ok()) {
    std::string why = qlsign::codeName(outcome.code);
    if (!outcome.detail.empty()) why += " (" + outcome.detail + ")";
    return reject(path, why);
  }

  qlsign::SignatureInfo info;
  std::string origin;
  if (qlsign::readSignature(path, &info).ok() && !info.certificates.empty()) {
    origin = commonName(info.certificates.front().get());
  }
  std::fprintf(stderr, "%s: accepted\nsource=Developer ID\norigin=%s\n", path.c_str(), origin.c_str());
  return kExitAccepted;
}
