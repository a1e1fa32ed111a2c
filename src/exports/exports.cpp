// The library's four entry points. No exception leaves through them.
#include <new>

#include "driver/veltrane.h"
#include "ipcapture/new_capture_api.h"
#include "veltrane/ipcapture.h"
#include "veltrane/veltrane.h"

extern "C" {

VELTRANE_EXPORT CCaptureAPI* CreateCapture(int /*unused*/) {
  try {
    return new corvane::CVeltrane();
  } catch (...) {
    return nullptr;
  }
}

VELTRANE_EXPORT bool DeleteCapture(CCaptureAPI** api) {
  if (!api || !*api) return false;
  delete *api;
  *api = nullptr;
  return true;
}

VELTRANE_EXPORT corvane::ipcapture::IIPCaptureDriver* CreateIPCapture(void) {
  CCaptureAPI* driver = CreateCapture(0);
  if (!driver) return nullptr;
  ++corvane::liveIPCaptureInstances;
  try {
    return new corvane::CNewCaptureApi(driver);
  } catch (...) {
    --corvane::liveIPCaptureInstances;
    DeleteCapture(&driver);
    return nullptr;
  }
}

VELTRANE_EXPORT void DeleteIPCapture(corvane::ipcapture::IIPCaptureDriver* driver) {
  if (!driver) return;
  // Only what CreateIPCapture made is ours to delete.
  auto* adapter = dynamic_cast<corvane::CNewCaptureApi*>(driver);
  if (!adapter) return;
  CCaptureAPI* inner = adapter->driver();
  delete adapter;  // closes the driver first
  DeleteCapture(&inner);
  --corvane::liveIPCaptureInstances;
}

}  // extern "C"
