// The capture user that the driver reports to on behalf of a newer host: frames and lost
// video go to the callback registered for the channel, debug lines to the host's driver
// callback.
#pragma once

#include <atomic>
#include <cstdint>

#include "veltrane/host.h"
#include "veltrane/ipcapture.h"

namespace corvane {

class COldCaptureApiUser final : public CCaptureAPIUser {
 public:
  static constexpr std::uint32_t kChannelCount = 64;

  explicit COldCaptureApiUser(ipcapture::IHostDriverCallback* hostCallback)
      : hostCallback_(hostCallback) {}

  // Driver threads call these; none lets an exception out.
  std::int32_t OnVideoFrame(std::uint32_t channel, CVideoMessage* message,
                            CVideoMessage* extendedMessage) override;
  std::int32_t OnChannelLost(std::int32_t channel) override;
  void UserOperation3(std::int32_t) override {}
  std::int32_t OnDebugInfo(CDebugInfoIf* info) override;

  // On the host's control thread; channel must be below 64.
  void SetChannelCallback(std::uint32_t channel, ipcapture::IHostChannelCallback* callback);
  ipcapture::IHostChannelCallback* ChannelCallback(std::uint32_t channel) const;

 private:
  // Written by the control thread, read by receive and worker threads without a lock.
  std::atomic<ipcapture::IHostChannelCallback*> channelCallbacks_[kChannelCount] = {};
  ipcapture::IHostDriverCallback* const hostCallback_;
};

}  // namespace corvane
