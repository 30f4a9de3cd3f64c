// Owning handles for OpenSSL objects and small byte helpers.
#pragma once

#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qlsign {

template <auto Fn>
struct Deleter {
  template <typename T>
  void operator()(T* p) const { Fn(p); }
};

using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO_free_all>>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo_free>>;
using StorePtr = std::unique_ptr<X509_STORE, Deleter<X509_STORE_free>>;
using StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, Deleter<X509_STORE_CTX_free>>;
using AsnObjPtr = std::unique_ptr<ASN1_OBJECT, Deleter<ASN1_OBJECT_free>>;

// X509 stack that frees its certificates.
struct CertStackFree {
  void operator()(STACK_OF(X509) * s) const { sk_X509_pop_free(s, X509_free); }
};
using CertStackPtr = std::unique_ptr<STACK_OF(X509), CertStackFree>;

using Bytes = std::vector<uint8_t>;

// Initialises libcrypto for a program that wants only what this library
// uses: the system's openssl.cnf is not read (it can only add providers and
// engines the seal never asks for, and costs a file parse per launch), no
// cipher table and no error strings are built (drainOpensslErrors loads the
// strings when it needs them), and no cleanup runs at exit (it would free
// state under threads that may still be hashing when the program exits). Call it before any other OpenSSL
// call; later calls do nothing. Programs that do not call it get OpenSSL's
// default initialisation.
void initOpensslWithoutConfig();

std::string toHex(const uint8_t* data, size_t size);
inline std::string toHex(const Bytes& b) { return toHex(b.data(), b.size()); }
// Accepts upper or lower case; false for odd length or a non-hex digit.
bool fromHex(std::string_view hex, Bytes* out);

// The text of OpenSSL's error queue (emptied), for diagnostics only.
std::string drainOpensslErrors();

// DER/PEM helpers.
X509Ptr dupCert(X509* cert);
std::vector<X509Ptr> readPemCertificates(std::string_view pem);
std::string certToPem(X509* cert);

}  // namespace qlsign
