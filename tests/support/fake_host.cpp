#include "support/fake_host.h"

#include <algorithm>
#include <chrono>

namespace fakes {

FakeVideoMessage::FakeVideoMessage(std::uint32_t fourcc, std::int32_t bufferSize)
    : buffer(static_cast<std::size_t>(std::max(bufferSize, 0))), allocFourCC(fourcc) {}

unsigned char* FakeVideoMessage::GetBuffer() {
  calls.push_back("GetBuffer");
  return buffer.data();
}

void FakeVideoMessage::SetDataLength(std::uint32_t bytes) {
  calls.push_back("SetDataLength(" + std::to_string(bytes) + ")");
  dataLength = bytes;
}

void FakeVideoMessage::Finish() {
  calls.push_back("Finish");
  finished = true;
}

void FakeVideoMessage::SetFourCC(std::uint32_t code) {
  calls.push_back("SetFourCC");
  fourcc = code;
}

void FakeVideoMessage::SetHeight(std::int32_t value) {
  calls.push_back("SetHeight(" + std::to_string(value) + ")");
  height = value;
}

void FakeVideoMessage::SetWidth(std::int32_t value) {
  calls.push_back("SetWidth(" + std::to_string(value) + ")");
  width = value;
}

void FakeVideoMessage::SetSizeClass(std::int32_t value) {
  calls.push_back("SetSizeClass(" + std::to_string(value) + ")");
  sizeClass = value;
}

FakeAllocator::~FakeAllocator() {
  for (FakeVideoMessage* message : live_) delete message;
}

CVideoMessage* FakeAllocator::AllocVideoMsg(std::uint32_t fourcc, std::int32_t bufferSize,
                                            const char* owner) {
  std::lock_guard lock(mutex_);
  requests_.push_back({fourcc, bufferSize, owner ? owner : ""});
  if (fail_) return nullptr;
  auto* message = new FakeVideoMessage(fourcc, bufferSize);
  live_.push_back(message);
  return message;
}

void FakeAllocator::ReleaseVideoMsg(CVideoMessage* message) {
  std::lock_guard lock(mutex_);
  auto it = std::find(live_.begin(), live_.end(), message);
  if (it == live_.end()) return;  // not ours, or released twice: counted as neither
  delete *it;
  live_.erase(it);
  ++released_;
}

std::vector<FakeAllocator::Request> FakeAllocator::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

int FakeAllocator::Outstanding() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(live_.size());
}

std::int32_t FakeCaptureUser::OnVideoFrame(std::uint32_t channel, CVideoMessage* message,
                                           CVideoMessage* extendedMessage) {
  Frame frame{channel, message == nullptr, {}, 0, 0, 0, 0, {}};
  if (auto* fake = dynamic_cast<FakeVideoMessage*>(extendedMessage)) {
    const std::size_t length = std::min<std::size_t>(fake->dataLength, fake->buffer.size());
    frame.data.assign(fake->buffer.begin(), fake->buffer.begin() + static_cast<long>(length));
    frame.fourcc = fake->fourcc;
    frame.width = fake->width;
    frame.height = fake->height;
    frame.sizeClass = fake->sizeClass;
    frame.callsBefore = fake->calls;
  }
  std::function<void()> hook;
  {
    std::lock_guard lock(mutex_);
    frames_.push_back(std::move(frame));
    hook = videoFrameHook_;
  }
  changed_.notify_all();
  if (hook) hook();
  return frameResult_;
}

std::int32_t FakeCaptureUser::OnChannelLost(std::int32_t channel) {
  {
    std::lock_guard lock(mutex_);
    lost_.push_back(channel);
  }
  changed_.notify_all();
  return 0;
}

std::int32_t FakeCaptureUser::OnDebugInfo(CDebugInfoIf* info) {
  std::function<void()> hook;
  {
    std::lock_guard lock(mutex_);
    lines_.push_back({info->GetLevel(), info->GetText()});
    hook = debugInfoHook_;
  }
  changed_.notify_all();
  if (hook) hook();
  return 0;
}

void FakeCaptureUser::SetDebugInfoHook(std::function<void()> hook) {
  std::lock_guard lock(mutex_);
  debugInfoHook_ = std::move(hook);
}

void FakeCaptureUser::SetVideoFrameHook(std::function<void()> hook) {
  std::lock_guard lock(mutex_);
  videoFrameHook_ = std::move(hook);
}

std::vector<FakeCaptureUser::Frame> FakeCaptureUser::Frames() const {
  std::lock_guard lock(mutex_);
  return frames_;
}

std::vector<FakeCaptureUser::Line> FakeCaptureUser::Lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::vector<std::int32_t> FakeCaptureUser::LostChannels() const {
  std::lock_guard lock(mutex_);
  return lost_;
}

bool FakeCaptureUser::HasLine(const std::string& text) const {
  std::lock_guard lock(mutex_);
  return std::any_of(lines_.begin(), lines_.end(), [&](const Line& l) { return l.text == text; });
}

template <typename Predicate>
bool FakeCaptureUser::WaitUntil(Predicate predicate, int timeoutMs) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), predicate);
}

bool FakeCaptureUser::WaitForFrames(std::size_t count, int timeoutMs) const {
  return WaitUntil([&] { return frames_.size() >= count; }, timeoutMs);
}

bool FakeCaptureUser::WaitForLost(std::size_t count, int timeoutMs) const {
  return WaitUntil([&] { return lost_.size() >= count; }, timeoutMs);
}

bool FakeCaptureUser::WaitForLine(const std::string& substring, int timeoutMs) const {
  return WaitUntil(
      [&] {
        return std::any_of(lines_.begin(), lines_.end(), [&](const Line& l) {
          return l.text.find(substring) != std::string::npos;
        });
      },
      timeoutMs);
}

}  // namespace fakes
