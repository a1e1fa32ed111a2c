#include "ipcapture/new_ip_video_capture.h"

#include <memory>

#include "driver/slot_barrier.h"
#include "driver/veltrane.h"
#include "foundation/abandoned.h"
#include "ipcapture/new_capture_api.h"
#include "ipcapture/old_capture_api_user.h"

namespace corvane {

namespace {

constexpr std::uint32_t kChannelLimit = 64;

// How long the bridge waits for a log line under way before it is left to the host.
constexpr int kLogLineWaitMs = 1000;

}  // namespace

CNewIPVideoCapture::CNewIPVideoCapture(CNewCaptureApi* owner)
    : owner_(owner), bridge_(new COldCaptureApiUser(owner->hostCallback())) {
  owner_->driver()->SetCaptureUser(bridge_);
}

CNewIPVideoCapture::~CNewIPVideoCapture() {
  CCaptureAPI* driver = owner_->driver();
  driver->SetCaptureUser(nullptr);
  // A log line may have fetched the bridge just before: wait for it to be handed over. A host
  // that does not return from it keeps the bridge. Frames and lost-video reports have ended
  // with Close, which comes first.
  auto* veltrane = dynamic_cast<CVeltrane*>(driver);
  if (veltrane && !veltrane->WaitForLogLines(kLogLineWaitMs)) {
    KeepForever(std::unique_ptr<COldCaptureApiUser>(bridge_));
    return;
  }
  delete bridge_;
}

std::int32_t CNewIPVideoCapture::GetCameraCount() { return owner_->capabilities().cameraCount; }

bool CNewIPVideoCapture::StartVideo(std::uint32_t channel,
                                    ipcapture::IHostChannelCallback* callback,
                                    ipcapture::IHostStreamSettings* settings) {
  if (channel >= kChannelLimit || !settings) return false;
  return SlotBarrier(false, [&] {
    ipcapture::IHostVideoRate* rate = settings->GetVideoRate();
    ipcapture::IHostVideoFormat* format = settings->GetVideoFormat();
    ipcapture::IHostResolution* resolution = format ? format->GetResolution() : nullptr;
    if (!rate || !resolution) return false;

    // Registered before the start, so the channel's first frame finds it.
    bridge_->SetChannelCallback(channel, callback);
    quality_ = rate->GetQuality();
    const std::uint16_t frameInterval = rate->GetFrameInterval();
    const std::uint16_t width = resolution->GetWidth();
    const std::uint16_t height = resolution->GetHeight();
    std::int32_t code = FindResolutionCode(owner_->capabilities(), width, height);
    if (code == 0) code = kResolutionCif;
    return owner_->driver()->StartChannel(static_cast<int>(channel), frameInterval, code,
                                          quality_) != 0;
  });
}

bool CNewIPVideoCapture::StopVideo(std::uint32_t channel) {
  if (channel >= kChannelLimit) return false;
  return SlotBarrier(false, [&] {
    return owner_->driver()->StopChannel(static_cast<int>(channel)) != 0;
  });
}

bool CNewIPVideoCapture::ChangeResolution(std::uint32_t channel,
                                          ipcapture::IHostResolution* resolution,
                                          std::int32_t frameIntervalMs) {
  if (channel >= kChannelLimit || !resolution) return false;
  return SlotBarrier(false, [&] {
    const std::uint16_t width = resolution->GetWidth();
    const std::uint16_t height = resolution->GetHeight();
    const std::int32_t code = FindResolutionCode(owner_->capabilities(), width, height);
    if (code == 0) return false;  // the channel keeps running as it is
    CCaptureAPI* driver = owner_->driver();
    if (driver->StopChannel(static_cast<int>(channel)) == 0) return false;
    return driver->StartChannel(static_cast<int>(channel), frameIntervalMs, code, quality_) != 0;
  });
}

bool CNewIPVideoCapture::GetChannelStatus(std::uint32_t channel, int* state, int* event,
                                          char* text, unsigned textSize) {
  return SlotBarrier(false, [&] {
    return owner_->driver()->GetChannelStatus(static_cast<int>(channel), state, event, text,
                                              textSize) != 0;
  });
}

bool CNewIPVideoCapture::SetProperty(const char* name, const void* value, int length) {
  return SlotBarrier(false, [&] {
    return owner_->driver()->SetProperty(name, value, length) != 0;
  });
}

bool CNewIPVideoCapture::GetProperty(const char* name, void* buffer, int size) {
  return SlotBarrier(false, [&] {
    return owner_->driver()->GetProperty(name, buffer, size) != 0;
  });
}

}  // namespace corvane
