// veltrane-rec: a recorder host for libveltrane.so. It loads the driver, records the chosen
// channels of one device to H.263 files, shows live status and alarm inputs, and writes a
// summary. Without a device address it records from the simulator, started in-process.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <pugixml.hpp>

#include "backend.h"
#include "chaos.h"
#include "device_sim.h"
#include "options.h"
#include "recording.h"
#include "summary.h"

namespace recorder {
namespace {

enum ExitCode { kSuccess = 0, kNoFrame = 1, kUsage = 2, kNotOpened = 3 };

// The driver's own default when the device type gives no "networktimeout".
constexpr int kDefaultNetworkTimeoutMs = 20000;
// The driver's watchdog adds this to the network time-out before it gives up a connection.
constexpr int kWatchdogExtraMs = 3000;

std::string ExecutableFolder() {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "./";
  path[n] = '\0';
  std::string text(path);
  return text.substr(0, text.rfind('/') + 1);
}

// What the recorder itself reads from the device-type file beside it.
struct DeviceTypeInfo {
  bool found = false;
  int networkTimeoutMs = 0;  // 0 = not given
  bool enabled[5] = {};      // by resolution code
  int width[5] = {};
  int height[5] = {};
};

DeviceTypeInfo ReadDeviceType(const std::string& folder, const std::string& type) {
  DeviceTypeInfo info;
  pugi::xml_document doc;
  if (!doc.load_file((folder + type + ".xml").c_str())) return info;
  const pugi::xml_node root = doc.document_element();
  info.found = true;
  auto value = [&](const char* path) -> std::string {
    const pugi::xml_node node = root.first_element_by_path(path);
    return node ? node.attribute("value").as_string() : "";
  };
  info.networkTimeoutMs = std::atoi(value("networktimeout").c_str());
  const char* keys[5] = {nullptr, "qcif", "cif", "cif2", "cif4"};
  for (int code = 2; code <= 4; ++code) {
    const std::string base = std::string("resolutions/") + keys[code];
    std::string flag = value(base.c_str());
    for (char& ch : flag) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    info.enabled[code] = flag == "true";
    info.width[code] = std::atoi(value((base + "x").c_str()).c_str());
    info.height[code] = std::atoi(value((base + "y").c_str()).c_str());
  }
  return info;
}

// The first line of a file, without its line end.
std::optional<std::string> ReadPasswordFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::string line;
  std::getline(in, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

bool MakeFolder(const std::string& path) {
  std::string partial;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t slash = path.find('/', start);
    partial = path.substr(0, slash);
    if (!partial.empty() && ::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

const char* StateName(int state) {
  switch (state) {
    case 0: return "video";
    case 1: return "stopped";
    case 3: return "starting";
    case 4: return "no video";
    default: return "?";
  }
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "veltrane-rec: %s\n%s\n", message.c_str(), kUsageLine);
  return kUsage;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Switches the requested relays once the device's I/O connection answers.
class OutputSwitcher {
 public:
  OutputSwitcher(corvane::ICaptureIOApi* io, std::vector<std::pair<int, bool>> outputs,
                 Console& console, int giveUpMs)
      : io_(io), outputs_(std::move(outputs)), console_(console), giveUpMs_(giveUpMs) {}
  ~OutputSwitcher() { Join(); }
  void Start() {
    if (io_ && !outputs_.empty()) thread_ = std::thread([this] { Run(); });
  }
  void Stop() { stop_ = true; }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Run() {
    const auto deadline = Clock::now() + std::chrono::milliseconds(giveUpMs_);
    for (const auto& [output, on] : outputs_) {
      bool done = false;
      while (!stop_ && !done && Clock::now() < deadline) {
        // Refused at once while the I/O connection is not up yet.
        done = io_->SetOutput(output - 1, on ? 2 : 1);
        if (!done) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      char line[96];
      std::snprintf(line, sizeof line, "relay output %d %s", output,
                    done ? (on ? "switched on" : "switched off") : "could not be switched");
      console_.Print(stdout, line);
    }
  }

  corvane::ICaptureIOApi* io_;
  std::vector<std::pair<int, bool>> outputs_;
  Console& console_;
  const int giveUpMs_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

int Run(const Options& options) {
  const std::string folder = ExecutableFolder();

  // Signals are taken by the main loop only; every thread started from here on, the
  // driver's included, inherits the blocked mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  std::string password;
  if (!options.passwordFile.empty()) {
    auto text = ReadPasswordFile(options.passwordFile);
    if (!text) return UsageError("cannot read the password file " + options.passwordFile);
    password = *text;
  } else if (const char* env = std::getenv("VELTRANE_PASSWORD")) {
    password = env;
  }

  if (!MakeFolder(options.outputFolder)) {
    return UsageError("cannot create the output folder " + options.outputFolder);
  }

  const DeviceTypeInfo deviceType = ReadDeviceType(folder, options.deviceType);
  Console console(::isatty(STDOUT_FILENO) == 1);
  DebugLines debug(console, options.logLevel, password);

  // Without an address the device is the simulator, with the same credentials.
  std::unique_ptr<devicesim::DeviceSim> sim;
  Connection connection;
  connection.deviceType = options.deviceType;
  connection.user = options.user;
  connection.password = password;
  if (options.address.empty()) {
    devicesim::DeviceSimOptions simOptions;
    simOptions.deviceType = options.deviceType;
    simOptions.deviceTypeFolder = folder;
    simOptions.user = options.user;
    simOptions.password = password;
    sim = std::make_unique<devicesim::DeviceSim>(simOptions);
    if (!sim->Start()) {
      std::fprintf(stderr, "veltrane-rec: cannot start the simulated %s: %s\n",
                   options.deviceType.c_str(), debug.Mask(sim->LastError()).c_str());
      return kNotOpened;
    }
    connection.address = "127.0.0.1";
    connection.port = sim->port();
    std::printf("Simulated device %s on 127.0.0.1:%u\n", options.deviceType.c_str(),
                static_cast<unsigned>(sim->port()));
  } else {
    connection.address = options.address;
    connection.port = static_cast<std::uint16_t>(options.port);
  }

  DriverModule module;
  std::string error;
  if (!module.Load(folder, &error)) {
    std::fprintf(stderr, "veltrane-rec: %s\n", error.c_str());
    return kNotOpened;
  }

  Recording recording;
  RecorderAllocator allocator;
  HostObjects host{&recording, &allocator, &debug};
  std::unique_ptr<CaptureBackend> backend = options.api == Api::kOld
                                                ? MakeOldApiBackend(module, host)
                                                : MakeNewApiBackend(module, host);
  const char* apiName = options.api == Api::kOld ? "old" : "new";
  if (!backend->Open(connection, &error)) {
    backend->Close();
    std::fprintf(stderr, "veltrane-rec: device could not be opened: %s\n", error.c_str());
    return kNotOpened;
  }

  // Channels and resolution, checked against what the driver says of the device.
  const int cameras = backend->CameraCount();
  std::vector<int> channels = options.channels;
  if (channels.empty()) {
    for (int c = 1; c <= cameras && c <= 64; ++c) channels.push_back(c);
  }
  int width = 0;
  int height = 0;
  const int code = options.resolution.code;
  std::string usageProblem;
  for (int c : channels) {
    if (c > cameras) usageProblem = "channel " + std::to_string(c) + " does not exist; the device has " + std::to_string(cameras);
  }
  if (channels.empty()) usageProblem = "the device has no cameras";
  if (deviceType.found && deviceType.enabled[code] && deviceType.width[code] > 0 &&
      deviceType.height[code] > 0) {
    width = deviceType.width[code];
    height = deviceType.height[code];
  } else if (!backend->ResolutionSize(code, &width, &height) ||
             (deviceType.found && !deviceType.enabled[code])) {
    usageProblem = std::string("resolution ") + options.resolution.name +
                   " is not offered by device type " + options.deviceType;
  }
  if (!usageProblem.empty()) {
    backend->Close();
    return UsageError(usageProblem);
  }

  for (int c : channels) {
    char name[16];
    std::snprintf(name, sizeof name, "ch%02d.263", c);
    auto record = std::make_unique<ChannelRecord>(c - 1, options.outputFolder + "/" + name);
    if (options.discard) {
      record->CountOnly();
    } else if (!record->OpenFile()) {
      backend->Close();
      return UsageError("cannot write " + record->path());
    }
    recording.Add(std::move(record));
  }

  // Progress lines for scripts, stamped on the monotonic clock that the simulator's fault log
  // uses too, so the two can be lined up.
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> progress(nullptr, &std::fclose);
  if (!options.progressFile.empty()) {
    progress.reset(std::fopen(options.progressFile.c_str(), "w"));
    if (!progress) {
      backend->Close();
      return UsageError("cannot write " + options.progressFile);
    }
    std::fprintf(progress.get(), "# t_ms channel frames state\n");
  }
  auto writeProgress = [&] {
    if (!progress) return;
    const long long now = static_cast<long long>(devicesim::MonotonicMs());
    for (ChannelRecord* record : recording.All()) {
      int state = -1;
      int event = 0;
      if (!backend->Poll(record->channel(), &state, &event)) state = -1;
      std::string name = StateName(state);
      for (char& ch : name) ch = ch == ' ' ? '-' : ch;
      std::fprintf(progress.get(), "%lld %d %llu %s\n", now, record->channel() + 1,
                   static_cast<unsigned long long>(record->stats().frames), name.c_str());
    }
    std::fflush(progress.get());
  };

  const auto started = Clock::now();
  AlarmLog alarms(console, started);
  corvane::ICaptureIOApi* io = backend->IOApi();
  if (io) {
    io->SetEventSink(&alarms);
    io->Enable();
  }
  const int networkTimeoutMs =
      deviceType.networkTimeoutMs > 0 ? deviceType.networkTimeoutMs : kDefaultNetworkTimeoutMs;
  OutputSwitcher switcher(io, options.outputs, console, 2 * networkTimeoutMs + 1000);
  if (!options.outputs.empty() && !io) {
    console.Print(stderr, "veltrane-rec: the device has no relay outputs to switch");
  }
  switcher.Start();

  std::printf("Recording %zu channel(s) at %s, %d ms, quality %d, %s interface, into %s\n",
              channels.size(), options.resolution.name, options.frameIntervalMs,
              options.quality, apiName, options.outputFolder.c_str());
  std::fflush(stdout);
  for (ChannelRecord* record : recording.All()) {
    record->MarkStarted(backend->StartChannel(record->channel(), options.frameIntervalMs, code,
                                              width, height, options.quality));
    if (!record->started()) {
      console.Print(stderr, "veltrane-rec: the driver refused to start channel " +
                                std::to_string(record->channel() + 1));
    }
  }

  // A device that gives no frame on any channel within the time the driver needs to give
  // up a connection could not be opened.
  const auto connectDeadline =
      started + std::chrono::milliseconds(networkTimeoutMs + kWatchdogExtraMs + 1000);
  const auto end = started + std::chrono::seconds(options.durationSeconds);
  const auto statusPeriod = std::chrono::milliseconds(console.terminal() ? 1000 : 2000);
  auto nextStatus = started + statusPeriod;
  auto nextProgress = started;
  struct Previous {
    std::uint64_t frames = 0;
    std::uint64_t bytes = 0;
  };
  std::vector<Previous> previous(64);
  auto previousTime = started;
  bool interrupted = false;
  bool unreachable = false;
  for (;;) {
    const struct timespec tick = {0, 100 * 1000 * 1000};
    const int signal = ::sigtimedwait(&stopSignals, nullptr, &tick);
    if (signal == SIGINT || signal == SIGTERM) {
      interrupted = true;
      console.Print(stdout, signal == SIGINT ? "Interrupted, stopping" : "Terminated, stopping");
      break;
    }
    const auto now = Clock::now();
    if (options.durationSeconds > 0 && now >= end) break;
    bool anyFrame = false;
    for (ChannelRecord* record : recording.All()) anyFrame |= record->stats().frames > 0;
    if (!anyFrame && now >= connectDeadline) {
      unreachable = true;
      break;
    }
    if (progress && now >= nextProgress) {
      writeProgress();
      nextProgress += std::chrono::seconds(1);
    }
    if (now < nextStatus) continue;
    nextStatus += statusPeriod;
    const double interval = Seconds(now - previousTime);
    previousTime = now;
    std::vector<std::string> lines;
    for (ChannelRecord* record : recording.All()) {
      int state = -1;
      int event = 0;
      if (!backend->Poll(record->channel(), &state, &event)) state = -1;
      const ChannelRecord::Stats s = record->stats();
      Previous& p = previous[static_cast<std::size_t>(record->channel())];
      const double fps = interval > 0 ? static_cast<double>(s.frames - p.frames) / interval : 0;
      const double kbps =
          interval > 0 ? static_cast<double>(s.bytes - p.bytes) * 8 / 1000 / interval : 0;
      p = {s.frames, s.bytes};
      char line[160];
      std::snprintf(line, sizeof line,
                    "ch%02d  %-8s  frames %6llu  %5.1f fps  %7.1f kbit/s  lost %d",
                    record->channel() + 1, StateName(state),
                    static_cast<unsigned long long>(s.frames), fps, kbps, s.lostVideo);
      lines.emplace_back(line);
    }
    console.Status(lines);
  }
  console.EndStatus();
  writeProgress();
  const auto stopped = Clock::now();

  // Stop in the host's order: channels, I/O, then close and delete the driver; the files
  // are complete once no callback can arrive any more.
  switcher.Stop();
  for (ChannelRecord* record : recording.All()) {
    if (record->started()) backend->StopChannel(record->channel());
  }
  alarms.Closing();
  if (io) io->Disable();
  switcher.Join();
  backend->Close();
  const auto closed = Clock::now();
  for (ChannelRecord* record : recording.All()) record->CloseFile();
  if (sim) sim->Stop();

  SummaryInput summary;
  summary.api = apiName;
  summary.deviceType = options.deviceType;
  summary.simulated = options.address.empty();
  summary.resolution = options.resolution.name;
  summary.frameIntervalMs = options.frameIntervalMs;
  summary.quality = options.quality;
  summary.seconds = Seconds(stopped - started);
  summary.interrupted = interrupted;
  summary.stopped = stopped;
  summary.stopSeconds = Seconds(closed - stopped);
  summary.discarded = options.discard;
  summary.records = recording.All();
  summary.alarms = alarms.Events();
  const std::string summaryPath = options.outputFolder + "/summary.json";
  PrintSummary(stdout, summary);
  if (!WriteSummaryJson(summaryPath, summary)) {
    std::fprintf(stderr, "veltrane-rec: cannot write %s\n", summaryPath.c_str());
  } else {
    std::printf("Summary written to %s\n", summaryPath.c_str());
  }

  if (unreachable) {
    std::fprintf(stderr,
                 "veltrane-rec: device could not be opened: no video from %s:%u within %d ms\n",
                 connection.address.c_str(), static_cast<unsigned>(connection.port),
                 networkTimeoutMs + kWatchdogExtraMs + 1000);
    return kNotOpened;
  }
  int result = kSuccess;
  for (ChannelRecord* record : recording.All()) {
    const ChannelRecord::Stats s = record->stats();
    if (s.writeFailed) {
      std::fprintf(stderr, "veltrane-rec: writing %s failed\n", record->path().c_str());
      result = kNoFrame;
    }
    if (s.frames == 0) {
      std::fprintf(stderr, "veltrane-rec: channel %d delivered no frame\n",
                   record->channel() + 1);
      result = kNoFrame;
    }
  }
  return result;
}

}  // namespace
}  // namespace recorder

int main(int argc, char** argv) {
  std::string error;
  const auto options = recorder::ParseOptions(argc, argv, &error);
  if (!options) return recorder::UsageError(error);
  if (options->help) {
    std::printf("%s\n%s", recorder::kUsageLine, recorder::kUsageText);
    return 0;
  }
  return recorder::Run(*options);
}
