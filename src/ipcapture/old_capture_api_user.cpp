#include "ipcapture/old_capture_api_user.h"

#include "driver/slot_barrier.h"

namespace corvane {

std::int32_t COldCaptureApiUser::OnVideoFrame(std::uint32_t channel, CVideoMessage* message,
                                              CVideoMessage* extendedMessage) {
  ipcapture::IHostChannelCallback* callback = ChannelCallback(channel);
  if (!callback) return 0;
  return SlotBarrier(0, [&] {
    return callback->OnVideoFrame(extendedMessage ? extendedMessage : message) ? 1 : 0;
  });
}

std::int32_t COldCaptureApiUser::OnChannelLost(std::int32_t channel) {
  if (channel < 0) return 0;
  ipcapture::IHostChannelCallback* callback = ChannelCallback(static_cast<std::uint32_t>(channel));
  if (!callback) return 0;
  return SlotBarrier(0, [&] { return callback->OnVideoLost(); });
}

std::int32_t COldCaptureApiUser::OnDebugInfo(CDebugInfoIf* info) {
  if (!hostCallback_) return 0;
  return SlotBarrier(0, [&] { return hostCallback_->OnDebugInfo(info); });
}

void COldCaptureApiUser::SetChannelCallback(std::uint32_t channel,
                                            ipcapture::IHostChannelCallback* callback) {
  if (channel < kChannelCount) channelCallbacks_[channel].store(callback);
}

ipcapture::IHostChannelCallback* COldCaptureApiUser::ChannelCallback(std::uint32_t channel) const {
  return channel < kChannelCount ? channelCallbacks_[channel].load() : nullptr;
}

}  // namespace corvane
