#include "foundation/callback_thread_registry.h"

#include <utility>

namespace corvane {

void CCallbackThreadRegistry::RegisterCurrentThread() {
  RegisterThread(platform::CurrentThreadId());
}

void CCallbackThreadRegistry::RegisterThread(std::uint32_t id) {
  CAutoLock guard(lock_);
  auto it = threads_.find(id);
  if (it == threads_.end()) {
    platform::Handle handle = platform::CurrentThreadHandle();
    if (handle.Valid()) threads_.emplace(id, std::move(handle));
    return;
  }
  // A running thread, or a poll that failed: keep the entry as it is.
  if (platform::Wait(it->second.fd(), 0) != platform::WaitResult::kSignalled) return;
  // The recorded thread has ended and its id now belongs to the caller.
  it->second.Close();
  platform::Handle handle = platform::CurrentThreadHandle();
  if (handle.Valid()) {
    it->second = std::move(handle);
  } else {
    threads_.erase(it);
  }
}

void CCallbackThreadRegistry::CollectHandles(std::vector<platform::Handle>& list) {
  CAutoLock guard(lock_);
  for (const auto& [id, handle] : threads_) {
    if (!handle.Valid()) continue;
    platform::Handle copy = handle.Duplicate();
    if (copy.Valid()) list.push_back(std::move(copy));
  }
}

std::size_t CCallbackThreadRegistry::EntryCount() {
  CAutoLock guard(lock_);
  return threads_.size();
}

}  // namespace corvane
