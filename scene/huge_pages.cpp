#include "scene/huge_pages.h"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace norvi::embree {

void advise_huge_pages(const void* data, std::size_t bytes) {
#if defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kHuge = std::uintptr_t(2) << 20;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t lo = (begin + kHuge - 1) & ~(kHuge - 1);
    const std::uintptr_t hi = (begin + bytes) & ~(kHuge - 1);
    if (!data || hi <= lo) return;
    void* p = reinterpret_cast<void*>(lo);
    const std::size_t n = hi - lo;
    if (madvise(p, n, MADV_HUGEPAGE) != 0) return;
    // Pages already touched are moved now where the kernel can (Linux 6.1
    // and later; older kernels refuse the request); elsewhere the advice
    // applies as the kernel finds time.
#if defined(MADV_COLLAPSE)
    constexpr int kCollapse = MADV_COLLAPSE;
#else
    constexpr int kCollapse = 25;
#endif
    (void)madvise(p, n, kCollapse);
#else
    (void)data;
    (void)bytes;
#endif
}

}  // namespace norvi::embree
