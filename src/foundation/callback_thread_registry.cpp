#include "foundation/callback_thread_registry.h"

#include <utility>

namespace corvane {

namespace {

std::atomic<std::uint64_t> nextIncarnation{1};
std::atomic<std::uint64_t> nextRegistrySerial{1};

// The registry and id under which the calling thread last found or made its own entry. That
// entry stays the thread's for as long as the registry lives: it is only renewed once a poll
// shows its thread has ended. So a repeat needs neither the lock nor the lookup.
struct LastRegistration {
  std::uint64_t registry = 0;
  std::uint32_t id = 0;
};
thread_local LastRegistration lastRegistration;

// Assigned on a thread's first registration and kept for its life; 0 is never handed out.
std::uint64_t CurrentIncarnation() {
  thread_local const std::uint64_t incarnation =
      nextIncarnation.fetch_add(1, std::memory_order_relaxed);
  return incarnation;
}

}  // namespace

CCallbackThreadRegistry::CCallbackThreadRegistry()
    : serial_(nextRegistrySerial.fetch_add(1, std::memory_order_relaxed)) {}

void CCallbackThreadRegistry::RegisterCurrentThread() {
  RegisterThread(platform::CurrentThreadId());
}

void CCallbackThreadRegistry::RegisterThread(std::uint32_t id) {
  LastRegistration& last = lastRegistration;
  if (last.registry == serial_ && last.id == id) return;
  const std::uint64_t self = CurrentIncarnation();
  CAutoLock guard(lock_);
  auto it = threads_.find(id);
  if (it == threads_.end()) {
    platform::Handle handle = platform::CurrentThreadHandle();
    if (handle.Valid()) {
      DropEndedEntries();
      threads_.emplace(id, Entry{std::move(handle), self});
      last = {serial_, id};
    }
    return;
  }
  Entry& entry = it->second;
  if (entry.incarnation == self) {
    last = {serial_, id};
    return;
  }
  // Someone else is recorded under this id. While it still runs, the entry stays.
  polls_.fetch_add(1, std::memory_order_relaxed);
  if (platform::Wait(entry.handle, 0) != platform::WaitResult::kSignalled) return;
  // The recorded thread has ended and its id now belongs to the caller.
  entry.handle.Close();
  platform::Handle handle = platform::CurrentThreadHandle();
  if (handle.Valid()) {
    entry.handle = std::move(handle);
    entry.incarnation = self;
    last = {serial_, id};
  } else {
    threads_.erase(it);
  }
}

// Every reconnect brings new library threads under new ids, and the kernel hands out ids in
// rising order, so entries of ended threads would pile up (one object each) for as long as
// the owner lives. A thread that has ended needs no waiting at close, so its entry can go.
// Runs only when a new thread is recorded, never on the per-packet path.
void CCallbackThreadRegistry::DropEndedEntries() {
  for (auto it = threads_.begin(); it != threads_.end();) {
    if (platform::Wait(it->second.handle, 0) == platform::WaitResult::kSignalled) {
      it = threads_.erase(it);
    } else {
      ++it;
    }
  }
}

void CCallbackThreadRegistry::CollectHandles(std::vector<platform::Handle>& list) {
  CAutoLock guard(lock_);
  for (const auto& [id, entry] : threads_) {
    if (!entry.handle.Valid()) continue;
    platform::Handle copy = entry.handle.Duplicate();
    if (copy.Valid()) list.push_back(std::move(copy));
  }
}

std::size_t CCallbackThreadRegistry::EntryCount() {
  CAutoLock guard(lock_);
  return threads_.size();
}

}  // namespace corvane
