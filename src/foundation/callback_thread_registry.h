// Record of the RCP+ library threads that have called back into one owner (a camera session,
// the digital I/O object), each held by a handle that can be waited on. Close collects
// duplicates of the handles before the owner goes away and waits for those threads to end.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <vector>

#include "foundation/recursive_lock.h"
#include "platform/platform.h"

namespace corvane {

class CCallbackThreadRegistry {
 public:
  CCallbackThreadRegistry();
  // Closes every recorded handle once.
  ~CCallbackThreadRegistry() = default;
  CCallbackThreadRegistry(const CCallbackThreadRegistry&) = delete;
  CCallbackThreadRegistry& operator=(const CCallbackThreadRegistry&) = delete;

  // Records the calling thread. When the caller is itself the thread recorded under its id
  // (the common case: every video packet), this makes no system call: a repeat into the same
  // registry is a thread-local comparison, otherwise one lookup under the lock. Any other
  // thread found under the id is polled with a zero time-out: still running, the entry stays;
  // ended, the entry is renewed for the caller (the kernel reused the id). Recording a new
  // thread first drops the entries of threads that have ended. Failures are silent.
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
  // Zero-time-out polls made so far of an entry found under the caller's id (for tests).
  std::uint64_t PollCount() const { return polls_.load(std::memory_order_relaxed); }

 private:
  // Removes (closing their handles) the entries whose threads have ended.
  void DropEndedEntries();

  struct Entry {
    platform::Handle handle;
    // Process-unique number of the thread the handle belongs to. Thread ids are reused,
    // these never are: a caller whose own number is stored here is the recorded thread,
    // so that thread is running and needs no poll.
    std::uint64_t incarnation = 0;
  };

  // Process-unique, so that a thread's memory of its last registration cannot be taken for
  // a later registry at the same address.
  const std::uint64_t serial_;
  // The library may run two callbacks of one owner at once.
  CRecursiveLock lock_;
  std::map<std::uint32_t, Entry> threads_;
  std::atomic<std::uint64_t> polls_{0};
};

}  // namespace corvane
