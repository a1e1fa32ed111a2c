// What is left of an object whose thread did not stop in time. Such a thread is abandoned,
// never cancelled (it may hold a lock or be inside a destructor), and it runs on whenever the
// host callback it is stuck in returns. Everything it may still touch is kept alive on
// purpose, and what it reaches of its owner is switched to a stand-in that does nothing, since
// the owner itself may be destroyed meanwhile.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "foundation/ipcapture_io_base_handler_if.h"

namespace corvane {

// The stand-in for a driver that an abandoned object may no longer reach.
CIPCaptureIOBaseHandlerIf& DetachedHandler();

// Keeps object alive until the process ends. It stays reachable, so leak checkers do not
// report it.
template <typename T>
void KeepForever(std::unique_ptr<T> object) {
  static std::mutex mutex;
  // Never destroyed: an abandoned thread may still run while the process exits.
  static auto* const kept = new std::vector<std::shared_ptr<void>>;
  std::lock_guard lock(mutex);
  kept->push_back(std::shared_ptr<T>(std::move(object)));
}

// A pointer to an owner that can be switched, once its object has been abandoned, to a
// stand-in. Every use loads it afresh.
template <typename T>
class OwnerLink {
 public:
  explicit OwnerLink(T* owner) : owner_(owner) {}
  OwnerLink(const OwnerLink&) = delete;
  OwnerLink& operator=(const OwnerLink&) = delete;

  T* operator->() const { return owner_.load(std::memory_order_acquire); }
  T* get() const { return owner_.load(std::memory_order_acquire); }
  bool operator==(std::nullptr_t) const { return get() == nullptr; }
  void Detach(T* standIn) { owner_.store(standIn, std::memory_order_release); }

 private:
  std::atomic<T*> owner_;
};

}  // namespace corvane
