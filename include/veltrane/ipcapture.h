// The newer IP-capture host interface: the driver (IIPCaptureDriver, made by CreateIPCapture)
// and its per-device video interface (IIPVideoCapture), plus the host's objects that they
// call: the driver callback, the device configuration with its device-type and connection
// objects, the stream settings with their format, rate and resolution objects, and the
// per-channel callback.
//
// ABI: every interface here has a fixed virtual slot order, noted per slot. Slot 0 of every
// interface is a plain virtual destructor (g++ gives it two vtable entries; host and driver
// declare it the same way). Host slots the driver never calls keep their places
// (xxxOperationNN) so that host and driver agree on the layout. bool results are C++ bool.
// The host never deletes the objects the driver hands out; the driver never owns the host's.
#pragma once

#include <cstdint>

#include "veltrane/capture_io.h"
#include "veltrane/host.h"

namespace corvane::ipcapture {

// ---- Host objects read by IIPCaptureDriver::Initialize ----

// The device type the host configured.
class IHostDeviceType {
 public:
  virtual ~IHostDeviceType() = default;                       // 0
  virtual int DeviceTypeOperation01() = 0;                    // 1
  // NUL-terminated device type; also the stem of the device-type file ("<type>.xml").
  virtual const char* GetDeviceType() = 0;                    // 2
};

// How to reach the device.
class IHostConnection {
 public:
  virtual ~IHostConnection() = default;                       // 0
  // Host name or dotted IPv4 address, NUL-terminated; may be null.
  virtual const char* GetAddress() = 0;                       // 1
  virtual std::uint16_t GetPort() = 0;                        // 2
  virtual int ConnectionOperation03() = 0;                    // 3
  // 2 = MPEG-4, any other value = JPEG.
  virtual std::int32_t GetCodecSelection() = 0;               // 4
  virtual const char* GetUserName() = 0;                      // 5
  virtual const char* GetPassword() = 0;                      // 6
};

// The host's configuration of one device.
class IHostDeviceConfig {
 public:
  virtual ~IHostDeviceConfig() = default;                     // 0
  virtual IHostDeviceType* GetDeviceType() = 0;               // 1
  // Asked for again before each use.
  virtual IHostConnection* GetConnection() = 0;               // 2
};

// The host's driver-wide callback.
class IHostDriverCallback {
 public:
  virtual ~IHostDriverCallback() = default;                   // 0
  // One debug line; the record lives only during the call. Called from any thread that logs.
  virtual std::int32_t OnDebugInfo(CDebugInfoIf* info) = 0;   // 1
};

// ---- Host objects used by IIPVideoCapture ----

// A picture size.
class IHostResolution {
 public:
  virtual ~IHostResolution() = default;                       // 0
  virtual std::uint16_t GetWidth() = 0;                       // 1
  virtual std::uint16_t GetHeight() = 0;                      // 2
};

class IHostVideoFormat {
 public:
  virtual ~IHostVideoFormat() = default;                      // 0
  virtual int VideoFormatOperation01() = 0;                   // 1
  virtual int VideoFormatOperation02() = 0;                   // 2
  virtual IHostResolution* GetResolution() = 0;               // 3
};

class IHostVideoRate {
 public:
  virtual ~IHostVideoRate() = default;                        // 0
  // Milliseconds between frames.
  virtual std::uint16_t GetFrameInterval() = 0;               // 1
  virtual int VideoRateOperation02() = 0;                     // 2
  virtual std::uint16_t GetQuality() = 0;                     // 3
};

// What the host wants for one channel's stream.
class IHostStreamSettings {
 public:
  virtual ~IHostStreamSettings() = default;                   // 0
  virtual IHostVideoFormat* GetVideoFormat() = 0;             // 1
  virtual IHostVideoRate* GetVideoRate() = 0;                 // 2
};

// Receives one channel's frames and its lost-video notice. Called from library and driver
// threads; it must not wait for driver threads.
class IHostChannelCallback {
 public:
  virtual ~IHostChannelCallback() = default;                  // 0
  // One frame in a host-allocated message, valid only during the call; true = accepted.
  virtual bool OnVideoFrame(CVideoMessage* message) = 0;      // 1
  virtual int ChannelCallbackOperation02() = 0;               // 2
  // The channel's video ended after it had been flowing. The result goes back to the driver.
  virtual std::int32_t OnVideoLost() = 0;                     // 3
};

// ---- Driver side ----

// Per-device video control. Channels are 0 to 63.
class IIPVideoCapture {
 public:
  virtual ~IIPVideoCapture() = default;                                            // 0
  virtual std::int32_t GetCameraCount() = 0;                                       // 1
  // Registers callback for channel (replacing an earlier one) and starts the channel with
  // the settings' size, frame interval and quality. An unknown size starts at CIF.
  virtual bool StartVideo(std::uint32_t channel, IHostChannelCallback* callback,
                          IHostStreamSettings* settings) = 0;                      // 2
  virtual bool StopVideo(std::uint32_t channel) = 0;                               // 3
  // Restarts channel at another size with the quality of the last StartVideo; an unknown
  // size is refused and the channel left running.
  virtual bool ChangeResolution(std::uint32_t channel, IHostResolution* resolution,
                                std::int32_t frameIntervalMs) = 0;                 // 4
  virtual bool Reserved5() = 0;                                                    // 5: false
  // As CCaptureAPI::GetChannelStatus.
  virtual bool GetChannelStatus(std::uint32_t channel, int* state, int* event, char* text,
                                unsigned textSize) = 0;                            // 6
  // As CCaptureAPI::SetProperty / GetProperty.
  virtual bool SetProperty(const char* name, const void* value, int length) = 0;   // 7
  virtual bool GetProperty(const char* name, void* buffer, int size) = 0;          // 8
};

// The driver as the newer host sees it. Made by CreateIPCapture, destroyed by
// DeleteIPCapture (never by delete).
class IIPCaptureDriver {
 public:
  virtual ~IIPCaptureDriver() = default;                                           // 0
  // Reads the device type's capabilities, configures and opens the driver. callback and
  // allocator must outlive the driver's use of them (until Uninitialize).
  virtual bool Initialize(IHostDriverCallback* callback, CVideoAllocator* allocator,
                          IHostDeviceConfig* config) = 0;                          // 1
  // Closes the driver and deletes the video interface; safe to repeat.
  virtual void Uninitialize() = 0;                                                 // 2
  // The one video interface of this driver (a new one after Uninitialize); owned by the
  // driver.
  virtual IIPVideoCapture* GetVideoCapture() = 0;                                  // 3
  // The device's digital I/O, owned by the driver; null when the device has none or the
  // driver has not been opened. After Uninitialize it is the same object, disabled, until
  // the next Initialize replaces it.
  virtual corvane::ICaptureIOApi* GetIOApi() = 0;                                  // 4
};

}  // namespace corvane::ipcapture
