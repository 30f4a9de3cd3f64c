// The seal (code directory and manifest) lives inside the bundle, so its
// bytes are chosen by whoever last wrote the bundle.
#include <cstddef>
#include <cstdint>
#include <string>

#include "codesign/seal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  qlsign::Manifest manifest;
  if (qlsign::decodeManifest(bytes, &manifest).ok()) {
    // Canonical form: encoding what was decoded and decoding it again is stable.
    std::string encoded = qlsign::encodeManifest(manifest);
    qlsign::Manifest again;
    if (!qlsign::decodeManifest(encoded, &again).ok()) __builtin_trap();
    if (qlsign::encodeManifest(again) != encoded) __builtin_trap();
  }
  qlsign::CodeDirectory cd;
  if (qlsign::decodeCodeDirectory(bytes, &cd).ok()) {
    std::string encoded = qlsign::encodeCodeDirectory(cd);
    qlsign::CodeDirectory again;
    if (!qlsign::decodeCodeDirectory(encoded, &again).ok()) __builtin_trap();
    if (qlsign::encodeCodeDirectory(again) != encoded) __builtin_trap();
  }
  return 0;
}
