// The driver as a camera session sees it: the handler (connection parameters, device
// configuration, recorded log), recorded channel events, and the host's capture user and
// allocator when a test gives them. Free of GoogleTest, so that fuzz targets and benchmarks
// can use it too.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "session/camera_session_owner.h"
#include "support/fake_handler.h"

namespace fakes {

class FakeSessionOwner : public corvane::ICameraSessionOwner, public FakeHandler {
 public:
  explicit FakeSessionOwner(std::string address = "127.0.0.1", std::uint16_t port = 1,
                            int networkTimeoutMs = 300)
      : FakeHandler(std::move(address), port), networkTimeoutMs_(networkTimeoutMs) {}

  // The host's objects that frames go to; null (the default) means the host has none.
  void SetHost(CCaptureAPIUser* user, CVideoAllocator* allocator) {
    captureUser_ = user;
    allocator_ = allocator;
  }

  // ICameraSessionOwner
  corvane::CIPCaptureIOBaseHandlerIf& SessionHandler() override { return *this; }
  int GetNetworkTimeout() override { return networkTimeoutMs_; }
  void OnChannelEvent(corvane::CBoschIPCameraInfo*, int event) override {
    {
      std::lock_guard lock(mutex_);
      events_.push_back(event);
    }
    changed_.notify_all();
  }
  CCaptureAPIUser* GetCaptureUser() override { return captureUser_; }
  CVideoAllocator* GetVideoAllocator() override { return allocator_; }

  std::vector<int> Events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  int CountEvents(int event) const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count(events_.begin(), events_.end(), event));
  }
  bool WaitForEvents(int event, int count, int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      return std::count(events_.begin(), events_.end(), event) >= count;
    });
  }

 private:
  const int networkTimeoutMs_;
  CCaptureAPIUser* captureUser_ = nullptr;
  CVideoAllocator* allocator_ = nullptr;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<int> events_;
};

}  // namespace fakes
