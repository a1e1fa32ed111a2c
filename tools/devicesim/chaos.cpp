#include "chaos.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <utility>

namespace devicesim {
namespace {

// Commands a connecting client sends; an error or a delay on one of them hits the connection
// set-up, which is what a client must survive.
constexpr std::uint32_t kFaultCommands[] = {
    0xFF000C31,  // registration
    0xFF110C30,  // coder list
    0xFF0C0C31,  // connect
    0xFF0E0C31,  // media open
    0x06060831, 0x06040831, 0x06080831, 0x060A0831, 0x060B0831, 0x06070831,  // stream settings
    0x01DB0830,  // input count
};
constexpr std::uint8_t kErrorCodes[] = {0x10, 0x20, 0x40, 0x80, 0xFF};
constexpr MalformedPacket kMalformedKinds[] = {
    MalformedPacket::kTruncatedRtpHeader, MalformedPacket::kWrongVersion,
    MalformedPacket::kBadPaddingCount,    MalformedPacket::kCsrcAndExtension,
    MalformedPacket::kPadding,            MalformedPacket::kOverlongCsrc,
    MalformedPacket::kOverlongExtension,  MalformedPacket::kShortPayloadHeader,
    MalformedPacket::kRandomBytes,
};

template <typename T, std::size_t N>
const T& Pick(std::mt19937& rng, const T (&items)[N]) {
  return items[std::uniform_int_distribution<std::size_t>(0, N - 1)(rng)];
}

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

std::string CameraText(int camera) {
  return camera == 0 ? "all cameras" : "camera " + std::to_string(camera);
}

}  // namespace

std::int64_t MonotonicMs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

const char* ChaosFaultName(ChaosFault kind) {
  switch (kind) {
    case ChaosFault::kDropConnections: return "drop-connections";
    case ChaosFault::kDropMedia: return "drop-media";
    case ChaosFault::kStallVideo: return "stall-video";
    case ChaosFault::kErrorReplies: return "error-replies";
    case ChaosFault::kMalformedPackets: return "malformed-packets";
    case ChaosFault::kSlowReplies: return "slow-replies";
    case ChaosFault::kCredentialReset: return "credential-reset";
  }
  return "?";
}

Chaos::Chaos(DeviceSim& device, ChaosOptions options)
    : device_(device), options_(std::move(options)) {}

Chaos::~Chaos() { Stop(); }

bool Chaos::Start() {
  if (running_.exchange(true)) return false;
  {
    std::lock_guard lock(mutex_);
    stop_ = false;
  }
  thread_ = std::thread([this] { Run(); });
  return true;
}

void Chaos::Stop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  running_ = false;
}

std::vector<ChaosEvent> Chaos::Events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

std::vector<int> Chaos::CountsByKind() const {
  std::vector<int> counts(kChaosFaultKinds, 0);
  std::lock_guard lock(mutex_);
  for (const auto& e : events_) {
    if (e.start) ++counts[static_cast<std::size_t>(e.kind)];
  }
  return counts;
}

bool Chaos::Sleep(std::int64_t ms) {
  std::unique_lock lock(mutex_);
  return !wake_.wait_for(lock, std::chrono::milliseconds(std::max<std::int64_t>(ms, 0)),
                         [this] { return stop_; });
}

void Chaos::Record(ChaosFault kind, bool start, const std::string& detail) {
  ChaosEvent event{kind, start, MonotonicMs(), detail};
  if (options_.log) {
    std::fprintf(options_.log, "chaos %lld %s %s%s%s\n", static_cast<long long>(event.monotonicMs),
                 start ? "start" : "end", ChaosFaultName(kind), detail.empty() ? "" : " ",
                 detail.c_str());
    std::fflush(options_.log);
  }
  std::lock_guard lock(mutex_);
  events_.push_back(std::move(event));
}

void Chaos::Run() {
  std::mt19937 rng(options_.seed);
  std::vector<ChaosFault> kinds = options_.kinds;
  if (kinds.empty()) {
    for (int k = 0; k < kChaosFaultKinds; ++k) kinds.push_back(static_cast<ChaosFault>(k));
  }
  const double mean = std::max(options_.meanIntervalMs, 1);
  std::exponential_distribution<double> gapDistribution(1.0 / mean);
  const int minHold = std::max(options_.minFaultMs, 0);
  const int maxHold = std::max(options_.maxFaultMs, minHold);
  std::uniform_int_distribution<int> holdDistribution(minHold, maxHold);
  const int cameras = std::max(device_.cameraCount(), 1);
  // One time in four a video fault hits every camera.
  auto pickCamera = [&] {
    if (std::uniform_int_distribution<int>(0, 3)(rng) == 0) return 0;
    return std::uniform_int_distribution<int>(1, cameras)(rng);
  };

  for (;;) {
    const auto gap = static_cast<std::int64_t>(std::min(gapDistribution(rng), 5 * mean));
    if (!Sleep(gap)) break;
    const ChaosFault kind =
        kinds[std::uniform_int_distribution<std::size_t>(0, kinds.size() - 1)(rng)];
    const int hold = holdDistribution(rng);
    const std::string forText = " for " + std::to_string(hold) + " ms";
    // Lasting faults are undone after their hold, also when Stop cuts the hold short.
    switch (kind) {
      case ChaosFault::kDropConnections:
        device_.DropAllConnections();
        Record(kind, true, "");
        Record(kind, false, "");
        break;
      case ChaosFault::kDropMedia: {
        const int camera = pickCamera();
        device_.CloseVideoConnections(camera);
        Record(kind, true, CameraText(camera));
        Record(kind, false, CameraText(camera));
        break;
      }
      case ChaosFault::kStallVideo: {
        const int camera = pickCamera();
        device_.StallVideo(camera, true);
        Record(kind, true, CameraText(camera) + forText);
        Sleep(hold);
        device_.StallVideo(camera, false);
        Record(kind, false, CameraText(camera));
        break;
      }
      case ChaosFault::kErrorReplies: {
        const std::uint32_t command = Pick(rng, kFaultCommands);
        const std::uint8_t code = Pick(rng, kErrorCodes);
        device_.AnswerWithError(command, code);
        Record(kind, true, Hex(command) + " code " + std::to_string(code) + forText);
        Sleep(hold);
        device_.AnswerWithError(command, 0);
        Record(kind, false, Hex(command));
        break;
      }
      case ChaosFault::kMalformedPackets: {
        const MalformedPacket packet = Pick(rng, kMalformedKinds);
        const int count = std::uniform_int_distribution<int>(1, 10)(rng);
        const int camera = pickCamera();
        device_.SendMalformedPackets(packet, count, camera);
        const std::string detail = "kind " + std::to_string(static_cast<int>(packet)) + " x" +
                                   std::to_string(count) + " " + CameraText(camera);
        Record(kind, true, detail);
        Record(kind, false, detail);
        break;
      }
      case ChaosFault::kSlowReplies: {
        const std::uint32_t command = Pick(rng, kFaultCommands);
        const int delay =
            std::uniform_int_distribution<int>(1, std::max(options_.maxReplyDelayMs, 1))(rng);
        device_.DelayReplies(command, delay);
        Record(kind, true, Hex(command) + " by " + std::to_string(delay) + " ms" + forText);
        Sleep(hold);
        device_.DelayReplies(command, 0);
        Record(kind, false, Hex(command));
        break;
      }
      case ChaosFault::kCredentialReset: {
        const bool reject = std::uniform_int_distribution<int>(0, 1)(rng) == 1;
        if (reject) device_.RejectCredentials(true);
        device_.DropAllConnections();
        Record(kind, true, reject ? "rejecting" + forText : "");
        if (reject) {
          Sleep(hold);
          device_.RejectCredentials(false);
        }
        Record(kind, false, "");
        break;
      }
    }
    std::lock_guard lock(mutex_);
    if (stop_) break;
  }
}

}  // namespace devicesim
