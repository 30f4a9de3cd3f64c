// Giving back the pages of a shared library's code once the work that ran
// it is over.
//
// The launcher runs OpenSSL hard for a few milliseconds at start-up (the
// signature check, the seeding) and then idles for hours beside the shell.
// By then its page tables still map megabytes of libcrypto: the code the
// check ran, and around every fault the neighbours the kernel mapped with it
// (fault-around, large folios). Those pages are clean copies of the library
// file, so dropping them from this process loses nothing: they stay in the
// page cache while anything else uses them (and become reclaimable cache
// when nothing does), and a later check faults back in what it touches.
#pragma once

#include <cstddef>

#include "platform/status.h"

namespace ql::linux_backend {

// Drops from this process's page tables every page of the loaded object
// that contains `addressInObject` which it can never have written: its
// read-only segments (code, read-only data), never the writable ones nor
// the part the loader protected after relocating it (RELRO), and nothing
// at all for an object with text relocations. Returns how many bytes of
// address space were given back (what was resident of them is what RSS
// loses), or the error of dladdr/madvise.
Result<size_t> releaseReadOnlyPagesOf(const void* addressInObject);

}  // namespace ql::linux_backend
