#include "base/pages.h"

#include <sys/mman.h>

#include <cstdint>

namespace base::pages {

void prepare(void* p, std::size_t n) {
    constexpr std::size_t PAGE = 4096;
    if (n < (std::size_t{1} << 21)) return;
    const auto begin = (reinterpret_cast<std::uintptr_t>(p) + PAGE - 1) & ~(PAGE - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(p) + n) & ~(PAGE - 1);
    if (end <= begin) return;
    void* a = reinterpret_cast<void*>(begin);
    const std::size_t len = end - begin;
#ifdef MADV_HUGEPAGE
    (void)::madvise(a, len, MADV_HUGEPAGE);
#endif
#ifdef MADV_POPULATE_WRITE
    (void)::madvise(a, len, MADV_POPULATE_WRITE);
#endif
}

}  // namespace base::pages
