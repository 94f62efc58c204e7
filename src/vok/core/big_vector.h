// Vectors of many megabytes that are read and written all over (the
// tables a model is made from): their memory is offered as huge pages, so
// that filling them takes a fault per 2 MiB rather than per 4 KiB and
// reading them misses the TLB less.  Internal to the core.
#ifndef VOK_CORE_BIG_VECTOR_H
#define VOK_CORE_BIG_VECTOR_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>
#if defined(__linux__)
#include <sys/mman.h>
#endif

// Offers the whole huge pages inside [p, p + bytes) as huge pages.
inline void vok_offer_huge_pages(void* p, size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr uintptr_t kHuge = uintptr_t{2} << 20;
  const uintptr_t first = (reinterpret_cast<uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(kHuge - 1);
  if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

template <typename T>
struct vok_big_allocator {
  using value_type = T;
  vok_big_allocator() = default;
  template <typename U>
  vok_big_allocator(const vok_big_allocator<U>&) {}
  T* allocate(size_t n) {
    void* p = std::malloc(n * sizeof(T));
    if (!p) throw std::bad_alloc();
    vok_offer_huge_pages(p, n * sizeof(T));
    return static_cast<T*>(p);
  }
  void deallocate(T* p, size_t) { std::free(p); }
  template <typename U>
  bool operator==(const vok_big_allocator<U>&) const { return true; }
};

template <typename T>
using vok_big_vector = std::vector<T, vok_big_allocator<T>>;

#endif  // VOK_CORE_BIG_VECTOR_H
