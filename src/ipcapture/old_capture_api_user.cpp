#include "ipcapture/old_capture_api_user.h"

#include <cxxabi.h>

namespace corvane {

std::int32_t COldCaptureApiUser::OnVideoFrame(std::uint32_t channel, CVideoMessage* message,
                                              CVideoMessage* extendedMessage) {
  ipcapture::IHostChannelCallback* callback = ChannelCallback(channel);
  if (!callback) return 0;
  try {
    return callback->OnVideoFrame(extendedMessage ? extendedMessage : message) ? 1 : 0;
  } catch (abi::__forced_unwind&) {
    throw;  // a terminated driver thread must unwind
  } catch (...) {
    return 0;
  }
}

std::int32_t COldCaptureApiUser::OnChannelLost(std::int32_t channel) {
  if (channel < 0) return 0;
  ipcapture::IHostChannelCallback* callback = ChannelCallback(static_cast<std::uint32_t>(channel));
  if (!callback) return 0;
  try {
    return callback->OnVideoLost();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    return 0;
  }
}

std::int32_t COldCaptureApiUser::OnDebugInfo(CDebugInfoIf* info) {
  if (!hostCallback_) return 0;
  try {
    return hostCallback_->OnDebugInfo(info);
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    return 0;
  }
}

void COldCaptureApiUser::SetChannelCallback(std::uint32_t channel,
                                            ipcapture::IHostChannelCallback* callback) {
  if (channel < kChannelCount) channelCallbacks_[channel].store(callback);
}

ipcapture::IHostChannelCallback* COldCaptureApiUser::ChannelCallback(std::uint32_t channel) const {
  return channel < kChannelCount ? channelCallbacks_[channel].load() : nullptr;
}

}  // namespace corvane
