// Channel control: start, stop and status per channel, the channel events of the camera
// sessions, and Close.
#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "driver/slot_barrier.h"
#include "driver/veltrane.h"
#include "foundation/abandoned.h"
#include "platform/platform.h"
#include "rcpplus/rcpplus.h"
#include "session/bosch_ip_camera_info.h"

namespace corvane {

namespace {

constexpr int kCallbackThreadWaitMs = 15000;
constexpr int kHostLogDrainMs = 1000;

bool InTable(int channel) { return channel >= 0 && channel < kChannelCount; }

}  // namespace

bool CVeltrane::channelStarted(int channel) const {
  if (!InTable(channel)) return false;
  CAutoLock lock(const_cast<CRecursiveLock&>(channelLock_));
  return startedFlags_[channel] != 0;
}

CBoschIPCameraInfo* CVeltrane::cameraSession(int channel) const {
  return InTable(channel) ? sessions_[channel] : nullptr;
}

void CVeltrane::SetChannel(int channel, std::int32_t started, std::int32_t state) {
  CAutoLock lock(channelLock_);
  startedFlags_[channel] = started;
  channelStates_[channel] = state;
}

void CVeltrane::CreateCameraSessions() {
  const int count = config_.cameraCount < kChannelCount ? config_.cameraCount : kChannelCount;
  try {
    for (int i = 0; i < count; ++i) {
      DeleteCameraSession(sessions_[i]);
      sessions_[i] = nullptr;
      sessions_[i] = new CBoschIPCameraInfo(static_cast<std::uint8_t>(i), this);
    }
  } catch (...) {
    // A half-opened driver must not keep sessions (and their threads) behind.
    DeleteCameraSessions();
    throw;
  }
}

void CVeltrane::LogIncompleteSessions() {
  std::string channels;
  int incomplete = 0;
  int count = 0;
  for (int i = 0; i < kChannelCount; ++i) {
    if (sessions_[i] == nullptr) continue;
    ++count;
    if (sessions_[i]->Complete()) continue;
    ++incomplete;
    if (!channels.empty()) channels += ", ";
    channels += std::to_string(i);
  }
  if (incomplete == 0) return;
  Log(kLogError,
      "CVeltrane::Open() -> %d of %d camera sessions have no worker thread (channels %s); they "
      "cannot be started",
      incomplete, count, channels.c_str());
}

void CVeltrane::DeleteCameraSessions() {
  for (CBoschIPCameraInfo*& session : sessions_) {
    DeleteCameraSession(session);
    session = nullptr;
  }
}

void CVeltrane::DeleteCameraSession(CBoschIPCameraInfo* session) { delete session; }

int CVeltrane::StartChannel(int channel, int frameIntervalMs, int resolutionCode, int quality) {
  return SlotBarrier(
      0, [&] { return StartSession(channel, frameIntervalMs, resolutionCode, quality); });
}

int CVeltrane::StartSession(int channel, int frameIntervalMs, int resolutionCode, int quality) {
  if (!opened_ || !InTable(channel) || !sessions_[channel]) return 0;
  {
    std::lock_guard lock(connectionMutex_);
    if (serverAddress_.empty()) return 0;
  }
  if (!sessions_[channel]->Complete()) {
    // Open said so already; a start that nobody would serve is refused, not reported started.
    Log(kLogError, "Veltrane::StartChannel channel %d has no worker thread, channel not started.",
        channel);
    return 0;
  }
  std::int32_t width = 0;
  std::int32_t height = 0;
  switch (resolutionCode) {
    case kResolutionCif:
      if (!config_.cifEnabled) {
        Log(kLogError, "Veltrane::StartChannel CIF resolution not supported, channel not started.");
        return 0;
      }
      width = config_.cifWidth;
      height = config_.cifHeight;
      break;
    case kResolution2Cif:
      if (!config_.cif2Enabled) {
        Log(kLogError, "Veltrane::StartChannel 2CIF resolution not supported, channel not started.");
        return 0;
      }
      width = config_.cif2Width;
      height = config_.cif2Height;
      break;
    case kResolution4Cif:
      if (!config_.cif4Enabled) {
        Log(kLogError, "Veltrane::StartChannel 4CIF resolution not supported, channel not started.");
        return 0;
      }
      width = config_.cif4Width;
      height = config_.cif4Height;
      break;
    default:
      return 0;
  }

  // Set before the worker wakes, so that its video report cannot be overwritten by it.
  std::int32_t previousState = ChannelStopped;
  {
    CAutoLock lock(channelLock_);
    startedFlags_[channel] = 1;
    previousState = channelStates_[channel].exchange(ChannelStarted);
  }
  bool started = false;
  try {
    started = sessions_[channel]->StartStreaming(quality, resolutionCode,
                                                 static_cast<std::uint32_t>(frameIntervalMs),
                                                 static_cast<std::uint16_t>(width),
                                                 static_cast<std::uint16_t>(height));
  } catch (...) {
    SetChannel(channel, 0, previousState);
    throw;
  }
  if (started) return 1;
  SetChannel(channel, 0, previousState);
  return 0;
}

int CVeltrane::StopChannel(int channel) {
  return SlotBarrier(0, [&] {
    if (!InTable(channel)) return 0;
    if (!opened_ || !sessions_[channel]) {
      CAutoLock lock(channelLock_);
      startedFlags_[channel] = 0;
      return 0;
    }
    // Flag and state change together: a video event of the session either comes before
    // both or sees the channel stopped.
    SetChannel(channel, 0, ChannelStopped);
    sessions_[channel]->StopStreaming();
    return 1;
  });
}

int CVeltrane::GetChannelStatus(int channel, int* state, int* event, char* text,
                                unsigned textSize) {
  return SlotBarrier(0, [&] { return PollChannel(channel, state, event, text, textSize); });
}

int CVeltrane::PollChannel(int channel, int* state, int* event, char* text, unsigned textSize) {
  if (!InTable(channel) || !sessions_[channel]) return 0;
  if (text && textSize > 0) text[0] = '\0';
  const std::uint32_t frames = sessions_[channel]->framesDelivered.exchange(0);
  int reported = 0;
  // The poll rewrites the state; a video event must not fall between its read and write.
  CAutoLock lock(channelLock_);
  std::int32_t s = channelStates_[channel];
  switch (s) {
    case ChannelVideo:
    case ChannelNoVideo:
      if (frames == 0) {
        s = ChannelNoVideo;
        reported = 4;
      } else {
        s = ChannelVideo;
      }
      break;
    case ChannelStarted:
      if (frames == 0) {
        reported = 4;
      } else {
        s = ChannelVideo;
      }
      break;
    default:
      break;
  }
  channelStates_[channel] = s;
  if (event) *event = reported;
  if (state) *state = s;
  return 1;
}

void CVeltrane::OnChannelEvent(CBoschIPCameraInfo* session, int event) {
  if (!session) return;
  const int channel = session->channelIndex;
  if (!InTable(channel)) return;
  // The host's callback may throw; the session's thread must not see it.
  SlotBarrier([&] {
    switch (event) {
      case kChannelEventVideo: {
        // Checked and written under the channel lock, so that a StopChannel cannot fall in
        // between and be overwritten.
        CAutoLock lock(channelLock_);
        if (startedFlags_[channel] == 0) return;
        session->videoReported = true;
        channelStates_[channel] = ChannelVideo;
        break;
      }
      case kChannelEventLost:
      case kChannelEventLostToo:
        // Once per connection that had reported video. The host is called without the lock.
        if (!channelStarted(channel)) return;
        if (session->videoReported.exchange(false)) {
          if (CCaptureAPIUser* user = captureUser_.load()) user->OnChannelLost(channel);
        }
        break;
      default:
        break;
    }
  });
}

namespace {

// Drivers that are open in this process. The RCP+ library serves them all, so it is shut down
// only when the last one closes; the mutex keeps an Open from starting to use the library
// while it is being shut down.
std::mutex libraryUsersMutex;
int libraryUsers = 0;

}  // namespace

void CVeltrane::AcquireLibrary() {
  std::lock_guard lock(libraryUsersMutex);
  ++libraryUsers;
}

bool CVeltrane::ReleaseLibrary() {
  std::lock_guard lock(libraryUsersMutex);
  if (libraryUsers > 0) --libraryUsers;
  if (libraryUsers > 0) return false;
  rcpplus::System::terminate();
  return true;
}

void CVeltrane::RetireDigitalIO() {
  if (digitalIO_ && !digitalIO_->Retire()) KeepForever(std::move(digitalIO_));
  digitalIO_.reset();
}

int CVeltrane::Close() {
  return SlotBarrier(
      1,
      [&] {
        CloseDevice();
        return 1;
      },
      [&](const char* what) { Log(kLogError, "CVeltrane::Close() -> %s", what); });
}

void CVeltrane::CloseDevice() {
  CAutoLock lock(driverLock_);
  if (!opened_) return;
  // Everything of this driver hears of the stop before the first thread is joined, so the
  // disconnects overlap instead of queueing behind one another. The digital I/O object stays,
  // but offline: it must neither reconnect nor call a sink the host may destroy after Close.
  for (CBoschIPCameraInfo* session : sessions_) {
    if (session) session->RequestStop();
  }
  if (digitalIO_) digitalIO_->Disable();
  std::vector<platform::Handle> callbackThreads;
  for (CBoschIPCameraInfo*& session : sessions_) {
    if (!session) continue;
    session->callbackThreads.CollectHandles(callbackThreads);
    // A session whose thread is stuck in a host call stays alive for it, cut off from us.
    if (session->Retire()) {
      DeleteCameraSession(session);
    } else {
      KeepForever(std::unique_ptr<CBoschIPCameraInfo>(session));
    }
    session = nullptr;
  }
  if (digitalIO_) digitalIO_->WaitUntilIdle(2 * networkTimeout_);
  {
    // A later Open starts from stopped channels.
    CAutoLock channels(channelLock_);
    for (int channel = 0; channel < kChannelCount; ++channel) {
      startedFlags_[channel] = 0;
      channelStates_[channel] = ChannelStopped;
    }
  }
  opened_ = false;
  // Log lines from other threads are dropped from the start of Close on; one the host is
  // still busy with is given a moment to return.
  hostLogCalls_->WaitIdle(kHostLogDrainMs);
  // Other open drivers keep the library, and with it the threads that ran our callbacks; our
  // sessions no longer hear from them. Only a shut-down library leaves threads to wait for,
  // and one that a stalled host holds is given up on.
  if (!ReleaseLibrary()) return;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kCallbackThreadWaitMs);
  for (platform::Handle& handle : callbackThreads) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    platform::Wait(handle, std::max<int>(0, static_cast<int>(left.count())));
    handle.Close();
  }
}

}  // namespace corvane
