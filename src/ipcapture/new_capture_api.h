// The driver as a newer host sees it: turns the host's single initialisation into the
// driver's configuration sequence and hands out the video and digital I/O interfaces.
#pragma once

#include "settings/camera_capabilities.h"
#include "veltrane/capture_api.h"
#include "veltrane/ipcapture.h"

namespace corvane {

class CNewIPVideoCapture;

class CNewCaptureApi final : public ipcapture::IIPCaptureDriver {
 public:
  static constexpr int kDeviceTypeSize = 256;

  // driver is used, never deleted: DeleteIPCapture deletes it after the adapter. It is held
  // through the capture interface, the only way the adapter drives it.
  explicit CNewCaptureApi(CCaptureAPI* driver);
  ~CNewCaptureApi() override;
  CNewCaptureApi(const CNewCaptureApi&) = delete;
  CNewCaptureApi& operator=(const CNewCaptureApi&) = delete;

  bool Initialize(ipcapture::IHostDriverCallback* callback, CVideoAllocator* allocator,
                  ipcapture::IHostDeviceConfig* config) override;
  void Uninitialize() override;
  ipcapture::IIPVideoCapture* GetVideoCapture() override;
  ICaptureIOApi* GetIOApi() override;

  CCaptureAPI* driver() const { return driver_; }
  CCameraCapabilities& capabilities() { return capabilities_; }
  ipcapture::IHostDriverCallback* hostCallback() const { return hostCallback_; }
  CVideoAllocator* videoAllocator() const { return videoAllocator_; }
  const char* deviceType() const { return deviceType_; }
  bool opened() const { return opened_; }

 private:
  bool ConfigureAndOpen(ipcapture::IHostDeviceConfig* config,
                        ipcapture::IHostDeviceType* deviceTypeObject);
  void ChooseCompression(ipcapture::IHostDeviceConfig* config);
  bool SetConnectionProperties(ipcapture::IHostDeviceConfig* config);
  bool SetTextProperty(const char* name, const char* text);

  CCameraCapabilities capabilities_;
  ipcapture::IHostDriverCallback* hostCallback_ = nullptr;
  CVideoAllocator* videoAllocator_ = nullptr;
  CCaptureAPI* const driver_;
  CNewIPVideoCapture* videoCapture_ = nullptr;
  char deviceType_[kDeviceTypeSize] = {};
  bool opened_ = false;
};

}  // namespace corvane
