// veltrane-rec: a recorder host for libveltrane.so. It loads the driver, records the chosen
// channels of one device, or of several with a driver each, to Matroska or H.263 files, shows
// live status and alarm inputs, and writes a summary. Without a device address it records
// from the simulator, started in-process.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
#include "platform/platform.h"
#include "recording.h"
#include "summary.h"

namespace recorder {
namespace {

enum ExitCode { kSuccess = 0, kNoFrame = 1, kUsage = 2, kNotOpened = 3 };

// The driver's own default when the device type gives no "networktimeout".
constexpr int kDefaultNetworkTimeoutMs = 20000;
// The driver's watchdog adds this to the network time-out before it gives up a connection.
constexpr int kWatchdogExtraMs = 3000;

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

// Recording channels, alarm inputs too, are numbered device-major: device d (from 0) has
// numbers from d * kChannelsPerDevice + 1.
constexpr int kChannelsPerDevice = 64;

// One device and its driver. The frame table outlives the driver that fills it.
struct Device {
  Connection connection;
  Recording recording;
  std::optional<AlarmLog> alarms;
  std::unique_ptr<CaptureBackend> backend;
  corvane::ICaptureIOApi* io = nullptr;
};

// The run's state, handed from step to step. Members are declared in the order the steps
// create them, so that they are destroyed in reverse: the relay thread before the drivers,
// the drivers before the library that holds their code, the simulator after both.
struct RunState {
  RunState(const Options& o, const std::string& exeFolder, const std::string& secret)
      : options(o),
        folder(exeFolder),
        password(secret),
        deviceType(ReadDeviceType(exeFolder, o.deviceType)),
        console(::isatty(STDOUT_FILENO) == 1),
        debug(console, o.logLevel, password) {}

  const Options& options;
  const std::string folder;
  const std::string password;
  const DeviceTypeInfo deviceType;
  Console console;
  DebugLines debug;
  std::unique_ptr<devicesim::DeviceSim> sim;
  DriverModule module;
  RecorderAllocator allocator;
  // Shared by every channel's files; outlives them.
  std::optional<Retention> retention;
  std::vector<std::unique_ptr<Device>> devices;
  // Every device's channels, device by device.
  std::vector<ChannelRecord*> records;
  const char* apiName = "";
  std::vector<int> channels;
  int code = 0;
  int width = 0;
  int height = 0;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> progress{nullptr, &std::fclose};
  Clock::time_point started{};
  int networkTimeoutMs = 0;
  std::optional<OutputSwitcher> switcher;
  bool interrupted = false;
  bool unreachable = false;
  Clock::time_point stopped{};
  Clock::time_point closed{};
};

// A device that gives no frame on any channel within this time could not be opened: it is
// how long the driver needs to give up a connection.
int ConnectLimitMs(const RunState& run) {
  return run.networkTimeoutMs + kWatchdogExtraMs + 1000;
}

// Signals are taken by the main loop only; every thread started from here on, the driver's
// included, inherits the blocked mask.
sigset_t BlockStopSignals() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  // Under a file size limit a write fails with EFBIG, reported like a full disk, instead of
  // killing the recorder.
  ::signal(SIGXFSZ, SIG_IGN);
  return stopSignals;
}

std::string LimitText(rlim_t value) {
  return value == RLIM_INFINITY ? std::string("unlimited") : std::to_string(value);
}

// A recorder of many channels holds a few descriptors per channel (sockets, files): the common
// soft limit of 1,024 is too low for some hosts, so the soft limit goes up to the hard one, as
// servers do.
void RaiseDescriptorLimit(DebugLines& debug) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  if (limit.rlim_cur == limit.rlim_max) {
    debug.Note(2, "open file limit " + LimitText(limit.rlim_cur));
    return;
  }
  const rlim_t before = limit.rlim_cur;
  limit.rlim_cur = limit.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &limit) == 0) {
    debug.Note(2, "open file limit raised from " + LimitText(before) + " to " +
                      LimitText(limit.rlim_cur));
  } else {
    debug.Note(1, "cannot raise the open file limit from " + LimitText(before) + ": " +
                      std::strerror(errno));
  }
}

// The password and the output folder; kSuccess or the exit code.
int PrepareRun(const Options& options, std::string* password) {
  if (!options.passwordFile.empty()) {
    auto text = ReadPasswordFile(options.passwordFile);
    if (!text) return UsageError("cannot read the password file " + options.passwordFile);
    *password = *text;
  } else if (const char* env = std::getenv("VELTRANE_PASSWORD")) {
    *password = env;
  }
  if (!MakeFolder(options.outputFolder)) {
    return UsageError("cannot create the output folder " + options.outputFolder);
  }
  return kSuccess;
}

// A device per port; without an address the one device is the simulator, with the same
// credentials.
int ConnectToDevice(RunState& run) {
  const Options& options = run.options;
  const std::size_t count = options.address.empty() ? 1 : options.ports.size();
  for (std::size_t d = 0; d < count; ++d) {
    auto device = std::make_unique<Device>();
    device->connection.deviceType = options.deviceType;
    device->connection.user = options.user;
    device->connection.password = run.password;
    if (!options.address.empty()) {
      device->connection.address = options.address;
      device->connection.port = static_cast<std::uint16_t>(options.ports[d]);
    }
    run.devices.push_back(std::move(device));
  }
  if (!options.address.empty()) return kSuccess;
  devicesim::DeviceSimOptions simOptions;
  simOptions.deviceType = options.deviceType;
  simOptions.deviceTypeFolder = run.folder;
  simOptions.user = options.user;
  simOptions.password = run.password;
  run.sim = std::make_unique<devicesim::DeviceSim>(simOptions);
  if (!run.sim->Start()) {
    std::fprintf(stderr, "veltrane-rec: cannot start the simulated %s: %s\n",
                 options.deviceType.c_str(), run.debug.Mask(run.sim->LastError()).c_str());
    return kNotOpened;
  }
  run.devices[0]->connection.address = "127.0.0.1";
  run.devices[0]->connection.port = run.sim->port();
  std::printf("Simulated device %s on 127.0.0.1:%u\n", options.deviceType.c_str(),
              static_cast<unsigned>(run.sim->port()));
  return kSuccess;
}

// Closes the drivers that were opened, in the order they were.
void CloseDrivers(RunState& run) {
  for (auto& device : run.devices) {
    if (device->backend) device->backend->Close();
  }
}

// Loads the library, then creates and opens a driver per device through the chosen interface.
int OpenDriver(RunState& run) {
  std::string error;
  if (!run.module.Load(run.folder, &error)) {
    std::fprintf(stderr, "veltrane-rec: %s\n", error.c_str());
    return kNotOpened;
  }
  const bool old = run.options.api == Api::kOld;
  run.apiName = old ? "old" : "new";
  for (auto& device : run.devices) {
    const HostObjects host{&device->recording, &run.allocator, &run.debug};
    device->backend =
        old ? MakeOldApiBackend(run.module, host) : MakeNewApiBackend(run.module, host);
    if (!device->backend->Open(device->connection, &error)) {
      CloseDrivers(run);
      std::fprintf(stderr, "veltrane-rec: device could not be opened: %s\n", error.c_str());
      return kNotOpened;
    }
  }
  return kSuccess;
}

// Bad usage found once the drivers are open: they are closed before the usage line.
int CloseForUsageError(RunState& run, const std::string& message) {
  CloseDrivers(run);
  return UsageError(message);
}

// Channels and resolution, checked against what the driver says of the device.
int ChooseChannels(RunState& run) {
  const Options& options = run.options;
  const DeviceTypeInfo& type = run.deviceType;
  CaptureBackend& first = *run.devices[0]->backend;
  int cameras = first.CameraCount();
  for (const auto& device : run.devices) {
    cameras = std::min(cameras, device->backend->CameraCount());
  }
  run.channels = options.channels;
  if (run.channels.empty()) {
    for (int c = 1; c <= cameras && c <= 64; ++c) run.channels.push_back(c);
  }
  run.code = options.resolution.code;
  const int code = run.code;
  std::string usageProblem;
  for (int c : run.channels) {
    if (c > cameras) {
      usageProblem = "channel " + std::to_string(c) + " does not exist; the device has " +
                     std::to_string(cameras);
    }
  }
  if (run.channels.empty()) usageProblem = "the device has no cameras";
  if (type.found && type.enabled[code] && type.width[code] > 0 && type.height[code] > 0) {
    run.width = type.width[code];
    run.height = type.height[code];
  } else if (!first.ResolutionSize(code, &run.width, &run.height) ||
             (type.found && !type.enabled[code])) {
    usageProblem = std::string("resolution ") + options.resolution.name +
                   " is not offered by device type " + options.deviceType;
  }
  if (!usageProblem.empty()) return CloseForUsageError(run, usageProblem);
  return kSuccess;
}

// A file per channel (unless frames are only counted) and the progress file.
int OpenOutputs(RunState& run) {
  const Options& options = run.options;
  RetentionLimits limits;
  limits.keepDays = options.keepDays;
  limits.maxBytes = static_cast<std::uint64_t>(options.maxGib * 1024 * 1024 * 1024);
  run.retention.emplace(options.outputFolder, limits);
  for (std::size_t d = 0; d < run.devices.size(); ++d) {
    Device& device = *run.devices[d];
    for (int c : run.channels) {
      const int number = static_cast<int>(d) * kChannelsPerDevice + c;
      char stem[16];
      std::snprintf(stem, sizeof stem, "ch%02d", number);
      RecordSettings settings{options.outputFolder, stem, options.format, options.segmentSeconds,
                              options.frameIntervalMs, &*run.retention, &run.console};
      auto record = std::make_unique<ChannelRecord>(c - 1, number, std::move(settings));
      if (options.discard) {
        record->CountOnly();
      } else if (!record->OpenFile()) {
        return CloseForUsageError(run, "cannot write into " + options.outputFolder);
      }
      device.recording.Add(std::move(record));
    }
    for (ChannelRecord* record : device.recording.All()) run.records.push_back(record);
  }
  // Progress lines for scripts, stamped on the monotonic clock that the simulator's fault log
  // uses too, so the two can be lined up.
  if (!options.progressFile.empty()) {
    run.progress.reset(std::fopen(options.progressFile.c_str(), "w"));
    if (!run.progress) return CloseForUsageError(run, "cannot write " + options.progressFile);
    std::fprintf(run.progress.get(), "# t_ms channel frames state\n");
  }
  return kSuccess;
}

// The channel's state as the driver reports it; -1 when it does not answer.
int ChannelState(CaptureBackend& backend, int channel) {
  int state = -1;
  int event = 0;
  if (!backend.Poll(channel, &state, &event)) state = -1;
  return state;
}

void WriteProgress(RunState& run) {
  if (!run.progress) return;
  const long long now = static_cast<long long>(devicesim::MonotonicMs());
  for (const auto& device : run.devices) {
    for (ChannelRecord* record : device->recording.All()) {
      std::string name = StateName(ChannelState(*device->backend, record->channel()));
      for (char& ch : name) ch = ch == ' ' ? '-' : ch;
      std::fprintf(run.progress.get(), "%lld %d %llu %s\n", now, record->number(),
                   static_cast<unsigned long long>(record->stats().frames), name.c_str());
    }
  }
  std::fflush(run.progress.get());
}

// Alarm inputs, relay outputs (those of the first device), then the channels.
void StartRecording(RunState& run) {
  const Options& options = run.options;
  run.started = Clock::now();
  for (std::size_t d = 0; d < run.devices.size(); ++d) {
    Device& device = *run.devices[d];
    device.alarms.emplace(run.console, run.started, static_cast<int>(d) * kChannelsPerDevice);
    device.io = device.backend->IOApi();
    if (device.io) {
      device.io->SetEventSink(&*device.alarms);
      device.io->Enable();
    }
  }
  corvane::ICaptureIOApi* relays = run.devices[0]->io;
  run.networkTimeoutMs = run.deviceType.networkTimeoutMs > 0 ? run.deviceType.networkTimeoutMs
                                                             : kDefaultNetworkTimeoutMs;
  run.switcher.emplace(relays, options.outputs, run.console, 2 * run.networkTimeoutMs + 1000);
  if (!options.outputs.empty() && !relays) {
    run.console.Print(stderr, "veltrane-rec: the device has no relay outputs to switch");
  }
  run.switcher->Start();

  std::printf("Recording %zu channel(s) at %s, %d ms, quality %d, %s interface, into %s\n",
              run.records.size(), options.resolution.name, options.frameIntervalMs,
              options.quality, run.apiName, options.outputFolder.c_str());
  std::fflush(stdout);
  for (const auto& device : run.devices) {
    for (ChannelRecord* record : device->recording.All()) {
      record->MarkStarted(device->backend->StartChannel(record->channel(),
                                                        options.frameIntervalMs, run.code,
                                                        run.width, run.height, options.quality));
      if (!record->started()) {
        run.console.Print(stderr, "veltrane-rec: the driver refused to start channel " +
                                      std::to_string(record->number()));
      }
    }
  }
}

// The live status block: per channel its state, frames and the rates since the last block.
class StatusBlock {
 public:
  StatusBlock(Clock::time_point start, std::size_t devices)
      : previousTime_(start), previous_(devices * kChannelsPerDevice) {}

  std::vector<std::string> Lines(RunState& run, Clock::time_point now) {
    const double interval = Seconds(now - previousTime_);
    previousTime_ = now;
    std::vector<std::string> lines;
    for (const auto& device : run.devices) {
      for (ChannelRecord* record : device->recording.All()) {
        lines.push_back(Line(*device, *record, interval));
      }
    }
    return lines;
  }

 private:
  std::string Line(Device& device, ChannelRecord& record, double interval) {
    const int state = ChannelState(*device.backend, record.channel());
    const ChannelRecord::Stats s = record.stats();
    Previous& p = previous_[static_cast<std::size_t>(record.number() - 1)];
    const double fps = interval > 0 ? static_cast<double>(s.frames - p.frames) / interval : 0;
    const double kbps =
        interval > 0 ? static_cast<double>(s.bytes - p.bytes) * 8 / 1000 / interval : 0;
    p = {s.frames, s.bytes};
    char line[160];
    std::snprintf(line, sizeof line, "ch%02d  %-8s  frames %6llu  %5.1f fps  %7.1f kbit/s  lost %d",
                  record.number(), StateName(state), static_cast<unsigned long long>(s.frames),
                  fps, kbps, s.lostVideo);
    return line;
  }

  struct Previous {
    std::uint64_t frames = 0;
    std::uint64_t bytes = 0;
  };
  Clock::time_point previousTime_;
  std::vector<Previous> previous_;  // by channel number - 1
};

// Runs until the duration is over, a stop signal arrives or no channel gives video in time.
void RecordUntilStopped(RunState& run, const sigset_t& stopSignals) {
  const auto connectDeadline = run.started + std::chrono::milliseconds(ConnectLimitMs(run));
  const auto end = run.started + std::chrono::seconds(run.options.durationSeconds);
  const auto statusPeriod = std::chrono::milliseconds(run.console.terminal() ? 1000 : 2000);
  auto nextStatus = run.started + statusPeriod;
  auto nextProgress = run.started;
  StatusBlock status(run.started, run.devices.size());
  for (;;) {
    const struct timespec tick = {0, 100 * 1000 * 1000};
    const int signal = ::sigtimedwait(&stopSignals, nullptr, &tick);
    if (signal == SIGINT || signal == SIGTERM) {
      run.interrupted = true;
      run.console.Print(stdout,
                        signal == SIGINT ? "Interrupted, stopping" : "Terminated, stopping");
      break;
    }
    const auto now = Clock::now();
    if (run.options.durationSeconds > 0 && now >= end) break;
    bool anyFrame = false;
    for (ChannelRecord* record : run.records) anyFrame |= record->stats().haveFirstFrame;
    if (!anyFrame && now >= connectDeadline) {
      run.unreachable = true;
      break;
    }
    if (run.progress && now >= nextProgress) {
      WriteProgress(run);
      nextProgress += std::chrono::seconds(1);
    }
    if (now < nextStatus) continue;
    nextStatus += statusPeriod;
    run.console.Status(status.Lines(run, now));
  }
  run.console.EndStatus();
  WriteProgress(run);
  run.stopped = Clock::now();
}

// Stop in the host's order: channels, I/O, then close and delete the driver; the files are
// complete once no callback can arrive any more.
void StopRecording(RunState& run) {
  run.switcher->Stop();
  for (const auto& device : run.devices) {
    for (ChannelRecord* record : device->recording.All()) {
      if (record->started()) device->backend->StopChannel(record->channel());
    }
  }
  for (const auto& device : run.devices) {
    device->alarms->Closing();
    if (device->io) device->io->Disable();
  }
  run.switcher->Join();
  CloseDrivers(run);
  run.closed = Clock::now();
  for (ChannelRecord* record : run.records) record->CloseFile(run.stopped);
  if (run.sim) run.sim->Stop();
}

void WriteSummary(const RunState& run) {
  const Options& options = run.options;
  SummaryInput summary;
  summary.api = run.apiName;
  summary.deviceType = options.deviceType;
  summary.simulated = options.address.empty();
  summary.resolution = options.resolution.name;
  summary.frameIntervalMs = options.frameIntervalMs;
  summary.quality = options.quality;
  summary.seconds = Seconds(run.stopped - run.started);
  summary.interrupted = run.interrupted;
  summary.stopped = run.stopped;
  summary.stopSeconds = Seconds(run.closed - run.stopped);
  summary.discarded = options.discard;
  summary.records = run.records;
  for (const auto& device : run.devices) {
    const std::vector<AlarmEvent> events = device->alarms->Events();
    summary.alarms.insert(summary.alarms.end(), events.begin(), events.end());
  }
  std::stable_sort(summary.alarms.begin(), summary.alarms.end(),
                   [](const AlarmEvent& a, const AlarmEvent& b) { return a.seconds < b.seconds; });
  const std::string summaryPath = options.outputFolder + "/summary.json";
  PrintSummary(stdout, summary);
  if (!WriteSummaryJson(summaryPath, summary)) {
    std::fprintf(stderr, "veltrane-rec: cannot write %s\n", summaryPath.c_str());
  } else {
    std::printf("Summary written to %s\n", summaryPath.c_str());
  }
}

// The exit code of a finished recording, with the reason on stderr when it is not kSuccess.
int RecordingResult(const RunState& run) {
  if (run.unreachable) {
    std::string ports;
    for (const auto& device : run.devices) {
      if (!ports.empty()) ports += ',';
      ports += std::to_string(device->connection.port);
    }
    std::fprintf(stderr,
                 "veltrane-rec: device could not be opened: no video from %s:%s within %d ms\n",
                 run.devices[0]->connection.address.c_str(), ports.c_str(), ConnectLimitMs(run));
    return kNotOpened;
  }
  int result = kSuccess;
  for (ChannelRecord* record : run.records) {
    const ChannelRecord::Stats s = record->stats();
    if (s.writeFailed) {
      std::fprintf(stderr, "veltrane-rec: writing the files of %s failed\n",
                   record->name().c_str());
      result = kNoFrame;
    }
    if (!s.haveFirstFrame) {
      std::fprintf(stderr, "veltrane-rec: channel %d delivered no frame\n", record->number());
      result = kNoFrame;
    }
  }
  return result;
}

int Run(const Options& options) {
  // Without /proc the driver is still looked for beside the working folder, not on the
  // library search path.
  std::string folder = platform::ExecutableFolder();
  if (folder.empty()) folder = "./";
  const sigset_t stopSignals = BlockStopSignals();
  std::string password;
  if (const int code = PrepareRun(options, &password); code != kSuccess) return code;

  RunState run(options, folder, password);
  RaiseDescriptorLimit(run.debug);
  for (int (*step)(RunState&) : {ConnectToDevice, OpenDriver, ChooseChannels, OpenOutputs}) {
    if (const int code = step(run); code != kSuccess) return code;
  }
  StartRecording(run);
  RecordUntilStopped(run, stopSignals);
  StopRecording(run);
  WriteSummary(run);
  return RecordingResult(run);
}

}  // namespace
}  // namespace recorder

int main(int argc, char** argv) {
  std::string error;
  const auto options = recorder::ParseOptions(argc, argv, &error);
  if (!options) return recorder::UsageError(error);
  if (options->help) {
    std::printf("%s\n", recorder::HelpText().c_str());
    return 0;
  }
  return recorder::Run(*options);
}
