// The entry points of libveltrane.so. A host loads the library (dlopen), looks these up
// (dlsym) and creates one driver object per device. Plain C names; a C host can call them.
#pragma once

#ifdef __cplusplus
#include "veltrane/capture_api.h"
#include "veltrane/capture_io.h"
#include "veltrane/ipcapture.h"

using VeltraneCaptureApi = CCaptureAPI;
using VeltraneIPCaptureDriver = corvane::ipcapture::IIPCaptureDriver;
extern "C" {
#else
#include <stdbool.h>
typedef struct VeltraneCaptureApi VeltraneCaptureApi;
typedef struct VeltraneIPCaptureDriver VeltraneIPCaptureDriver;
#endif

#define VELTRANE_EXPORT __attribute__((visibility("default")))

// A new driver object for the older interface; null when it cannot be created. The
// argument is not used.
VELTRANE_EXPORT VeltraneCaptureApi* CreateCapture(int unused);
// Destroys *api and sets it to null; false when api or *api is null.
VELTRANE_EXPORT bool DeleteCapture(VeltraneCaptureApi** api);
// A new driver wrapped in the newer interface; null when it cannot be created.
VELTRANE_EXPORT VeltraneIPCaptureDriver* CreateIPCapture(void);
// Destroys an object made by CreateIPCapture; null and foreign objects are ignored.
VELTRANE_EXPORT void DeleteIPCapture(VeltraneIPCaptureDriver* driver);

#ifdef __cplusplus
}
#endif
