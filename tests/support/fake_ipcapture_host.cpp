#include "support/fake_ipcapture_host.h"

#include <stdexcept>
#include <thread>

#include "support/fake_host.h"

namespace fakes {

const char* FakeDeviceType::GetDeviceType() {
  ++calls;
  return nullType ? nullptr : type.c_str();
}

corvane::ipcapture::IHostDeviceType* FakeDeviceConfig::GetDeviceType() {
  return nullDeviceType ? nullptr : &deviceType;
}

corvane::ipcapture::IHostConnection* FakeDeviceConfig::GetConnection() {
  ++connectionCalls;
  return nullConnection ? nullptr : &connection;
}

FakeStreamSettings::FakeStreamSettings(std::uint16_t width, std::uint16_t height,
                                       std::uint16_t frameInterval, std::uint16_t quality) {
  format.resolution = FakeResolution(width, height);
  rate.frameInterval = frameInterval;
  rate.quality = quality;
}

corvane::ipcapture::IHostVideoFormat* FakeStreamSettings::GetVideoFormat() {
  return nullFormat ? nullptr : &format;
}

corvane::ipcapture::IHostVideoRate* FakeStreamSettings::GetVideoRate() {
  return nullRate ? nullptr : &rate;
}

std::int32_t FakeDriverCallback::OnDebugInfo(CDebugInfoIf* info) {
  ++inFlight_;
  ++calls_;
  lastRecord_ = info;
  {
    std::lock_guard lock(mutex_);
    lines_.push_back(info && info->GetText() ? info->GetText() : "");
  }
  if (const int delay = delayMs_.load(); delay > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
  --inFlight_;
  return result_;
}

std::vector<std::string> FakeDriverCallback::Lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

bool FakeDriverCallback::HasLine(const std::string& substring) const {
  std::lock_guard lock(mutex_);
  for (const std::string& line : lines_)
    if (line.find(substring) != std::string::npos) return true;
  return false;
}

bool FakeChannelCallback::OnVideoFrame(CVideoMessage* message) {
  if (throw_) throw std::runtime_error("host failure");
  std::uint32_t length = 0;
  if (auto* fake = dynamic_cast<FakeVideoMessage*>(message)) length = fake->dataLength;
  {
    std::lock_guard lock(mutex_);
    frames_.push_back({message, length});
  }
  changed_.notify_all();
  return accept_;
}

std::int32_t FakeChannelCallback::OnVideoLost() {
  ++lost_;
  return lostResult_;
}

std::size_t FakeChannelCallback::FrameCount() const {
  std::lock_guard lock(mutex_);
  return frames_.size();
}

std::vector<FakeChannelCallback::Frame> FakeChannelCallback::Frames() const {
  std::lock_guard lock(mutex_);
  return frames_;
}

bool FakeChannelCallback::WaitForFrames(std::size_t count,
                                        std::chrono::milliseconds limit) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return frames_.size() >= count; });
}

}  // namespace fakes
