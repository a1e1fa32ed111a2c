// Per-device video control for a newer host, translated into the driver's channel calls.
// Owns the bridge that carries the driver's reports back to the host's callbacks.
#pragma once

#include <cstdint>

#include "veltrane/ipcapture.h"

namespace corvane {

class CNewCaptureApi;
class COldCaptureApiUser;

class CNewIPVideoCapture final : public ipcapture::IIPVideoCapture {
 public:
  // Quality that ChangeResolution uses before any StartVideo.
  static constexpr std::uint16_t kDefaultQuality = 50;

  // Registers a new bridge as the driver's capture user.
  explicit CNewIPVideoCapture(CNewCaptureApi* owner);
  // Detaches the bridge from the driver, waits out reports already on their way through
  // it, then deletes it.
  ~CNewIPVideoCapture() override;
  CNewIPVideoCapture(const CNewIPVideoCapture&) = delete;
  CNewIPVideoCapture& operator=(const CNewIPVideoCapture&) = delete;

  std::int32_t GetCameraCount() override;
  bool StartVideo(std::uint32_t channel, ipcapture::IHostChannelCallback* callback,
                  ipcapture::IHostStreamSettings* settings) override;
  bool StopVideo(std::uint32_t channel) override;
  bool ChangeResolution(std::uint32_t channel, ipcapture::IHostResolution* resolution,
                        std::int32_t frameIntervalMs) override;
  bool Reserved5() override { return false; }
  bool GetChannelStatus(std::uint32_t channel, int* state, int* event, char* text,
                        unsigned textSize) override;
  bool SetProperty(const char* name, const void* value, int length) override;
  bool GetProperty(const char* name, void* buffer, int size) override;

  COldCaptureApiUser* bridge() const { return bridge_; }
  std::uint16_t quality() const { return quality_; }

 private:
  CNewCaptureApi* const owner_;
  std::uint16_t quality_ = kDefaultQuality;
  COldCaptureApiUser* bridge_;
};

}  // namespace corvane
