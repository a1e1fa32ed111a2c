// The recorder's state for machines: Prometheus text exposition (format 0.0.4) served over
// HTTP on GET /metrics. The recording loop publishes a snapshot now and then; the server's
// own thread renders the latest one, so a scrape never calls into a driver.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "recording.h"

namespace httplib {
class Server;
}

namespace recorder {

struct ChannelSample {
  std::string device;
  int camera = 0;  // from 1
  std::uint64_t frames = 0;
  std::uint64_t keyFrames = 0;
  std::uint64_t bytes = 0;  // written
  int lostVideo = 0;
  // The driver's state code (0 video, 1 stopped, 3 starting, 4 no video), -1 no answer.
  int state = -1;
  // The last frame's arrival, or the channel's start while none has come.
  Clock::time_point lastFrame{};
};

struct DeviceSample {
  std::string name;
  bool up = false;
  // Inputs read so far, from 1: (input, active).
  std::vector<std::pair<int, bool>> inputs;
};

struct MetricsSnapshot {
  std::vector<ChannelSample> channels;
  std::vector<DeviceSample> devices;
};

struct ProcessSample {
  long openDescriptors = -1;  // -1: unknown
  long long residentBytes = -1;
};

// This process's descriptors (/proc/self/fd) and resident memory (/proc/self/statm).
ProcessSample ReadProcessSample();

// A label value with backslash, double quote and line feed escaped.
std::string EscapeLabel(std::string_view value);

// The exposition text of a snapshot, seconds since the last frame taken at now.
std::string RenderMetrics(const MetricsSnapshot& snapshot, const ProcessSample& process,
                          Clock::time_point now);

class MetricsServer {
 public:
  MetricsServer();
  // Stops the server if it still runs.
  ~MetricsServer();
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  // Listens on "HOST:PORT" ("[V6]:PORT" too); port 0 takes a free one. Returns once the
  // server takes requests; false with a reason in *error.
  bool Start(const std::string& address, std::string* error);
  // The host and port it listens on.
  const std::string& host() const { return host_; }
  int port() const { return port_; }
  void Publish(MetricsSnapshot snapshot);
  // Closes the listening socket and joins the server's threads; again is harmless.
  void Stop();

 private:
  std::string Body();

  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  std::string host_;
  int port_ = 0;
  std::mutex mutex_;
  MetricsSnapshot latest_;  // under mutex_
};

}  // namespace recorder
