#include "driver/veltrane.h"

#include <cctype>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "driver/slot_barrier.h"
#include "platform/platform.h"

namespace corvane {

std::atomic<int> liveIPCaptureInstances{0};

namespace {

// Writes a 32-bit value into a host buffer that the caller has checked to hold 4 bytes.
void WriteInt32(void* buffer, std::int32_t value) { std::memcpy(buffer, &value, sizeof value); }

}  // namespace

CVeltrane::CVeltrane() {
  for (auto& state : channelStates_) state.store(ChannelStopped, std::memory_order_relaxed);
}

CVeltrane::~CVeltrane() {
  // A host that deletes an open driver would leave sessions running on a dead owner.
  if (opened_) Close();
  captureUser_.store(nullptr);
  RetireDigitalIO();
}

void CVeltrane::SetCaptureUser(CCaptureAPIUser* user) { captureUser_.store(user); }

void CVeltrane::SetVideoAllocator(CVideoAllocator* allocator) { videoAllocator_.store(allocator); }

CCaptureAPIUser* CVeltrane::GetCaptureUser() { return captureUser_.load(); }

CVideoAllocator* CVeltrane::GetVideoAllocator() { return videoAllocator_.load(); }

int CVeltrane::SetVideoMode(int mode) {
  videoMode_ = mode;
  frameIntervalCursor_ = -1;
  frameIntervals_.clear();
  return 1;
}

int CVeltrane::SetCompression(std::uint32_t fourcc) {
  return SlotBarrier(0, [&] {
    compression_ = 0;
    std::uint32_t candidate = 0;
    if (!GetFirstCompression(&candidate)) return 0;
    while (candidate != fourcc) {
      if (!GetNextCompression(&candidate)) return 0;
    }
    compression_ = fourcc;
    return 1;
  });
}

int CVeltrane::GetFirstCompression(std::uint32_t* fourcc) {
  if (!fourcc) return 0;
  *fourcc = kFourCCDivx;
  return 1;
}

int CVeltrane::GetResolutionSize(int code, int* width, int* height) {
  if (!width || !height) return 0;
  switch (code) {
    case kResolutionQcif:
      // Answered whether or not the device offers QCIF (0 x 0 when the file gives no size).
      *width = config_.qcifWidth;
      *height = config_.qcifHeight;
      return 1;
    case kResolutionCif:
      if (!config_.cifEnabled) return 0;
      *width = config_.cifWidth;
      *height = config_.cifHeight;
      return 1;
    case kResolution2Cif:
      if (!config_.cif2Enabled) return 0;
      *width = config_.cif2Width;
      *height = config_.cif2Height;
      return 1;
    case kResolution4Cif:
      if (!config_.cif4Enabled) return 0;
      *width = config_.cif4Width;
      *height = config_.cif4Height;
      return 1;
    default:
      return 0;
  }
}

int CVeltrane::GetMaxFrameRate(unsigned channel, int* rate) {
  // Channel numbers up to and including the camera count are accepted.
  if (channel > static_cast<unsigned>(config_.cameraCount) || !rate) return 0;
  *rate = config_.maxFrameRate;
  return 1;
}

int CVeltrane::EnumerationFirst(const std::vector<std::int32_t>& list, int& cursor, int* out) {
  if (!out) return 0;
  cursor = 0;
  if (list.empty()) return 0;
  *out = list[0];
  return 1;
}

int CVeltrane::EnumerationNext(const std::vector<std::int32_t>& list, int& cursor, int* out) {
  if (!out || cursor == -1) return 0;
  // The cursor keeps moving past the end, so every Next after the last element answers 0
  // until First starts over.
  ++cursor;
  if (static_cast<std::size_t>(cursor) < list.size()) {
    *out = list[cursor];
    return 1;
  }
  return 0;
}

int CVeltrane::GetFirstResolution(int* code) {
  return EnumerationFirst(resolutions_, resolutionCursor_, code);
}

int CVeltrane::GetNextResolution(int* code) {
  return EnumerationNext(resolutions_, resolutionCursor_, code);
}

int CVeltrane::GetFirstFrameInterval(int* milliseconds) {
  return EnumerationFirst(frameIntervals_, frameIntervalCursor_, milliseconds);
}

int CVeltrane::GetNextFrameInterval(int* milliseconds) {
  return EnumerationNext(frameIntervals_, frameIntervalCursor_, milliseconds);
}

int CVeltrane::GetChannelName(unsigned channel, char* buffer, unsigned size) {
  if (channel > static_cast<unsigned>(config_.cameraCount) || !buffer || size == 0) return 0;
  buffer[0] = '\0';
  return 1;
}

int CVeltrane::HostOperation32(int* first, int* second) {
  if (first) *first = 0;
  if (second) *second = 0;
  return 0;
}

// ---- Properties ------------------------------------------------------------------------

std::string CVeltrane::ConnectionValue(const std::string& value) const {
  std::lock_guard lock(connectionMutex_);
  return value;
}

std::string CVeltrane::GetServerAddress() {
  return SlotBarrier(std::string(), [&] { return ConnectionValue(serverAddress_); });
}

std::string CVeltrane::GetServerUserName() {
  return SlotBarrier(std::string(), [&] { return ConnectionValue(userName_); });
}

std::string CVeltrane::GetServerPassword() {
  return SlotBarrier(std::string(), [&] { return ConnectionValue(password_); });
}

std::string CVeltrane::serverType() const { return ConnectionValue(serverType_); }

void CVeltrane::SetServerAddress(const char* value) {
  // A name is replaced by the dotted form of its first IPv4 address; a dotted address, an
  // empty text or a name that does not resolve is kept as it is. The look-up may take long
  // and runs without the lock.
  std::string address;
  if (std::isalpha(static_cast<unsigned char>(value[0]))) address = platform::ResolveIPv4(value);
  if (address.empty()) address = value;
  std::lock_guard lock(connectionMutex_);
  serverAddress_.swap(address);
}

int CVeltrane::SetProperty(const char* name, const void* value, int /*length*/) {
  if (!name) return 1;
  return SlotBarrier(
      0,
      [&] {
        if (std::strcmp(name, "IPSERVERPORT") == 0) {
          // The port travels in the pointer-sized value itself.
          serverPort_ = static_cast<std::uint16_t>(reinterpret_cast<std::uintptr_t>(value));
          return 1;
        }
        const char* text = static_cast<const char*>(value);
        if (!text) return 1;
        if (std::strcmp(name, "IPSERVERADDRESS") == 0) {
          SetServerAddress(text);
          return 1;
        }
        std::string* field = nullptr;
        if (std::strcmp(name, "IPSERVERTYPE") == 0) {
          field = &serverType_;
        } else if (std::strcmp(name, "IPSERVERUSERNAME") == 0) {
          field = &userName_;
        } else if (std::strcmp(name, "IPSERVERPASSWORD") == 0) {
          field = &password_;
        }
        if (field) {
          std::string copy(text);  // allocates outside the lock
          std::lock_guard lock(connectionMutex_);
          field->swap(copy);
        }
        return 1;
      },
      [&](const char*) { Log(kLogError, "CVeltrane::SetProperty() -> cannot store %s", name); });
}

int CVeltrane::GetProperty(const char* name, void* buffer, int size) {
  return SlotBarrier(0, [&] { return QueryProperty(name, buffer, size); });
}

int CVeltrane::QueryProperty(const char* name, void* buffer, int size) {
  if (!name || !*name) return 0;
  const bool holdsInt32 = buffer && size == 4;

  if (std::strcmp(name, "ipAddress") == 0) {
    // Copied only when it fits with its NUL.
    if (!buffer || size <= 0) return 0;
    std::lock_guard lock(connectionMutex_);
    if (serverAddress_.empty() || serverAddress_.size() >= static_cast<std::size_t>(size)) return 0;
    std::memcpy(buffer, serverAddress_.c_str(), serverAddress_.size() + 1);
    return 1;
  }
  if (std::strcmp(name, "isIPCamera") == 0) {
    if (!buffer || size < 4) return 0;
    WriteInt32(buffer, 1);
    return 1;
  }
  if (std::strcmp(name, "CCaptureApiEx") == 0) {
    if (!holdsInt32) return 0;
    WriteInt32(buffer, 1);
    return 1;
  }
  if (std::strcmp(name, "ICaptureIOApi") == 0) {
    // Written as a pointer: the buffer must be exactly pointer-sized.
    if (!buffer || size != static_cast<int>(sizeof(void*)) || !digitalIO_) return 0;
    ICaptureIOApi* api = digitalIO_.get();
    std::memcpy(buffer, &api, sizeof api);
    return 1;
  }
  if (std::strncmp(name, "MAXFPS_RES", 10) == 0 && name[10] >= '0' && name[10] <= '3' &&
      name[11] == '\0') {
    const std::int8_t rate = maxFrameRates_[name[10] - '0'];
    if (rate <= 0 || !holdsInt32) return 0;
    WriteInt32(buffer, rate);
    return 1;
  }
  if (std::strcmp(name, "CanChangeFrInAlm") == 0) {
    if (!holdsInt32) return 0;
    WriteInt32(buffer, config_.frameRateChangeableInAlarm ? 1 : 0);
    return 1;
  }
  if (std::strcmp(name, "CanChangeResInAlm") == 0) {
    if (!holdsInt32) return 0;
    WriteInt32(buffer, config_.resolutionChangeableInAlarm ? 1 : 0);
    return 1;
  }
  return 0;
}

// ---- Diagnostics -----------------------------------------------------------------------

void CVeltrane::Log(int level, const char* format, ...) {
  char line[512];
  if (!format) format = "";
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  line[sizeof line - 1] = '\0';
  // The host's callback may throw; nothing of it reaches the thread that logs.
  SlotBarrier([&] { DeliverLine(level, line); });
}

void CVeltrane::DeliverLine(int level, const char* line) {
  // Never wait for the driver lock: Close holds it while it joins threads that log, and a
  // line that comes while Close runs on another thread is dropped.
  if (!driverLock_.TryLock()) return;
  const std::shared_ptr<HostCallCount> calls = hostLogCalls_;
  // Counted before the capture user is read: whoever replaces it and then waits for the
  // count knows that no call still uses the old one.
  calls->Begin();
  CCaptureAPIUser* const user = captureUser_.load();
  driverLock_.Unlock();
  struct End {
    HostCallCount& calls;
    ~End() { calls.End(); }
  } end{*calls};
  if (user) {
    CIPCaptureDebugInfo info(level, line);
    user->OnDebugInfo(&info);
  }
}

void CVeltrane::HostCallCount::Begin() {
  std::lock_guard lock(mutex_);
  ++running_;
}

void CVeltrane::HostCallCount::End() {
  {
    std::lock_guard lock(mutex_);
    --running_;
  }
  idle_.notify_all();
}

bool CVeltrane::WaitForLogLines(int timeoutMs) { return hostLogCalls_->WaitIdle(timeoutMs); }

bool CVeltrane::HostCallCount::WaitIdle(int timeoutMs) {
  std::unique_lock lock(mutex_);
  return idle_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return running_ == 0; });
}

}  // namespace corvane
