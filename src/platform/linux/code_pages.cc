#include "platform/linux/code_pages.h"

#include <elf.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <utility>
#include <vector>

namespace ql::linux_backend {

namespace {

using Range = std::pair<uintptr_t, uintptr_t>;  // [first, last) in whole pages

struct Found {
  uintptr_t address = 0;
  bool found = false;
  bool textRelocations = false;
  std::vector<Range> readOnly, keep;  // keep: pages a write may have touched
};

int visit(dl_phdr_info* info, size_t, void* data) {
  auto* f = static_cast<Found*>(data);
  const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  auto pages = [&](const ElfW(Phdr)& ph) {
    uintptr_t start = info->dlpi_addr + ph.p_vaddr;
    return Range{start & ~(page - 1), (start + ph.p_memsz + page - 1) & ~(page - 1)};
  };
  bool mine = false;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD) continue;
    uintptr_t start = info->dlpi_addr + ph.p_vaddr;
    if (f->address >= start && f->address < start + ph.p_memsz) mine = true;
  }
  if (!mine) return 0;
  f->found = true;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type == PT_LOAD && !(ph.p_flags & PF_W)) f->readOnly.push_back(pages(ph));
    if ((ph.p_type == PT_LOAD && (ph.p_flags & PF_W)) || ph.p_type == PT_GNU_RELRO) f->keep.push_back(pages(ph));
    if (ph.p_type == PT_DYNAMIC) {
      // The loader writes into read-only segments of an object with text
      // relocations: such pages differ from the file and must stay.
      for (auto* d = reinterpret_cast<const ElfW(Dyn)*>(info->dlpi_addr + ph.p_vaddr); d->d_tag != DT_NULL; ++d) {
        if (d->d_tag == DT_TEXTREL) f->textRelocations = true;
        if (d->d_tag == DT_FLAGS && (d->d_un.d_val & DF_TEXTREL)) f->textRelocations = true;
      }
    }
  }
  return 1;
}

// `ranges` minus every page in `keep`.
std::vector<Range> subtract(std::vector<Range> ranges, const std::vector<Range>& keep) {
  for (const Range& k : keep) {
    std::vector<Range> next;
    for (const Range& r : ranges) {
      if (k.second <= r.first || k.first >= r.second) {
        next.push_back(r);
        continue;
      }
      if (r.first < k.first) next.push_back({r.first, k.first});
      if (k.second < r.second) next.push_back({k.second, r.second});
    }
    ranges = std::move(next);
  }
  return ranges;
}

}  // namespace

Result<size_t> releaseReadOnlyPagesOf(const void* addressInObject) {
  Found f;
  f.address = reinterpret_cast<uintptr_t>(addressInObject);
  ::dl_iterate_phdr(visit, &f);
  if (!f.found) return Status::Posix(ENOENT);
  if (f.textRelocations) return size_t(0);
  size_t released = 0;
  for (const Range& r : subtract(f.readOnly, f.keep)) {
    if (r.second <= r.first) continue;
    // Private file pages never written are the file's own: MADV_DONTNEED
    // unmaps them, and the next touch maps the page cache's copy again.
    if (::madvise(reinterpret_cast<void*>(r.first), r.second - r.first, MADV_DONTNEED) != 0)
      return Status::Posix(errno);
    released += r.second - r.first;
  }
  return released;
}

}  // namespace ql::linux_backend
