#include "metrics.h"

#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>

#include <httplib.h>

namespace recorder {

namespace {

// How long Start waits for the server's thread to take requests.
constexpr auto kStartLimit = std::chrono::seconds(5);

const char* const kStates[] = {"video", "stopped", "starting", "no_video", "unknown"};

const char* StateLabel(int state) {
  switch (state) {
    case 0: return "video";
    case 1: return "stopped";
    case 3: return "starting";
    case 4: return "no_video";
    default: return "unknown";
  }
}

class Writer {
 public:
  void Family(const char* name, const char* type, const char* help) {
    name_ = name;
    text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  }
  // labels: already rendered, e.g. device="a",channel="1"; empty for none.
  void Sample(const std::string& labels, const std::string& value) {
    text_ += name_;
    if (!labels.empty()) text_ += "{" + labels + "}";
    text_ += " " + value + "\n";
  }
  std::string Take() { return std::move(text_); }

 private:
  std::string name_;
  std::string text_;
};

std::string Label(const char* name, std::string_view value) {
  return std::string(name) + "=\"" + EscapeLabel(value) + "\"";
}

std::string ChannelLabels(const ChannelSample& c) {
  return Label("device", c.device) + "," + Label("channel", std::to_string(c.camera));
}

void ChannelFamilies(Writer& w, const std::vector<ChannelSample>& channels,
                     Clock::time_point now) {
  struct Counter {
    const char* name;
    const char* help;
    std::uint64_t (*value)(const ChannelSample&);
  };
  const Counter counters[] = {
      {"veltrane_rec_frames_total", "Frames written for the channel (counted, with --discard).",
       [](const ChannelSample& c) { return c.frames; }},
      {"veltrane_rec_key_frames_total", "Key frames written for the channel.",
       [](const ChannelSample& c) { return c.keyFrames; }},
      {"veltrane_rec_bytes_total", "Bytes of video written for the channel.",
       [](const ChannelSample& c) { return c.bytes; }},
      {"veltrane_rec_lost_video_total", "Times the channel's video was lost.",
       [](const ChannelSample& c) { return static_cast<std::uint64_t>(c.lostVideo); }},
  };
  for (const Counter& counter : counters) {
    w.Family(counter.name, "counter", counter.help);
    for (const ChannelSample& c : channels) {
      w.Sample(ChannelLabels(c), std::to_string(counter.value(c)));
    }
  }
  w.Family("veltrane_rec_seconds_since_last_frame", "gauge",
           "Seconds since the channel's last frame, or since its start before the first.");
  for (const ChannelSample& c : channels) {
    const double seconds = std::chrono::duration<double>(now - c.lastFrame).count();
    char value[32];
    std::snprintf(value, sizeof value, "%.3f", seconds > 0 ? seconds : 0.0);
    w.Sample(ChannelLabels(c), value);
  }
  w.Family("veltrane_rec_channel_state", "gauge",
           "1 for the state the driver reports for the channel, 0 for the others.");
  for (const ChannelSample& c : channels) {
    const std::string current = StateLabel(c.state);
    for (const char* state : kStates) {
      w.Sample(ChannelLabels(c) + "," + Label("state", state), current == state ? "1" : "0");
    }
  }
}

void DeviceFamilies(Writer& w, const std::vector<DeviceSample>& devices) {
  w.Family("veltrane_rec_device_up", "gauge",
           "1 while the device delivers video on at least one channel.");
  for (const DeviceSample& d : devices) w.Sample(Label("device", d.name), d.up ? "1" : "0");
  w.Family("veltrane_rec_alarm_input_active", "gauge",
           "1 while the alarm input is active; inputs appear once first read.");
  for (const DeviceSample& d : devices) {
    for (const auto& [input, active] : d.inputs) {
      w.Sample(Label("device", d.name) + "," + Label("input", std::to_string(input)),
               active ? "1" : "0");
    }
  }
}

// "HOST:PORT" or "[V6]:PORT", the port a number from 0 to 65535.
bool SplitAddress(const std::string& address, std::string* host, int* port) {
  const std::size_t colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  *host = address.substr(0, colon);
  if (host->size() > 2 && host->front() == '[' && host->back() == ']') {
    *host = host->substr(1, host->size() - 2);
  }
  const std::string digits = address.substr(colon + 1);
  char* end = nullptr;
  const long value = std::strtol(digits.c_str(), &end, 10);
  if (digits.empty() || *end != '\0' || value < 0 || value > 65535) return false;
  *port = static_cast<int>(value);
  return true;
}

}  // namespace

std::string EscapeLabel(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (const char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

ProcessSample ReadProcessSample() {
  ProcessSample sample;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    long count = 0;
    while (const dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.' ? 1 : 0;
    ::closedir(dir);
    sample.openDescriptors = count - 1;  // the listing's own descriptor
  }
  if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
    long long pages = 0;
    long long resident = 0;
    if (std::fscanf(statm, "%lld %lld", &pages, &resident) == 2) {
      sample.residentBytes = resident * ::sysconf(_SC_PAGESIZE);
    }
    std::fclose(statm);
  }
  return sample;
}

std::string RenderMetrics(const MetricsSnapshot& snapshot, const ProcessSample& process,
                          Clock::time_point now) {
  Writer w;
  ChannelFamilies(w, snapshot.channels, now);
  DeviceFamilies(w, snapshot.devices);
  if (process.openDescriptors >= 0) {
    w.Family("veltrane_rec_process_open_fds", "gauge", "Open file descriptors.");
    w.Sample("", std::to_string(process.openDescriptors));
  }
  if (process.residentBytes >= 0) {
    w.Family("veltrane_rec_process_resident_memory_bytes", "gauge", "Resident memory in bytes.");
    w.Sample("", std::to_string(process.residentBytes));
  }
  return w.Take();
}

MetricsServer::MetricsServer() = default;

MetricsServer::~MetricsServer() { Stop(); }

bool MetricsServer::Start(const std::string& address, std::string* error) {
  if (!SplitAddress(address, &host_, &port_)) {
    *error = "bad metrics address '" + address + "': give HOST:PORT";
    return false;
  }
  server_ = std::make_unique<httplib::Server>();
  // One scrape at a time is plenty, and a kept-alive connection must not hold Stop back long.
  server_->new_task_queue = [] { return new httplib::ThreadPool(1); };
  server_->set_keep_alive_timeout(1);
  // The library's default adds SO_REUSEPORT, which would let a second recorder share the
  // port and take half the scrapes; address reuse alone lets a restart bind at once.
  server_->set_socket_options([](int sock) {
    const int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  server_->Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
    response.set_content(Body(), "text/plain; version=0.0.4; charset=utf-8");
  });
  if (port_ == 0) {
    port_ = server_->bind_to_any_port(host_);
  } else if (!server_->bind_to_port(host_, port_)) {
    port_ = -1;
  }
  if (port_ < 0) {
    *error = "cannot listen on " + address + " for metrics";
    server_.reset();
    return false;
  }
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // Stop before the loop runs would not reach it.
  const auto deadline = Clock::now() + kStartLimit;
  while (!server_->is_running() && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!server_->is_running()) {
    *error = "the metrics server on " + address + " did not start";
    Stop();
    return false;
  }
  return true;
}

void MetricsServer::Publish(MetricsSnapshot snapshot) {
  std::lock_guard<std::mutex> lock(mutex_);
  latest_ = std::move(snapshot);
}

std::string MetricsServer::Body() {
  MetricsSnapshot snapshot;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    snapshot = latest_;
  }
  return RenderMetrics(snapshot, ReadProcessSample(), Clock::now());
}

void MetricsServer::Stop() {
  if (!server_) return;
  server_->stop();
  if (thread_.joinable()) thread_.join();
  server_.reset();
}

}  // namespace recorder
