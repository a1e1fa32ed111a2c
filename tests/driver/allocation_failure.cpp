// Replaces the global operator new so that a test can make one allocation of a given size
// fail on its own thread. Kept apart from the tests so the compiler never inlines one into
// the other.
#include "allocation_failure.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

thread_local bool t_armed = false;
thread_local std::size_t t_failSize = 0;
thread_local std::size_t t_countSize = 0;
std::atomic<long> g_counted{0};
std::atomic<bool> g_struck{false};

}  // namespace

namespace testalloc {

void FailFirstAllocationOfSize(std::size_t failSize, std::size_t countSize) {
  g_counted = 0;
  g_struck = false;
  t_failSize = failSize;
  t_countSize = countSize;
  t_armed = true;
}

void Disarm() { t_armed = false; }
bool FailureStruck() { return g_struck.load(); }
long CountedAllocations() { return g_counted.load(); }

}  // namespace testalloc

void* operator new(std::size_t size) {
  if (t_armed) {
    if (size == t_countSize) g_counted.fetch_add(1, std::memory_order_relaxed);
    if (size == t_failSize) {
      t_armed = false;
      g_struck = true;
      throw std::bad_alloc();
    }
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
