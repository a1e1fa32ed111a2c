// One failing allocation on the calling thread, for tests of what a failure mid-way leaves.
#pragma once

#include <cstddef>

namespace testalloc {

// From now on, on this thread: counts the allocations of countSize bytes and makes the
// first allocation of failSize bytes throw std::bad_alloc, which disarms it.
void FailFirstAllocationOfSize(std::size_t failSize, std::size_t countSize);
void Disarm();
bool FailureStruck();
long CountedAllocations();

}  // namespace testalloc
