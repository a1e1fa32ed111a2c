// Throughput of a camera session's receive path (OnRtpPacket -> frame assembly ->
// DeliverFrame) on the simulator's 4CIF clip packetized at 1,400 bytes, beside a plain memcpy
// of the same H.263 bytes, and the same path fed from the media connection's interleaved byte
// stream (InterleavedDecoder, read by read, as from a socket). The host hands out one reusable
// message and only counts frames. Heap allocations are counted by replacing the global
// operator new.
//
// Targets: at least 12 M packets/s on one core with packets handed over warm; at least four
// times GStreamer's rtph263depay alone in the same run (bench/compare_gstreamer.sh); the
// path's two copies of every payload byte (assembly buffer and host message) at no less than
// half of memcpy's bandwidth; no heap allocation per packet in steady state.
//
//   video_reception_bench [benchmark flags]       the clip, in memory, by Google Benchmark
//   video_reception_bench --pcap FILE [--passes N] the RTP packets of a pcap file (UDP over
//                                                  IPv4 on ethernet), each pass timed alone
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "clip_rtp_packets.h"
#include "rcp_wire.h"
#include "platform/platform.h"
#include "session/bosch_ip_camera_info.h"
#include "support/camera_session_test_peer.h"
#include "support/fake_session_owner.h"

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

constexpr double kTargetPacketsPerSecond = 12e6;
// A typical figure for GStreamer's depayloader alone; compare_gstreamer.sh measures it.
constexpr double kGStreamerPacketsPerSecond = 1.4e6;
constexpr double kTargetGStreamerRatio = 4;
// Of half of memcpy's bandwidth, for the path's two copies of every payload byte.
constexpr double kTargetHalfMemcpyRatio = 1.0;
// What the media connection asks of the socket at a time.
constexpr std::size_t kSocketReadBytes = 64 * 1024;

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

using Peer = corvane::CBoschIPCameraInfoTestPeer;

// A session that only the benchmark drives: its worker thread is parked at once.
class BenchSession {
 public:
  BenchSession() : owner("127.0.0.1", 1, 1000), session(0, &owner) {
    if (!Peer::ParkWorker(session)) error = "worker thread did not stop";
    owner.SetHost(&host, &host);
    if (!Peer::ParseMpegHeader(session)) error = "picture-size parser not loaded";
  }
  void Receive(const unsigned char* data, std::size_t length) {
    Peer::RtpPacket(&session, data, static_cast<int>(length));
  }

  CountingHost host;
  fakes::FakeSessionOwner owner;
  corvane::CBoschIPCameraInfo session;
  const char* error = nullptr;
};

const bench::ClipPackets& Stream() {
  static const bench::ClipPackets stream = [] {
    bench::ClipPackets s;
    std::uint16_t sequence = 0;
    std::uint32_t timestamp = 0;
    std::string error;
    const std::string path = platform::ExecutableFolder() + "clips/4cif.263";
    if (!bench::PacketizeClipFile(path, 1400, s, sequence, timestamp, error)) {
      std::fprintf(stderr, "cannot load the 4CIF clip: %s\n", error.c_str());
      std::exit(1);
    }
    return s;
  }();
  return stream;
}

// The counters of a case that ran the clip's packets once per iteration.
void ReportPasses(benchmark::State& state, const bench::ClipPackets& stream,
                  std::uint64_t allocations, std::uint64_t frames) {
  const double packets = static_cast<double>(state.iterations()) * static_cast<double>(stream.packets.size());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(stream.payloadBytes));
  state.counters["packets_per_s"] = benchmark::Counter(packets, benchmark::Counter::kIsRate);
  state.counters["allocs_per_packet"] = static_cast<double>(allocations) / packets;
  state.counters["frames_per_pass"] =
      static_cast<double>(frames) / static_cast<double>(state.iterations());
}

void ReceivePath(benchmark::State& state) {
  const bench::ClipPackets& stream = Stream();
  BenchSession bench;
  if (bench.error) {
    state.SkipWithError(bench.error);
    return;
  }
  // One pass first: the frame buffer and the message reach their steady sizes.
  for (const auto& packet : stream.packets) bench.Receive(packet.data(), packet.size());
  const std::uint64_t framesBefore = bench.host.frames;
  const std::uint64_t allocationsBefore = heapAllocations.load();
  for (auto _ : state) {
    for (const auto& packet : stream.packets) bench.Receive(packet.data(), packet.size());
  }
  ReportPasses(state, stream, heapAllocations.load() - allocationsBefore,
               bench.host.frames - framesBefore);
}
BENCHMARK(ReceivePath)->Unit(benchmark::kMicrosecond)->Repetitions(5);

// The clip as a media connection receives it: interleaved framing, taken in socket-sized
// reads, split by the decoder and handed to the session packet by packet.
void InterleavedReceivePath(benchmark::State& state) {
  const bench::ClipPackets& stream = Stream();
  std::vector<std::uint8_t> wire;
  for (const auto& packet : stream.packets) rcpwire::EncodeInterleaved(packet, wire);
  BenchSession bench;
  if (bench.error) {
    state.SkipWithError(bench.error);
    return;
  }
  rcpwire::InterleavedDecoder decoder;
  decoder.Reserve(2 * (4 + 0xFFFF) + kSocketReadBytes);
  auto pass = [&] {
    for (std::size_t at = 0; at < wire.size(); at += kSocketReadBytes) {
      const std::size_t n = std::min(kSocketReadBytes, wire.size() - at);
      decoder.Feed(std::span<const std::uint8_t>(wire.data() + at, n));
      std::span<const std::uint8_t> packet;
      while (decoder.Next(packet) == rcpwire::InterleavedDecoder::Status::kPacket)
        bench.Receive(packet.data(), packet.size());
    }
  };
  pass();  // steady sizes first, as in ReceivePath
  const std::uint64_t framesBefore = bench.host.frames;
  const std::uint64_t allocationsBefore = heapAllocations.load();
  for (auto _ : state) pass();
  ReportPasses(state, stream, heapAllocations.load() - allocationsBefore,
               bench.host.frames - framesBefore);
}
BENCHMARK(InterleavedReceivePath)->Unit(benchmark::kMicrosecond)->Repetitions(5);

// The same H.263 bytes copied once into a frame-sized buffer, picture by picture.
void PlainMemcpy(benchmark::State& state) {
  const bench::ClipPackets& stream = Stream();
  std::vector<unsigned char> frame(stream.largestPicture * 2);
  for (auto _ : state) {
    std::size_t at = 0;
    for (std::size_t i = 0; i < stream.packets.size(); ++i) {
      const auto& packet = stream.packets[i];
      const std::size_t bytes = stream.dataBytes[i];
      const unsigned char* data = packet.data() + packet.size() - bytes;
      if (at + bytes > frame.size()) at = 0;
      std::memcpy(frame.data() + at, data, bytes);
      at += bytes;
      if (packet[1] & 0x80) at = 0;  // marker: next picture
    }
    benchmark::DoNotOptimize(frame.data());
    benchmark::ClobberMemory();
  }
  const double packets = static_cast<double>(state.iterations()) * static_cast<double>(stream.packets.size());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(stream.payloadBytes));
  state.counters["packets_per_s"] = benchmark::Counter(packets, benchmark::Counter::kIsRate);
}
BENCHMARK(PlainMemcpy)->Unit(benchmark::kMicrosecond)->Repetitions(5);

// Keeps the console table and remembers each benchmark's repetitions for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      const std::string name = run.run_name.function_name;
      auto rate = run.counters.find("packets_per_s");
      if (rate != run.counters.end()) packetRates[name].push_back(rate->second.value);
      auto allocs = run.counters.find("allocs_per_packet");
      if (allocs != run.counters.end())
        maxAllocsPerPacket = std::max(maxAllocsPerPacket, allocs->second.value);
    }
  }

  std::map<std::string, std::vector<double>> packetRates;
  double maxAllocsPerPacket = 0;
};

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void PrintSummary(const SummaryReporter& reporter) {
  auto path = reporter.packetRates.find("ReceivePath");
  auto copy = reporter.packetRates.find("PlainMemcpy");
  if (path == reporter.packetRates.end() || copy == reporter.packetRates.end()) {
    std::printf("summary: missing runs (was a filter given?)\n");
    return;
  }
  const double best = *std::max_element(path->second.begin(), path->second.end());
  const double median = Median(path->second);
  const double memcpyBest = *std::max_element(copy->second.begin(), copy->second.end());
  const double halfMemcpy = memcpyBest / 4;
  std::printf("\nreceive path, 4CIF clip at 1,400-byte payloads, one core (CPU time):\n");
  std::printf("  packets/s: median %.2f M, best %.2f M of %zu runs\n", median / 1e6, best / 1e6,
              path->second.size());
  std::printf("  target %.0f M packets/s: ratio %.2f (median), %.2f (best)\n",
              kTargetPacketsPerSecond / 1e6, median / kTargetPacketsPerSecond,
              best / kTargetPacketsPerSecond);
  std::printf("  against GStreamer rtph263depay at ~%.1f M packets/s: %.1fx (median; target %.0fx, "
              "ratio to target %.2f)\n",
              kGStreamerPacketsPerSecond / 1e6, median / kGStreamerPacketsPerSecond,
              kTargetGStreamerRatio, median / kGStreamerPacketsPerSecond / kTargetGStreamerRatio);
  // Two copies per byte on our path against one in memcpy's: at half of memcpy's bandwidth
  // the path manages a quarter of memcpy's packet rate.
  std::printf("  two copies at half of memcpy bandwidth = %.2f M packets/s: %.2f of it (median), "
              "%.2f (best); target %.1f, ratio to target %.2f (median)\n",
              halfMemcpy / 1e6, median / halfMemcpy, best / halfMemcpy, kTargetHalfMemcpyRatio,
              median / halfMemcpy / kTargetHalfMemcpyRatio);
  auto interleaved = reporter.packetRates.find("InterleavedReceivePath");
  if (interleaved != reporter.packetRates.end()) {
    const double rate = Median(interleaved->second);
    std::printf("  from the interleaved byte stream (decoder + session): median %.2f M packets/s; "
                "target %.0f M, ratio %.2f\n",
                rate / 1e6, kTargetPacketsPerSecond / 1e6, rate / kTargetPacketsPerSecond);
  }
  std::printf("  heap allocations per packet in steady state: %.6f (target 0)\n",
              reporter.maxAllocsPerPacket);
}

// ---- pcap input ----------------------------------------------------------------------------

// The RTP packets of UDP datagrams over IPv4 on ethernet, from a classic pcap file (either
// byte order, micro- or nanosecond stamps). Other records are skipped.
struct PcapPackets {
  std::vector<unsigned char> bytes;
  std::vector<std::pair<std::size_t, std::size_t>> packets;  // offset, length in bytes
  std::size_t skipped = 0;
};

bool ReadPcap(const char* path, PcapPackets& out, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = "cannot open the file";
    return false;
  }
  file.seekg(0, std::ios::end);
  const std::streamoff size = file.tellg();
  file.seekg(0, std::ios::beg);
  if (size < 0) {
    error = "cannot tell the file's size";
    return false;
  }
  out.bytes.resize(static_cast<std::size_t>(size));
  if (!file.read(reinterpret_cast<char*>(out.bytes.data()), size)) {
    error = "cannot read the file";
    return false;
  }
  const std::vector<unsigned char>& b = out.bytes;
  if (b.size() < 24) {
    error = "too short for a pcap header";
    return false;
  }
  std::uint32_t magic;
  std::memcpy(&magic, b.data(), 4);
  bool swap;
  if (magic == 0xA1B2C3D4 || magic == 0xA1B23C4D) {
    swap = false;
  } else if (magic == 0xD4C3B2A1 || magic == 0x4D3CB2A1) {
    swap = true;
  } else {
    error = "not a pcap file";
    return false;
  }
  auto u32 = [&](std::size_t at) {
    std::uint32_t v;
    std::memcpy(&v, b.data() + at, 4);
    return swap ? __builtin_bswap32(v) : v;
  };
  auto be16 = [&](std::size_t at) { return static_cast<std::size_t>(b[at] << 8 | b[at + 1]); };
  if (u32(20) != 1) {
    error = "link type is not ethernet";
    return false;
  }
  std::size_t at = 24;
  while (at + 16 <= b.size()) {
    const std::size_t captured = u32(at + 8);
    const std::size_t record = at + 16;
    if (captured > b.size() - record) break;  // cut short: ignore the rest
    at = record + captured;
    // ethernet (14) + IPv4 (IHL) + UDP (8), IPv4 protocol 17 only.
    if (captured < 14 + 20 + 8 || be16(record + 12) != 0x0800) {
      ++out.skipped;
      continue;
    }
    const std::size_t ip = record + 14;
    const std::size_t ihl = std::size_t{b[ip] & 0x0Fu} * 4;
    if ((b[ip] >> 4) != 4 || ihl < 20 || b[ip + 9] != 17 || 14 + ihl + 8 > captured) {
      ++out.skipped;
      continue;
    }
    const std::size_t udp = ip + ihl;
    const std::size_t udpLength = be16(udp + 4);
    if (udpLength < 8 || udpLength > captured - 14 - ihl) {
      ++out.skipped;
      continue;
    }
    out.packets.emplace_back(udp + 8, udpLength - 8);
  }
  return true;
}

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Packets are handed to the session in two ways: straight from the file-sized buffer, each
// one cold in memory; and as a socket would hand them over, a batch at a time copied into a
// small receive buffer first (that copy is the kernel's work and is not timed).
struct PcapRates {
  double cold = 0;
  double warm = 0;
};

constexpr std::size_t kBatchPackets = 64;

double ColdPass(BenchSession& bench, const PcapPackets& pcap) {
  const double start = ThreadCpuSeconds();
  for (const auto& [offset, length] : pcap.packets) bench.Receive(pcap.bytes.data() + offset, length);
  const double seconds = ThreadCpuSeconds() - start;
  return seconds > 0 ? static_cast<double>(pcap.packets.size()) / seconds : 0;
}

// staging and batch come reserved for kBatchPackets packets of UDP's largest size, so the
// bench's own bookkeeping does not show among the session's allocations.
double WarmPass(BenchSession& bench, const PcapPackets& pcap, std::vector<unsigned char>& staging,
                std::vector<std::pair<std::size_t, std::size_t>>& batch) {
  double seconds = 0;
  for (std::size_t first = 0; first < pcap.packets.size(); first += kBatchPackets) {
    const std::size_t last = std::min(first + kBatchPackets, pcap.packets.size());
    batch.clear();
    std::size_t at = 0;
    for (std::size_t i = first; i < last; ++i) {
      const auto& [offset, length] = pcap.packets[i];
      std::memcpy(staging.data() + at, pcap.bytes.data() + offset, length);
      batch.emplace_back(at, length);
      at += length;
    }
    const double start = ThreadCpuSeconds();
    for (const auto& [offset, length] : batch) bench.Receive(staging.data() + offset, length);
    seconds += ThreadCpuSeconds() - start;
  }
  return seconds > 0 ? static_cast<double>(pcap.packets.size()) / seconds : 0;
}

int RunPcap(const char* path, int passes) {
  PcapPackets pcap;
  std::string error;
  if (!ReadPcap(path, pcap, error)) {
    std::fprintf(stderr, "%s: %s\n", path, error.c_str());
    return 1;
  }
  if (pcap.packets.empty()) {
    std::fprintf(stderr, "%s: no UDP packets\n", path);
    return 1;
  }
  BenchSession bench;
  if (bench.error) {
    std::fprintf(stderr, "%s\n", bench.error);
    return 1;
  }
  std::vector<unsigned char> staging(kBatchPackets * 65536);
  std::vector<std::pair<std::size_t, std::size_t>> batch;
  batch.reserve(kBatchPackets);
  // The first pass grows the frame buffer and the message; later ones must not allocate.
  const std::uint64_t framesBefore = bench.host.frames;
  PcapRates best{ColdPass(bench, pcap), 0};
  const std::uint64_t framesPerPass = bench.host.frames - framesBefore;
  const std::uint64_t allocationsBefore = heapAllocations.load();
  for (int pass = 0; pass < passes; ++pass) {
    best.cold = std::max(best.cold, ColdPass(bench, pcap));
    best.warm = std::max(best.warm, WarmPass(bench, pcap, staging, batch));
  }
  const std::uint64_t allocations = heapAllocations.load() - allocationsBefore;
  const double count = static_cast<double>(pcap.packets.size());
  std::printf("our receive path on %s: %zu RTP packets (%zu other records), %llu frames per pass\n",
              path, pcap.packets.size(), pcap.skipped, static_cast<unsigned long long>(framesPerPass));
  std::printf("  packets/s (thread CPU time), best of %d passes:\n", passes);
  std::printf("    handed over warm, %zu at a time through a receive buffer: %.2f M\n", kBatchPackets,
              best.warm / 1e6);
  std::printf("    read cold from the file-sized buffer: %.2f M\n", best.cold / 1e6);
  std::printf("  target %.0f M packets/s (warm): ratio %.2f (warm), %.2f (cold)\n",
              kTargetPacketsPerSecond / 1e6, best.warm / kTargetPacketsPerSecond,
              best.cold / kTargetPacketsPerSecond);
  std::printf("  heap allocations per packet after the first pass: %.6f (target 0)\n",
              static_cast<double>(allocations) / (count * 2 * passes));
  // One machine-readable line for scripts.
  std::printf("RESULT packets=%zu frames=%llu warm_packets_per_s=%.0f cold_packets_per_s=%.0f\n",
              pcap.packets.size(), static_cast<unsigned long long>(framesPerPass), best.warm,
              best.cold);
  return framesPerPass > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--pcap") != 0) continue;
    if (i + 1 >= argc) {
      std::fprintf(stderr, "usage: %s --pcap FILE [--passes N]\n", argv[0]);
      return 2;
    }
    int passes = 3;
    if (i + 3 < argc && std::strcmp(argv[i + 2], "--passes") == 0) passes = std::max(1, std::atoi(argv[i + 3]));
    return RunPcap(argv[i + 1], passes);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  PrintSummary(reporter);
  return 0;
}
