// Throughput of a camera session's receive path (OnRtpPacket -> frame assembly ->
// DeliverFrame) on the simulator's 4CIF clip packetized at 1,400 bytes, beside a plain memcpy
// of the same H.263 bytes. The host hands out one reusable message and only counts frames.
// Heap allocations are counted by replacing the global operator new.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "h263_clip.h"
#include "platform/platform.h"
#include "session/bosch_ip_camera_info.h"

namespace {
std::atomic<std::uint64_t> heapAllocations{0};

// Out of line, so that the compiler does not pair the replaced operator new with free.
__attribute__((noinline)) void Release(void* p) noexcept { std::free(p); }
}  // namespace

void* operator new(std::size_t size) {
  heapAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }

namespace {

class ReusableMessage final : public CVideoMessage {
 public:
  int MessageOperation01() override { return 0; }
  unsigned char* GetBuffer() override { return buffer.data(); }
  int MessageOperation03() override { return 0; }
  void SetDataLength(std::uint32_t bytes) override { length = bytes; }
  void Finish() override {}
  int MessageOperation06() override { return 0; }
  int MessageOperation07() override { return 0; }
  int MessageOperation08() override { return 0; }
  int MessageOperation09() override { return 0; }
  void SetFourCC(std::uint32_t) override {}
  int MessageOperation11() override { return 0; }
  void SetHeight(std::int32_t) override {}
  int MessageOperation13() override { return 0; }
  void SetWidth(std::int32_t) override {}
  int MessageOperation15() override { return 0; }
  void SetSizeClass(std::int32_t) override {}

  std::vector<unsigned char> buffer;
  std::uint32_t length = 0;
};

// One message, grown only when a larger one is asked for; frames are only counted.
class CountingHost final : public CCaptureAPIUser, public CVideoAllocator {
 public:
  std::int32_t OnVideoFrame(std::uint32_t, CVideoMessage*, CVideoMessage*) override {
    ++frames;
    bytes += message_.length;
    return 1;
  }
  std::int32_t OnChannelLost(std::int32_t) override { return 0; }
  void UserOperation3(std::int32_t) override {}
  std::int32_t OnDebugInfo(CDebugInfoIf*) override { return 0; }

  int AllocatorOperation01() override { return 0; }
  CVideoMessage* AllocVideoMsg(std::uint32_t, std::int32_t size, const char*) override {
    if (message_.buffer.size() < static_cast<std::size_t>(size))
      message_.buffer.resize(static_cast<std::size_t>(size));
    return &message_;
  }
  int AllocatorOperation03() override { return 0; }
  int AllocatorOperation04() override { return 0; }
  int AllocatorOperation05() override { return 0; }
  void ReleaseVideoMsg(CVideoMessage*) override {}

  std::uint64_t frames = 0;
  std::uint64_t bytes = 0;

 private:
  ReusableMessage message_;
};

class BenchOwner final : public corvane::ICameraSessionOwner,
                         public corvane::CIPCaptureIOBaseHandlerIf {
 public:
  const char* GetModuleName() override { return "Bench"; }
  std::uint16_t GetServerPort() override { return 1; }
  const std::string& GetServerAddress() override { return text_; }
  const std::string& GetServerUserName() override { return text_; }
  const std::string& GetServerPassword() override { return text_; }
  corvane::DeviceConfig* GetDeviceConfig() override { return &config_; }
  void Log(int, const char*, ...) override {}
  corvane::CIPCaptureIOBaseHandlerIf& SessionHandler() override { return *this; }
  int GetNetworkTimeout() override { return 1000; }
  void OnChannelEvent(corvane::CBoschIPCameraInfo*, int) override {}
  CCaptureAPIUser* GetCaptureUser() override { return &host; }
  CVideoAllocator* GetVideoAllocator() override { return &host; }

  CountingHost host;

 private:
  std::string text_ = "127.0.0.1";
  corvane::DeviceConfig config_{};
};

// The clip as RTP packets, and the H.263 bytes they carry.
struct PacketizedStream {
  std::vector<std::vector<unsigned char>> packets;
  std::vector<std::vector<unsigned char>> data;  // per packet, without any header
  std::size_t payloadBytes = 0;                  // RFC 2190 header + H.263, all packets
  std::size_t dataBytes = 0;
  std::size_t largestPicture = 0;
};

constexpr std::size_t kRtpHeader = 12;

const PacketizedStream& Stream() {
  static const PacketizedStream stream = [] {
    PacketizedStream s;
    devicesim::H263Clip clip;
    std::string error;
    if (!clip.Load(platform::ExecutableFolder() + "clips/4cif.263", error)) {
      std::fprintf(stderr, "cannot load the 4CIF clip: %s\n", error.c_str());
      std::exit(1);
    }
    devicesim::H263PacketizerOptions options;
    options.maxPayload = 1400;
    const devicesim::PacketizedClip packetized = devicesim::PacketizeClip(clip, options);
    std::uint16_t sequence = 0;
    for (std::size_t p = 0; p < packetized.pictureCount(); ++p) {
      s.largestPicture = std::max(s.largestPicture, clip.Picture(p).size());
      const auto& payloads = packetized.payloads[p];
      for (std::size_t i = 0; i < payloads.size(); ++i) {
        const bool marker = i + 1 == payloads.size();
        std::vector<unsigned char> packet = {0x80,
                                             static_cast<unsigned char>((marker ? 0x80 : 0) | 34),
                                             static_cast<unsigned char>(sequence >> 8),
                                             static_cast<unsigned char>(sequence & 0xFF),
                                             0, 0, 0, 0, 0x12, 0x34, 0x56, 0x78};
        ++sequence;
        packet.insert(packet.end(), payloads[i].begin(), payloads[i].end());
        s.payloadBytes += payloads[i].size();
        // Mode A/B headers only (no bit splits at 1,400 bytes without splitAtBits).
        const std::size_t header = (payloads[i][0] & 0x80) == 0 ? 4 : (payloads[i][0] & 0x40) ? 12 : 8;
        s.data.emplace_back(payloads[i].begin() + static_cast<long>(header), payloads[i].end());
        s.dataBytes += s.data.back().size();
        s.packets.push_back(std::move(packet));
      }
    }
    return s;
  }();
  return stream;
}

void ReceivePath(benchmark::State& state) {
  const PacketizedStream& stream = Stream();
  BenchOwner owner;
  corvane::CBoschIPCameraInfo session(0, &owner);
  // Only the benchmark drives the session: park its worker thread.
  session.stopping = true;
  session.frameEvent.Set();
  if (!session.thread.Join(5000)) {
    state.SkipWithError("worker thread did not stop");
    return;
  }
  if (!session.parseMpegHeader) {
    state.SkipWithError("picture-size parser not loaded");
    return;
  }
  session.active = true;
  session.frameStart = true;
  // One pass first: the frame buffer and the message reach their steady sizes.
  for (const auto& packet : stream.packets)
    corvane::CBoschIPCameraInfo::OnRtpPacket(&session, rcpplus::kRtpPayloadRawPacket,
                                             packet.data(), static_cast<int>(packet.size()));
  const std::uint64_t framesBefore = owner.host.frames;
  const std::uint64_t allocationsBefore = heapAllocations.load();
  for (auto _ : state) {
    for (const auto& packet : stream.packets)
      corvane::CBoschIPCameraInfo::OnRtpPacket(&session, rcpplus::kRtpPayloadRawPacket,
                                               packet.data(), static_cast<int>(packet.size()));
  }
  const std::uint64_t allocations = heapAllocations.load() - allocationsBefore;
  const double packets = static_cast<double>(state.iterations()) * static_cast<double>(stream.packets.size());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(stream.payloadBytes));
  state.counters["packets_per_s"] = benchmark::Counter(packets, benchmark::Counter::kIsRate);
  state.counters["allocs_per_packet"] = static_cast<double>(allocations) / packets;
  state.counters["frames_per_pass"] =
      static_cast<double>(owner.host.frames - framesBefore) / static_cast<double>(state.iterations());
}
BENCHMARK(ReceivePath)->Unit(benchmark::kMicrosecond);

// The same bytes copied once into a frame-sized buffer, picture by picture.
void PlainMemcpy(benchmark::State& state) {
  const PacketizedStream& stream = Stream();
  std::vector<unsigned char> frame(stream.largestPicture * 2);
  for (auto _ : state) {
    std::size_t at = 0;
    for (std::size_t i = 0; i < stream.packets.size(); ++i) {
      const auto& data = stream.data[i];
      if (at + data.size() > frame.size()) at = 0;
      std::memcpy(frame.data() + at, data.data(), data.size());
      at += data.size();
      if (stream.packets[i][1] & 0x80) at = 0;  // marker: next picture
    }
    benchmark::DoNotOptimize(frame.data());
    benchmark::ClobberMemory();
  }
  const double packets = static_cast<double>(state.iterations()) * static_cast<double>(stream.packets.size());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(stream.payloadBytes));
  state.counters["packets_per_s"] = benchmark::Counter(packets, benchmark::Counter::kIsRate);
}
BENCHMARK(PlainMemcpy)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
