#include "codesign/ossl.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>

namespace qlsign {

void initOpensslWithoutConfig() {
  // Each part of OpenSSL's initialisation runs once, when first asked for;
  // the first call decides what the implicit initialisation leaves out.
  // Signed-data verification uses no cipher, and the ~3,000 error strings
  // are loaded only when an error is formatted (drainOpensslErrors).
  OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_ATEXIT | OPENSSL_INIT_NO_ADD_ALL_CIPHERS |
                          OPENSSL_INIT_NO_LOAD_CRYPTO_STRINGS,
                      nullptr);
}

std::string toHex(const uint8_t* data, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out.push_back(digits[data[i] >> 4]);
    out.push_back(digits[data[i] & 15]);
  }
  return out;
}

bool fromHex(std::string_view hex, Bytes* out) {
  if (hex.size() % 2 != 0) return false;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  Bytes result;
  result.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    int hi = nibble(hex[i]), lo = nibble(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    result.push_back(static_cast<uint8_t>(hi << 4 | lo));
  }
  *out = std::move(result);
  return true;
}

std::string drainOpensslErrors() {
  // Programs that left the strings out at start (initOpensslWithoutConfig)
  // load them now, the first time there is something to say.
  OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  std::string text;
  unsigned long e;
  while ((e = ERR_get_error()) != 0) {
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    if (!text.empty()) text += "; ";
    text += buf;
  }
  return text;
}

X509Ptr dupCert(X509* cert) {
  X509_up_ref(cert);
  return X509Ptr(cert);
}

std::vector<X509Ptr> readPemCertificates(std::string_view pem) {
  std::vector<X509Ptr> certs;
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return certs;
  while (X509* c = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) certs.emplace_back(c);
  ERR_clear_error();  // the end of the input reads as an error
  return certs;
}

std::string certToPem(X509* cert) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1) return "";
  char* data = nullptr;
  long n = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(n));
}

}  // namespace qlsign
