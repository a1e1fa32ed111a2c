// The library's four entry points. No exception leaves through them.
#include <new>

#include "driver/slot_barrier.h"
#include "driver/veltrane.h"
#include "ipcapture/new_capture_api.h"
#include "veltrane/ipcapture.h"
#include "veltrane/veltrane.h"

extern "C" {

using corvane::SlotBarrier;

VELTRANE_EXPORT CCaptureAPI* CreateCapture(int /*unused*/) {
  return SlotBarrier(static_cast<CCaptureAPI*>(nullptr),
                     [] { return static_cast<CCaptureAPI*>(new corvane::CVeltrane()); });
}

VELTRANE_EXPORT bool DeleteCapture(CCaptureAPI** api) {
  return SlotBarrier(false, [&] {
    if (!api || !*api) return false;
    CCaptureAPI* doomed = *api;
    *api = nullptr;
    delete doomed;
    return true;
  });
}

VELTRANE_EXPORT corvane::ipcapture::IIPCaptureDriver* CreateIPCapture(void) {
  using Result = corvane::ipcapture::IIPCaptureDriver*;
  return SlotBarrier(static_cast<Result>(nullptr), []() -> Result {
    CCaptureAPI* driver = CreateCapture(0);
    if (!driver) return nullptr;
    ++corvane::liveIPCaptureInstances;
    try {
      return new corvane::CNewCaptureApi(driver);
    } catch (...) {
      --corvane::liveIPCaptureInstances;
      DeleteCapture(&driver);
      throw;
    }
  });
}

VELTRANE_EXPORT void DeleteIPCapture(corvane::ipcapture::IIPCaptureDriver* driver) {
  SlotBarrier([&] {
    if (!driver) return;
    // Only what CreateIPCapture made is ours to delete.
    auto* adapter = dynamic_cast<corvane::CNewCaptureApi*>(driver);
    if (!adapter) return;
    CCaptureAPI* inner = adapter->driver();
    delete adapter;  // closes the driver first
    DeleteCapture(&inner);
    --corvane::liveIPCaptureInstances;
  });
}

}  // extern "C"
