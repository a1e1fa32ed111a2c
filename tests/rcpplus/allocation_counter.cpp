// Replaces the global operator new so that a test can count the allocations of one thread.
// Kept apart from the tests so the compiler never inlines one into the other.
#include <atomic>
#include <cstdlib>
#include <new>

namespace {

thread_local bool t_counting = false;
std::atomic<long> g_allocations{0};

}  // namespace

void CountAllocationsOnThisThread() { t_counting = true; }
long CountedAllocations() { return g_allocations.load(); }
void ResetCountedAllocations() { g_allocations = 0; }

void* operator new(std::size_t size) {
  if (t_counting) g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
