// A hint for large buffers the library fills at once. Internal.
#ifndef ZEM_HUGE_PAGES_H
#define ZEM_HUGE_PAGES_H

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace Zem {
namespace detail {

/// Asks the system to back a large, freshly allocated buffer with huge
/// pages where it can: filling 32 MB of points otherwise costs thousands of
/// page faults, and a table of names read at random thousands of TLB misses.
/// A hint only; nothing changes where it is not supported.
inline void adviseHugePages(const void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kHuge = std::uintptr_t(1) << 21;
  const std::uintptr_t first = (reinterpret_cast<std::uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t last = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kHuge - 1);
  if (last > first) (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

}  // namespace detail
}  // namespace Zem

#endif  // ZEM_HUGE_PAGES_H
