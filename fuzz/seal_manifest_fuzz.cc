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
    // An accepted file entry describes exactly its size: one digest per
    // chunk, no more, no fewer.
    for (const auto& [path, e] : manifest)
      if (e.type == qlsign::ManifestEntry::Type::kFile && e.chunks.size() != qlsign::chunkCount(e.size))
        __builtin_trap();
    // Canonical form: encoding what was decoded and decoding it again is stable.
    std::string encoded = qlsign::encodeManifest(manifest);
    qlsign::Manifest again;
    if (!qlsign::decodeManifest(encoded, &again).ok()) __builtin_trap();
    if (qlsign::encodeManifest(again) != encoded) __builtin_trap();
  }
  qlsign::CodeDirectory cd;
  if (qlsign::decodeCodeDirectory(bytes, &cd).ok()) {
    if (cd.kind == qlsign::CodeDirectory::Kind::kExecutable &&
        cd.payloadChunks.size() != qlsign::chunkCount(cd.payloadLength))
      __builtin_trap();
    std::string encoded = qlsign::encodeCodeDirectory(cd);
    qlsign::CodeDirectory again;
    if (!qlsign::decodeCodeDirectory(encoded, &again).ok()) __builtin_trap();
    if (qlsign::encodeCodeDirectory(again) != encoded) __builtin_trap();
  }
  return 0;
}
