// Chaos mode: a thread that applies random faults to a running DeviceSim at random intervals,
// one at a time, each for a bounded time, so that a client is hit again and again but the
// device always becomes healthy again. The same seed gives the same faults in the same order.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device_sim.h"

namespace devicesim {

enum class ChaosFault {
  kDropConnections,   // every connection closed at once
  kDropMedia,         // the media connections of one camera or of all closed at once
  kStallVideo,        // no pictures from one camera or from all for a while
  kErrorReplies,      // one command answered with an error code for a while
  kMalformedPackets,  // broken RTP packets put before the next pictures
  kSlowReplies,       // answers to one command delayed for a while
  kCredentialReset,   // every connection dropped, registrations rejected for a while
};
constexpr int kChaosFaultKinds = 7;

// "drop-connections", "stall-video", ... as the log lines name them.
const char* ChaosFaultName(ChaosFault kind);

struct ChaosOptions {
  std::uint32_t seed = 1;
  // Mean time between the end of one fault and the start of the next (exponentially
  // distributed, cut at five times the mean).
  int meanIntervalMs = 30000;
  // Faults that last are held for a time drawn evenly from this range.
  int minFaultMs = 1000;
  int maxFaultMs = 10000;
  // Longest reply delay of a slow-replies fault.
  int maxReplyDelayMs = 3000;
  // Faults to choose from; empty = every kind.
  std::vector<ChaosFault> kinds;
  // Where each fault's start and end is printed, with a monotonic timestamp; null = nowhere.
  std::FILE* log = stderr;
};

struct ChaosEvent {
  ChaosFault kind;
  bool start = true;          // false: the fault ended
  std::int64_t monotonicMs = 0;  // CLOCK_MONOTONIC in ms, comparable across processes
  std::string detail;         // what exactly, e.g. "camera 3 for 2500 ms"
};

class Chaos {
 public:
  // The device must outlive the chaos object.
  Chaos(DeviceSim& device, ChaosOptions options);
  // Stops if still running.
  ~Chaos();
  Chaos(const Chaos&) = delete;
  Chaos& operator=(const Chaos&) = delete;

  // Starts the chaos thread; false when it already runs.
  bool Start();
  // Ends the fault in force (the device is healthy afterwards) and joins the thread.
  void Stop();
  bool running() const { return running_.load(); }

  // Every fault start and end so far, in order.
  std::vector<ChaosEvent> Events() const;
  // Faults started so far, by kind.
  std::vector<int> CountsByKind() const;

 private:
  void Run();
  // Waits up to ms; false when Stop cut the wait short.
  bool Sleep(std::int64_t ms);
  void Record(ChaosFault kind, bool start, const std::string& detail);

  DeviceSim& device_;
  const ChaosOptions options_;
  std::thread thread_;
  std::atomic<bool> running_{false};
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::vector<ChaosEvent> events_;
};

// CLOCK_MONOTONIC in milliseconds: the timestamp of the chaos log and the recorder's progress.
std::int64_t MonotonicMs();

}  // namespace devicesim
