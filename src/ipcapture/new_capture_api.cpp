#include "ipcapture/new_capture_api.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "driver/slot_barrier.h"
#include "ipcapture/new_ip_video_capture.h"

namespace corvane {

namespace {

constexpr std::int32_t kCodecSelectionMpeg4 = 2;

}  // namespace

CNewCaptureApi::CNewCaptureApi(CCaptureAPI* driver) : driver_(driver) {}

CNewCaptureApi::~CNewCaptureApi() { Uninitialize(); }

bool CNewCaptureApi::Initialize(ipcapture::IHostDriverCallback* callback,
                                CVideoAllocator* allocator,
                                ipcapture::IHostDeviceConfig* config) {
  if (!callback || !allocator || !config || !driver_) return false;
  return SlotBarrier(false, [&] {
    ipcapture::IHostDeviceType* deviceTypeObject = config->GetDeviceType();
    if (!deviceTypeObject) return false;
    const char* deviceType = deviceTypeObject->GetDeviceType();
    // The type names the file and must fit the buffer with its terminator.
    if (!deviceType || ::strnlen(deviceType, kDeviceTypeSize) >= kDeviceTypeSize - 1) return false;

    hostCallback_ = callback;
    videoAllocator_ = allocator;
    std::strcpy(deviceType_, deviceType);

    std::string rootName;
    if (!ReadCapabilities(deviceType_, capabilities_, rootName)) return false;
    return ConfigureAndOpen(config, deviceTypeObject);
  });
}

bool CNewCaptureApi::ConfigureAndOpen(ipcapture::IHostDeviceConfig* config,
                                      ipcapture::IHostDeviceType* deviceTypeObject) {
  ChooseCompression(config);
  if (!SetConnectionProperties(config)) return false;
  if (driver_->HostOperation01() == 0) return false;
  driver_->SetVideoAllocator(videoAllocator_);
  opened_ = driver_->Open(deviceTypeObject->GetDeviceType()) != 0;
  return opened_;
}

// Only a device type that codes both MPEG-4 and JPEG needs the host's choice.
void CNewCaptureApi::ChooseCompression(ipcapture::IHostDeviceConfig* config) {
  capabilities_.FirstCodec();
  if (capabilities_.NextCodec() == 0) return;
  ipcapture::IHostConnection* connection = config->GetConnection();
  if (!connection) return;
  const char* value = connection->GetCodecSelection() == kCodecSelectionMpeg4 ? "MPEG4" : "MJPEG";
  driver_->SetProperty("Compression", value, static_cast<int>(std::strlen(value)));
}

bool CNewCaptureApi::SetConnectionProperties(ipcapture::IHostDeviceConfig* config) {
  ipcapture::IHostConnection* connection = config->GetConnection();
  if (!connection || !SetTextProperty("IPSERVERADDRESS", connection->GetAddress())) return false;
  if (!SetTextProperty("IPSERVERTYPE", deviceType_)) return false;

  connection = config->GetConnection();
  if (!connection) return false;
  // The driver takes the port number itself in place of the value pointer.
  const auto port = static_cast<std::uintptr_t>(static_cast<std::uint32_t>(connection->GetPort()));
  if (driver_->SetProperty("IPSERVERPORT", reinterpret_cast<const void*>(port), 4) == 0) return false;

  connection = config->GetConnection();
  if (!connection || !SetTextProperty("IPSERVERUSERNAME", connection->GetUserName())) return false;
  connection = config->GetConnection();
  return connection && SetTextProperty("IPSERVERPASSWORD", connection->GetPassword());
}

bool CNewCaptureApi::SetTextProperty(const char* name, const char* text) {
  if (!text) return false;
  return driver_->SetProperty(name, text, static_cast<int>(std::strlen(text))) != 0;
}

void CNewCaptureApi::Uninitialize() {
  SlotBarrier([&] {
    if (opened_) {
      opened_ = false;
      driver_->Close();
    }
  });
  SlotBarrier([&] {
    CNewIPVideoCapture* videoCapture = videoCapture_;
    videoCapture_ = nullptr;
    delete videoCapture;
  });
}

ipcapture::IIPVideoCapture* CNewCaptureApi::GetVideoCapture() {
  if (!driver_) return nullptr;
  return SlotBarrier(static_cast<ipcapture::IIPVideoCapture*>(nullptr),
                     [&]() -> ipcapture::IIPVideoCapture* {
                       if (!videoCapture_) videoCapture_ = new CNewIPVideoCapture(this);
                       return videoCapture_;
                     });
}

ICaptureIOApi* CNewCaptureApi::GetIOApi() {
  if (!driver_) return nullptr;
  return SlotBarrier(static_cast<ICaptureIOApi*>(nullptr), [&]() -> ICaptureIOApi* {
    ICaptureIOApi* api = nullptr;
    if (driver_->GetProperty("ICaptureIOApi", &api, static_cast<int>(sizeof api)) == 0) return nullptr;
    return api;
  });
}

}  // namespace corvane
