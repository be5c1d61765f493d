// Counts heap allocations of the whole process (the libraries' included) by standing
// in for the C allocator's entry points.

#include <cerrno>
#include <cstddef>
#include <atomic>

#include "AllocCounter.h"

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace {
std::atomic<long long> g_allocations{0};
}

long long AllocationCount() { return g_allocations.load(std::memory_order_relaxed); }

extern "C" {
void* malloc(size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(n);
}
void* calloc(size_t a, size_t b) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(a, b);
}
void* realloc(void* p, size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(p, n);
}
void free(void* p) { __libc_free(p); }
int posix_memalign(void** out, size_t align, size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  void* p = __libc_memalign(align, n);
  if (!p) return ENOMEM;
  *out = p;
  return 0;
}
void* memalign(size_t align, size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_memalign(align, n);
}
void* aligned_alloc(size_t align, size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_memalign(align, n);
}
}
