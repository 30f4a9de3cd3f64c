#include "codesign/identity.h"

#include <fcntl.h>
#include <openssl/ec.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace qlsign {

namespace {

using ExtPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION_free>>;
using NamePtr = std::unique_ptr<X509_NAME, Deleter<X509_NAME_free>>;
using OctetPtr = std::unique_ptr<ASN1_OCTET_STRING, Deleter<ASN1_OCTET_STRING_free>>;

PkeyPtr newKey() { return PkeyPtr(EVP_EC_gen("P-256")); }

NamePtr makeName(const std::vector<std::pair<std::string, std::string>>& parts) {
  NamePtr name(X509_NAME_new());
  for (const auto& [field, value] : parts) {
    if (value.empty()) continue;
    X509_NAME_add_entry_by_txt(name.get(), field.c_str(), MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(value.data()),
                               static_cast<int>(value.size()), -1, 0);
  }
  return name;
}

bool addConfExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  ExtPtr ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
  return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

// A marker extension: an ASN.1 NULL under the given OID, never critical.
bool addMarker(X509* cert, const char* oid) {
  AsnObjPtr obj(OBJ_txt2obj(oid, 1));
  OctetPtr value(ASN1_OCTET_STRING_new());
  static const unsigned char kNull[] = {0x05, 0x00};
  if (!obj || !value || ASN1_OCTET_STRING_set(value.get(), kNull, sizeof kNull) != 1) return false;
  ExtPtr ext(X509_EXTENSION_create_by_OBJ(nullptr, obj.get(), 0, value.get()));
  return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

X509Ptr makeCert(X509_NAME* subject, EVP_PKEY* subjectKey, X509* issuerCert, X509_NAME* issuerName,
                 EVP_PKEY* issuerKey, time_t notBefore, time_t notAfter) {
  X509Ptr cert(X509_new());
  if (!cert) return nullptr;
  X509_set_version(cert.get(), X509_VERSION_3);
  unsigned char serial[16];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7f;  // positive
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
  BN_free(bn);
  ASN1_TIME_set(X509_getm_notBefore(cert.get()), notBefore);
  ASN1_TIME_set(X509_getm_notAfter(cert.get()), notAfter);
  X509_set_subject_name(cert.get(), subject);
  X509_set_issuer_name(cert.get(), issuerName);
  X509_set_pubkey(cert.get(), subjectKey);
  X509* issuer = issuerCert ? issuerCert : cert.get();
  if (!addConfExtension(cert.get(), issuer, NID_subject_key_identifier, "hash")) return nullptr;
  if (issuerCert && !addConfExtension(cert.get(), issuer, NID_authority_key_identifier, "keyid:always"))
    return nullptr;
  (void)issuerKey;
  return cert;
}

bool signCert(X509* cert, EVP_PKEY* key) { return X509_sign(cert, key, EVP_sha256()) > 0; }

time_t orDefault(time_t t, time_t fallback) { return t != 0 ? t : fallback; }

bool writeFile(const std::string& path, const std::string& data, mode_t mode) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, mode) == 0 && ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
  return ::close(fd) == 0 && ok;
}

std::string keyToPem(EVP_PKEY* key) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) return "";
  char* data = nullptr;
  long n = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(n));
}

bool readWhole(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  *out = ss.str();
  return true;
}

}  // namespace

bool makeAuthority(const AuthorityOptions& o, CertificateAuthority* out, std::string* error) {
  time_t now = ::time(nullptr);
  time_t nb = orDefault(o.notBefore, now - 3600), na = orDefault(o.notAfter, now + 10L * 365 * 86400);
  CertificateAuthority ca;
  ca.rootKey = newKey();
  ca.intermediateKey = newKey();
  if (!ca.rootKey || !ca.intermediateKey) {
    *error = "key generation failed: " + drainOpensslErrors();
    return false;
  }
  NamePtr rootName = makeName({{"CN", o.organization + " Root CA"}, {"O", o.organization}});
  ca.root = makeCert(rootName.get(), ca.rootKey.get(), nullptr, rootName.get(), ca.rootKey.get(), nb, na);
  bool ok = ca.root && addConfExtension(ca.root.get(), ca.root.get(), NID_basic_constraints, "critical,CA:TRUE") &&
            addConfExtension(ca.root.get(), ca.root.get(), NID_key_usage, "critical,keyCertSign,cRLSign") &&
            signCert(ca.root.get(), ca.rootKey.get());
  NamePtr intName = makeName({{"CN", "Developer ID Certification Authority"}, {"OU", o.organization + " Certification Authority"}, {"O", o.organization}});
  if (ok) {
    ca.intermediate = makeCert(intName.get(), ca.intermediateKey.get(), ca.root.get(), rootName.get(),
                               ca.rootKey.get(), nb, na);
    ok = ca.intermediate &&
         addConfExtension(ca.intermediate.get(), ca.root.get(), NID_basic_constraints, "critical,CA:TRUE,pathlen:0") &&
         addConfExtension(ca.intermediate.get(), ca.root.get(), NID_key_usage, "critical,keyCertSign,cRLSign") &&
         (!o.developerIdMarker || addMarker(ca.intermediate.get(), kDeveloperIdCaOid)) &&
         signCert(ca.intermediate.get(), ca.rootKey.get());
  }
  if (!ok) {
    *error = "certificate creation failed: " + drainOpensslErrors();
    return false;
  }
  *out = std::move(ca);
  return true;
}

bool issueLeaf(const CertificateAuthority& ca, const LeafOptions& o, SigningIdentity* out, std::string* error) {
  time_t now = ::time(nullptr);
  time_t nb = orDefault(o.notBefore, now - 3600), na = orDefault(o.notAfter, now + 5L * 365 * 86400);
  SigningIdentity id;
  id.key = newKey();
  if (!id.key) {
    *error = "key generation failed: " + drainOpensslErrors();
    return false;
  }
  std::string cn = o.commonName;
  if (cn.empty()) {
    cn = "Developer ID Application: " + o.organization;
    if (!o.teamIdentifier.empty()) cn += " (" + o.teamIdentifier + ")";
  }
  NamePtr name = makeName({{"CN", cn}, {"OU", o.teamIdentifier}, {"O", o.organization}});
  X509_NAME* issuerName = X509_get_subject_name(ca.intermediate.get());
  id.leaf = makeCert(name.get(), id.key.get(), ca.intermediate.get(), issuerName, ca.intermediateKey.get(), nb, na);
  bool ok = id.leaf &&
            addConfExtension(id.leaf.get(), ca.intermediate.get(), NID_basic_constraints, "critical,CA:FALSE") &&
            addConfExtension(id.leaf.get(), ca.intermediate.get(), NID_key_usage, "critical,digitalSignature") &&
            (!o.codeSigningUsage ||
             addConfExtension(id.leaf.get(), ca.intermediate.get(), NID_ext_key_usage, "critical,codeSigning")) &&
            (!o.developerIdMarker || addMarker(id.leaf.get(), kDeveloperIdApplicationOid)) &&
            signCert(id.leaf.get(), ca.intermediateKey.get());
  if (!ok) {
    *error = "certificate creation failed: " + drainOpensslErrors();
    return false;
  }
  id.chain.push_back(dupCert(ca.intermediate.get()));
  *out = std::move(id);
  return true;
}

bool writeIdentityDirectory(const std::string& dir, const CertificateAuthority& ca, const SigningIdentity& leaf,
                            std::string* error) {
  if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    *error = "cannot create " + dir + ": " + strerror(errno);
    return false;
  }
  const std::pair<std::string, std::pair<std::string, mode_t>> files[] = {
      {"intermediate.pem", {certToPem(ca.intermediate.get()), 0644}},
      {"intermediate.key", {keyToPem(ca.intermediateKey.get()), 0600}},
      {"leaf.pem", {certToPem(leaf.leaf.get()), 0644}},
      {"leaf.key", {keyToPem(leaf.key.get()), 0600}},
      {"root.key", {keyToPem(ca.rootKey.get()), 0600}},
      // Last: build rules wait for this file, so it appears only when the
      // rest of the identity is complete.
      {"root.pem", {certToPem(ca.root.get()), 0644}},
  };
  for (const auto& [name, content] : files) {
    if (content.first.empty() || !writeFile(dir + "/" + name, content.first, content.second)) {
      *error = "cannot write " + dir + "/" + name;
      return false;
    }
  }
  return true;
}

bool loadSigningIdentity(const std::string& certPath, const std::string& keyPath, const std::string& chainPath,
                         SigningIdentity* out, std::string* error) {
  std::string certPem, keyPem, chainPem;
  if (!readWhole(certPath, &certPem)) return *error = "cannot read " + certPath, false;
  if (!readWhole(keyPath, &keyPem)) return *error = "cannot read " + keyPath, false;
  if (!chainPath.empty() && !readWhole(chainPath, &chainPem)) return *error = "cannot read " + chainPath, false;
  std::vector<X509Ptr> certs = readPemCertificates(certPem);
  if (certs.empty()) return *error = certPath + " holds no PEM certificate", false;
  BioPtr bio(BIO_new_mem_buf(keyPem.data(), static_cast<int>(keyPem.size())));
  PkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  if (!key) {
    drainOpensslErrors();
    return *error = keyPath + " holds no PEM private key", false;
  }
  if (X509_check_private_key(certs[0].get(), key.get()) != 1) {
    drainOpensslErrors();
    return *error = "the key in " + keyPath + " does not belong to " + certPath, false;
  }
  SigningIdentity id;
  id.leaf = std::move(certs[0]);
  id.key = std::move(key);
  for (size_t i = 1; i < certs.size(); ++i) id.chain.push_back(std::move(certs[i]));
  for (auto& c : readPemCertificates(chainPem)) {
    // A chain file may repeat the leaf; the signer adds it on its own.
    if (X509_cmp(c.get(), id.leaf.get()) != 0) id.chain.push_back(std::move(c));
  }
  *out = std::move(id);
  return true;
}

bool loadSigningIdentity(const std::string& dir, SigningIdentity* out, std::string* error) {
  return loadSigningIdentity(dir + "/leaf.pem", dir + "/leaf.key", dir + "/intermediate.pem", out, error);
}

bool hasExtension(X509* cert, const std::string& oid) {
  AsnObjPtr obj(OBJ_txt2obj(oid.c_str(), 1));
  return obj && X509_get_ext_by_OBJ(cert, obj.get(), -1) >= 0;
}

std::vector<std::string> subjectValues(X509* cert, const std::string& field) {
  std::vector<std::string> values;
  int nid = OBJ_txt2nid(field.c_str());
  if (nid == NID_undef) return values;
  X509_NAME* name = X509_get_subject_name(cert);
  for (int i = X509_NAME_get_index_by_NID(name, nid, -1); i >= 0; i = X509_NAME_get_index_by_NID(name, nid, i)) {
    ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i));
    unsigned char* utf8 = nullptr;
    int n = ASN1_STRING_to_UTF8(&utf8, data);
    if (n >= 0) values.emplace_back(reinterpret_cast<char*>(utf8), static_cast<size_t>(n));
    OPENSSL_free(utf8);
  }
  return values;
}

}  // namespace qlsign
