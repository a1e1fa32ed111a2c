// The library's four entry points. No exception leaves through them.
#include <new>

#include "driver/veltrane.h"
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
  // The newer interface's adapter is not part of this build yet.
  return nullptr;
}

VELTRANE_EXPORT void DeleteIPCapture(corvane::ipcapture::IIPCaptureDriver* /*driver*/) {
  // Nothing made by CreateIPCapture can exist yet: every object is foreign and left alone.
}

}  // extern "C"
