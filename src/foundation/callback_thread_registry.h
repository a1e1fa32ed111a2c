// Record of the RCP+ library threads that have called back into one owner (a camera session,
// the digital I/O object), each held by a handle that can be waited on. Close collects
// duplicates of the handles before the owner goes away and waits for those threads to end.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "foundation/recursive_lock.h"
#include "platform/platform.h"

namespace corvane {

class CCallbackThreadRegistry {
 public:
  CCallbackThreadRegistry() = default;
  // Closes every recorded handle once.
  ~CCallbackThreadRegistry() = default;
  CCallbackThreadRegistry(const CCallbackThreadRegistry&) = delete;
  CCallbackThreadRegistry& operator=(const CCallbackThreadRegistry&) = delete;

  // Records the calling thread. A thread already recorded and still running costs one
  // lookup and one zero-time-out poll. An entry whose thread has ended is renewed for the
  // caller (the kernel reused the id). Failures are silent.
  void RegisterCurrentThread();

  // Appends a fresh duplicate of every recorded handle, in ascending thread-id order. The
  // caller owns the duplicates; they stay valid after the registry is gone.
  void CollectHandles(std::vector<platform::Handle>& list);

 protected:
  // Registration under a given id: the body of RegisterCurrentThread, open to tests that
  // simulate the kernel handing an ended thread's id to a new thread.
  void RegisterThread(std::uint32_t id);
  // Number of entries (for tests).
  std::size_t EntryCount();

 private:
  // The library may run two callbacks of one owner at once.
  CRecursiveLock lock_;
  std::map<std::uint32_t, platform::Handle> threads_;
};

}  // namespace corvane
