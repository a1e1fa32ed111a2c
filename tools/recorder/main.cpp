// veltrane-rec: a recorder host for libveltrane.so. It loads the driver, records the chosen
// channels of one device, or of several with a driver each (from the command line or a
// configuration file), to Matroska or H.263 files, shows live status and alarm inputs,
// serves metrics and writes a summary. Without a device address it records from the
// simulator, started in-process.
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
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <pugixml.hpp>

#include "backend.h"
#include "chaos.h"
#include "config.h"
#include "device_sim.h"
#include "metrics.h"
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
  // prefix: put before each line, to tell devices apart.
  OutputSwitcher(corvane::ICaptureIOApi* io, std::vector<std::pair<int, bool>> outputs,
                 Console& console, int giveUpMs, std::string prefix)
      : io_(io),
        outputs_(std::move(outputs)),
        console_(console),
        giveUpMs_(giveUpMs),
        prefix_(std::move(prefix)) {}
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
      console_.Print(stdout, prefix_ + line);
    }
  }

  corvane::ICaptureIOApi* io_;
  std::vector<std::pair<int, bool>> outputs_;
  Console& console_;
  const int giveUpMs_;
  const std::string prefix_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Recording channels, alarm inputs too, are numbered device-major: device d (from 0) has
// numbers from d * kChannelsPerDevice + 1.
constexpr int kChannelsPerDevice = 64;

// A channel to record and the picture size of its resolution on its device.
struct ChannelPlan {
  ChannelConfig config;
  int width = 0;
  int height = 0;
};

// One device, its settings and its driver. Members are declared in the order they are
// made, so that they are destroyed in reverse: the relay thread before the driver, the
// driver before the objects it calls (debug lines, frame table, alarm log).
struct Device {
  Device(const DeviceConfig& c, int i, DeviceTypeInfo t)
      : config(c), index(i), type(std::move(t)) {}

  bool open() const { return backend != nullptr && failure.empty(); }
  // How long the driver needs to give up a connection: a device that gives no frame on any
  // channel within it could not be reached.
  int ConnectLimitMs() const { return NetworkTimeoutMs() + kWatchdogExtraMs + 1000; }
  int NetworkTimeoutMs() const {
    return type.networkTimeoutMs > 0 ? type.networkTimeoutMs : kDefaultNetworkTimeoutMs;
  }
  bool AnyFrame() const {
    for (ChannelRecord* record : recording.All()) {
      if (record->stats().haveFirstFrame) return true;
    }
    return false;
  }

  const DeviceConfig config;
  const int index;  // from 0
  const DeviceTypeInfo type;
  Connection connection;
  // Masks this device's password.
  std::optional<DebugLines> debug;
  Recording recording;
  std::vector<ChannelPlan> plans;
  // The last state polled, by channel (from 0); -1 before the first poll.
  std::vector<int> states = std::vector<int>(kChannelsPerDevice, -1);
  std::optional<AlarmLog> alarms;
  std::unique_ptr<CaptureBackend> backend;
  corvane::ICaptureIOApi* io = nullptr;
  std::optional<OutputSwitcher> switcher;
  // Why it could not be opened; empty while it is.
  std::string failure;
  // It gave no video within its connect limit (and was reported).
  bool silent = false;
};

// The run's state, handed from step to step. Members are declared in the order the steps
// create them, so that they are destroyed in reverse: the drivers before the library that
// holds their code, the simulator after both.
struct RunState {
  RunState(const RecorderConfig& c, const std::string& exeFolder)
      : config(c),
        settings(c.recording),
        folder(exeFolder),
        console(::isatty(STDOUT_FILENO) == 1),
        debug(console, c.recording.logLevel, "") {}

  const RecorderConfig& config;
  const RecordingConfig& settings;
  const std::string folder;
  Console console;
  // The recorder's own notes; they carry no password.
  DebugLines debug;
  MetricsServer metrics;
  std::unique_ptr<devicesim::DeviceSim> sim;
  DriverModule module;
  RecorderAllocator allocator;
  // Shared by every channel's files; outlives them.
  std::optional<Retention> retention;
  std::vector<std::unique_ptr<Device>> devices;
  // Every open device's channels, device by device.
  std::vector<ChannelRecord*> records;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> progress{nullptr, &std::fclose};
  Clock::time_point started{};
  bool interrupted = false;
  bool unreachable = false;
  Clock::time_point stopped{};
  Clock::time_point closed{};
};

const char* ApiName(Api api) { return api == Api::kOld ? "old" : "new"; }

// Devices of the command line are named after their address and port.
std::string DeviceLabel(const Device& device) { return "device " + device.config.name; }

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

// A device's password from its file or environment variable; false when the file cannot
// be read. An unset variable is an empty password.
bool ReadPassword(const DeviceConfig& device, std::string* password) {
  password->clear();
  if (!device.passwordFile.empty()) {
    auto text = ReadPasswordFile(device.passwordFile);
    if (!text) return false;
    *password = *text;
  } else if (!device.passwordEnv.empty()) {
    if (const char* env = std::getenv(device.passwordEnv.c_str())) *password = env;
  }
  return true;
}

// The devices with their passwords and device types, and the output folder; kSuccess or the
// exit code.
int PrepareRun(RunState& run) {
  for (const DeviceConfig& config : run.config.devices) {
    std::string password;
    if (!ReadPassword(config, &password)) {
      return UsageError("cannot read the password file " + config.passwordFile);
    }
    auto device = std::make_unique<Device>(config, static_cast<int>(run.devices.size()),
                                           ReadDeviceType(run.folder, config.deviceType));
    device->connection.deviceType = config.deviceType;
    device->connection.user = config.user;
    device->connection.password = password;
    device->connection.address = config.address;
    device->connection.port = static_cast<std::uint16_t>(config.port);
    device->debug.emplace(run.console, run.settings.logLevel, password);
    run.devices.push_back(std::move(device));
  }
  if (!MakeFolder(run.settings.outputFolder)) {
    return UsageError("cannot create the output folder " + run.settings.outputFolder);
  }
  return kSuccess;
}

// Metrics are served from before the devices connect, so that a scrape sees them come up.
int StartMetrics(RunState& run) {
  if (run.settings.metricsAddress.empty()) return kSuccess;
  std::string error;
  if (!run.metrics.Start(run.settings.metricsAddress, &error)) return UsageError(error);
  const bool v6 = run.metrics.host().find(':') != std::string::npos;
  std::printf("Metrics on http://%s%s%s:%d/metrics\n", v6 ? "[" : "", run.metrics.host().c_str(),
              v6 ? "]" : "", run.metrics.port());
  std::fflush(stdout);
  return kSuccess;
}

// A device without an address is the simulator, with the same credentials.
int ConnectToDevice(RunState& run) {
  for (auto& device : run.devices) {
    if (!device->connection.address.empty()) continue;
    devicesim::DeviceSimOptions simOptions;
    simOptions.deviceType = device->config.deviceType;
    simOptions.deviceTypeFolder = run.folder;
    simOptions.user = device->config.user;
    simOptions.password = device->connection.password;
    run.sim = std::make_unique<devicesim::DeviceSim>(simOptions);
    if (!run.sim->Start()) {
      std::fprintf(stderr, "veltrane-rec: cannot start the simulated %s: %s\n",
                   simOptions.deviceType.c_str(),
                   device->debug->Mask(run.sim->LastError()).c_str());
      return kNotOpened;
    }
    device->connection.address = "127.0.0.1";
    device->connection.port = run.sim->port();
    std::printf("Simulated device %s on 127.0.0.1:%u\n", simOptions.deviceType.c_str(),
                static_cast<unsigned>(run.sim->port()));
    break;  // the command line makes one such device at most
  }
  return kSuccess;
}

// Closes the drivers that were opened, in the order they were; no scrape is served from
// here on.
void CloseDrivers(RunState& run) {
  run.metrics.Stop();
  for (auto& device : run.devices) {
    if (device->backend) device->backend->Close();
  }
}

// Loads the library, then creates and opens a driver per device through its interface. A
// device that cannot be opened is reported and left out; only when none opens is the run
// over.
int OpenDriver(RunState& run) {
  std::string error;
  if (!run.module.Load(run.folder, &error)) {
    std::fprintf(stderr, "veltrane-rec: %s\n", error.c_str());
    return kNotOpened;
  }
  bool anyOpen = false;
  for (auto& device : run.devices) {
    const HostObjects host{&device->recording, &run.allocator, &*device->debug};
    device->backend = device->config.api == Api::kOld ? MakeOldApiBackend(run.module, host)
                                                      : MakeNewApiBackend(run.module, host);
    if (!device->backend->Open(device->connection, &error)) {
      device->failure = error;
      std::fprintf(stderr, "veltrane-rec: %s could not be opened: %s\n",
                   DeviceLabel(*device).c_str(), device->debug->Mask(error).c_str());
      continue;
    }
    anyOpen = true;
  }
  if (!anyOpen) {
    CloseDrivers(run);
    return kNotOpened;
  }
  return kSuccess;
}

// Bad usage found once the drivers are open: they are closed before the usage line.
int CloseForUsageError(RunState& run, const std::string& message) {
  CloseDrivers(run);
  return UsageError(message);
}

// The picture size of a resolution on the device; false when the device type lacks it.
bool PictureSize(Device& device, const Resolution& resolution, int* width, int* height) {
  const DeviceTypeInfo& type = device.type;
  const int code = resolution.code;
  if (type.found && type.enabled[code] && type.width[code] > 0 && type.height[code] > 0) {
    *width = type.width[code];
    *height = type.height[code];
    return true;
  }
  return device.backend->ResolutionSize(code, width, height) &&
         !(type.found && !type.enabled[code]);
}

// Each open device's channels and their resolutions, checked against what the driver says of
// the device.
int ChooseChannels(RunState& run) {
  for (auto& devicePointer : run.devices) {
    Device& device = *devicePointer;
    if (!device.open()) continue;
    const int cameras = device.backend->CameraCount();
    std::vector<ChannelConfig> channels = device.config.channels;
    if (channels.empty()) {
      for (int c = 1; c <= cameras && c <= kChannelsPerDevice; ++c) {
        channels.push_back(device.config.defaults);
        channels.back().camera = c;
      }
    }
    if (channels.empty()) return CloseForUsageError(run, DeviceLabel(device) + " has no cameras");
    for (const ChannelConfig& channel : channels) {
      if (channel.camera > cameras) {
        return CloseForUsageError(run, "channel " + std::to_string(channel.camera) +
                                           " does not exist; the device has " +
                                           std::to_string(cameras));
      }
      ChannelPlan plan{channel};
      if (!PictureSize(device, channel.resolution, &plan.width, &plan.height)) {
        return CloseForUsageError(run, std::string("resolution ") + channel.resolution.name +
                                           " is not offered by device type " +
                                           device.config.deviceType);
      }
      device.plans.push_back(plan);
    }
  }
  return kSuccess;
}

// A file per channel (unless frames are only counted) and the progress file. With a
// configuration file each device has a folder of its own, named after it.
int OpenOutputs(RunState& run) {
  const RecordingConfig& settings = run.settings;
  RetentionLimits limits;
  limits.keepDays = settings.keepDays;
  limits.maxBytes = static_cast<std::uint64_t>(settings.maxGib * 1024 * 1024 * 1024);
  run.retention.emplace(settings.outputFolder, limits);
  for (auto& devicePointer : run.devices) {
    Device& device = *devicePointer;
    if (!device.open()) continue;
    const std::string folder = run.config.fromFile
                                   ? settings.outputFolder + "/" + device.config.name
                                   : settings.outputFolder;
    if (!settings.discard && !MakeFolder(folder)) {
      return CloseForUsageError(run, "cannot create the output folder " + folder);
    }
    for (const ChannelPlan& plan : device.plans) {
      const int c = plan.config.camera;
      const int number = device.index * kChannelsPerDevice + c;
      char stem[16];
      std::snprintf(stem, sizeof stem, "ch%02d", run.config.fromFile ? c : number);
      RecordSettings recordSettings{folder, stem, settings.format, settings.segmentSeconds,
                                     plan.config.frameIntervalMs, &*run.retention, &run.console};
      auto record = std::make_unique<ChannelRecord>(c - 1, number, std::move(recordSettings));
      if (settings.discard) {
        record->CountOnly();
      } else if (!record->OpenFile()) {
        return CloseForUsageError(run, "cannot write into " + folder);
      }
      device.recording.Add(std::move(record));
    }
    for (ChannelRecord* record : device.recording.All()) run.records.push_back(record);
  }
  // Progress lines for scripts, stamped on the monotonic clock that the simulator's fault log
  // uses too, so the two can be lined up.
  if (!settings.progressFile.empty()) {
    run.progress.reset(std::fopen(settings.progressFile.c_str(), "w"));
    if (!run.progress) return CloseForUsageError(run, "cannot write " + settings.progressFile);
    std::fprintf(run.progress.get(), "# t_ms channel frames state\n");
  }
  return kSuccess;
}

// Each channel's state as the driver reports it (-1 when it does not answer), kept for the
// status, progress lines and metrics: a poll tells whether frames came since the one
// before, so a second poll right after the first would see none.
void PollStates(RunState& run) {
  for (const auto& device : run.devices) {
    for (ChannelRecord* record : device->recording.All()) {
      int state = -1;
      int event = 0;
      if (!device->backend->Poll(record->channel(), &state, &event)) state = -1;
      device->states[static_cast<std::size_t>(record->channel())] = state;
    }
  }
}

int ChannelState(const Device& device, int channel) {
  return device.states[static_cast<std::size_t>(channel)];
}

void WriteProgress(RunState& run) {
  if (!run.progress) return;
  const long long now = static_cast<long long>(devicesim::MonotonicMs());
  for (const auto& device : run.devices) {
    for (ChannelRecord* record : device->recording.All()) {
      std::string name = StateName(ChannelState(*device, record->channel()));
      for (char& ch : name) ch = ch == ' ' ? '-' : ch;
      std::fprintf(run.progress.get(), "%lld %d %llu %s\n", now, record->number(),
                   static_cast<unsigned long long>(record->stats().frames), name.c_str());
    }
  }
  std::fflush(run.progress.get());
}

// The latest state of every device and channel, for the metrics server.
void PublishMetrics(RunState& run) {
  MetricsSnapshot snapshot;
  for (const auto& device : run.devices) {
    DeviceSample d;
    d.name = device->config.name;
    for (ChannelRecord* record : device->recording.All()) {
      const ChannelRecord::Stats s = record->stats();
      ChannelSample c{device->config.name, record->channel() + 1, s.frames, s.keyFrames,
                      s.bytes, s.lostVideo, ChannelState(*device, record->channel()),
                      s.haveFirstFrame ? s.lastFrame : record->startTime()};
      d.up |= c.state == 0;
      snapshot.channels.push_back(std::move(c));
    }
    if (device->alarms) {
      const std::map<int, bool> inputs = device->alarms->InputStates();
      d.inputs.assign(inputs.begin(), inputs.end());
    }
    snapshot.devices.push_back(std::move(d));
  }
  run.metrics.Publish(std::move(snapshot));
}

// Every channel's settings as one line, or empty when they differ.
std::string CommonSettings(const RunState& run) {
  std::string common;
  for (const auto& device : run.devices) {
    for (const ChannelPlan& plan : device->plans) {
      char line[96];
      std::snprintf(line, sizeof line, "%s, %d ms, quality %d, %s interface",
                    plan.config.resolution.name, plan.config.frameIntervalMs,
                    plan.config.quality, ApiName(device->config.api));
      if (!common.empty() && common != line) return "";
      common = line;
    }
  }
  return common;
}

void PrintRecordingLines(const RunState& run) {
  const std::string common = CommonSettings(run);
  if (!common.empty()) {
    std::printf("Recording %zu channel(s) at %s, into %s\n", run.records.size(), common.c_str(),
                run.settings.outputFolder.c_str());
  } else {
    std::printf("Recording %zu channel(s) into %s:\n", run.records.size(),
                run.settings.outputFolder.c_str());
    for (const auto& device : run.devices) {
      for (const ChannelPlan& plan : device->plans) {
        std::printf("  %s camera %d: %s, %d ms, quality %d, %s interface\n",
                    device->config.name.c_str(), plan.config.camera,
                    plan.config.resolution.name, plan.config.frameIntervalMs,
                    plan.config.quality, ApiName(device->config.api));
      }
    }
  }
  std::fflush(stdout);
}

// Alarm inputs and relay outputs of each device, then the channels.
void StartRecording(RunState& run) {
  run.started = Clock::now();
  for (auto& devicePointer : run.devices) {
    Device& device = *devicePointer;
    if (!device.open()) continue;
    device.alarms.emplace(run.console, run.started, device.index * kChannelsPerDevice);
    device.io = device.backend->IOApi();
    if (device.io) {
      device.io->SetEventSink(&*device.alarms);
      device.io->Enable();
    }
    const std::string prefix = run.config.fromFile ? device.config.name + ": " : "";
    device.switcher.emplace(device.io, device.config.relays, run.console,
                            2 * device.NetworkTimeoutMs() + 1000, prefix);
    if (!device.config.relays.empty() && !device.io) {
      run.console.Print(stderr, "veltrane-rec: " + DeviceLabel(device) +
                                    " has no relay outputs to switch");
    }
    device.switcher->Start();
  }

  PrintRecordingLines(run);
  for (const auto& device : run.devices) {
    for (ChannelRecord* record : device->recording.All()) {
      const ChannelPlan* plan = nullptr;
      for (const ChannelPlan& p : device->plans) {
        if (p.config.camera == record->channel() + 1) plan = &p;
      }
      record->MarkStarted(device->backend->StartChannel(
          record->channel(), plan->config.frameIntervalMs, plan->config.resolution.code,
          plan->width, plan->height, plan->config.quality));
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
    const int state = ChannelState(device, record.channel());
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

// Devices that gave no video within their connect limit are reported, once each; true
// when no device is left that could still give video.
bool ReportSilentDevices(RunState& run, Clock::time_point now) {
  bool anyLeft = false;
  for (auto& device : run.devices) {
    if (!device->open()) continue;
    const auto deadline = run.started + std::chrono::milliseconds(device->ConnectLimitMs());
    if (!device->silent && !device->AnyFrame() && now >= deadline) {
      device->silent = true;
      run.console.Print(stderr, "veltrane-rec: " + DeviceLabel(*device) +
                                    " could not be opened: no video from " +
                                    device->connection.address + ":" +
                                    std::to_string(device->connection.port) + " within " +
                                    std::to_string(device->ConnectLimitMs()) + " ms");
    }
    anyLeft |= !device->silent || device->AnyFrame();
  }
  return !anyLeft;
}

// Runs until the duration is over, a stop signal arrives or no device gives video in time.
void RecordUntilStopped(RunState& run, const sigset_t& stopSignals) {
  const auto end = run.started + std::chrono::seconds(run.settings.durationSeconds);
  const auto statusPeriod = std::chrono::milliseconds(run.console.terminal() ? 1000 : 2000);
  const auto metricsPeriod = std::chrono::milliseconds(500);
  auto nextStatus = run.started + statusPeriod;
  auto nextPoll = run.started;
  auto nextMetrics = run.started;
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
    if (run.settings.durationSeconds > 0 && now >= end) break;
    if (ReportSilentDevices(run, now)) {
      run.unreachable = true;
      break;
    }
    if (run.metrics.port() > 0 && now >= nextMetrics) {
      PublishMetrics(run);
      nextMetrics += metricsPeriod;
    }
    if (now >= nextPoll) {
      PollStates(run);
      WriteProgress(run);
      nextPoll += std::chrono::seconds(1);
    }
    if (now < nextStatus) continue;
    nextStatus += statusPeriod;
    run.console.Status(status.Lines(run, now));
  }
  run.console.EndStatus();
  PollStates(run);
  WriteProgress(run);
  run.stopped = Clock::now();
}

// Stop in the host's order: metrics, channels, I/O, then close and delete the driver; the
// files are complete once no callback can arrive any more.
void StopRecording(RunState& run) {
  run.metrics.Stop();
  for (const auto& device : run.devices) {
    if (device->switcher) device->switcher->Stop();
    for (ChannelRecord* record : device->recording.All()) {
      if (record->started()) device->backend->StopChannel(record->channel());
    }
  }
  for (const auto& device : run.devices) {
    if (!device->alarms) continue;
    device->alarms->Closing();
    if (device->io) device->io->Disable();
  }
  for (const auto& device : run.devices) {
    if (device->switcher) device->switcher->Join();
  }
  CloseDrivers(run);
  run.closed = Clock::now();
  for (ChannelRecord* record : run.records) record->CloseFile(run.stopped);
  if (run.sim) run.sim->Stop();
}

void WriteSummary(const RunState& run) {
  const RecordingConfig& settings = run.settings;
  // The run's settings as those of its first open device's first channel.
  const Device* first = nullptr;
  for (const auto& device : run.devices) {
    if (!first && !device->plans.empty()) first = device.get();
  }
  const ChannelConfig& channel = first->plans.front().config;
  SummaryInput summary;
  summary.api = ApiName(first->config.api);
  summary.deviceType = first->config.deviceType;
  summary.simulated = first->config.address.empty();
  summary.resolution = channel.resolution.name;
  summary.frameIntervalMs = channel.frameIntervalMs;
  summary.quality = channel.quality;
  summary.seconds = Seconds(run.stopped - run.started);
  summary.interrupted = run.interrupted;
  summary.stopped = run.stopped;
  summary.stopSeconds = Seconds(run.closed - run.stopped);
  summary.discarded = settings.discard;
  summary.outputFolder = settings.outputFolder;
  summary.records = run.records;
  for (const auto& device : run.devices) {
    if (!device->alarms) continue;
    const std::vector<AlarmEvent> events = device->alarms->Events();
    summary.alarms.insert(summary.alarms.end(), events.begin(), events.end());
  }
  std::stable_sort(summary.alarms.begin(), summary.alarms.end(),
                   [](const AlarmEvent& a, const AlarmEvent& b) { return a.seconds < b.seconds; });
  const std::string summaryPath = settings.outputFolder + "/summary.json";
  PrintSummary(stdout, summary);
  if (!WriteSummaryJson(summaryPath, summary)) {
    std::fprintf(stderr, "veltrane-rec: cannot write %s\n", summaryPath.c_str());
  } else {
    std::printf("Summary written to %s\n", summaryPath.c_str());
  }
}

// The exit code of a finished recording, with the reason on stderr when it is not kSuccess.
// Devices that could not be opened were reported as it happened.
int RecordingResult(const RunState& run) {
  if (run.unreachable) return kNotOpened;
  int result = kSuccess;
  for (const auto& device : run.devices) {
    if (!device->open()) result = kNoFrame;
  }
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

// The command line's devices, or those of the configuration file; nullopt after a usage
// error (printed).
std::optional<RecorderConfig> BuildConfig(const Options& options) {
  if (options.configFile.empty()) return ConfigFromOptions(options);
  if (!options.address.empty() || !options.channels.empty() || !options.outputs.empty()) {
    UsageError("--config names the devices, channels and relays; --address, --port, "
               "--channels and --output do not go with it");
    return std::nullopt;
  }
  std::string error;
  auto config = LoadConfig(options.configFile, options, &error);
  if (!config) UsageError(error);
  return config;
}

int Run(const Options& options) {
  const std::optional<RecorderConfig> config = BuildConfig(options);
  if (!config) return kUsage;
  // Without /proc the driver is still looked for beside the working folder, not on the
  // library search path.
  std::string folder = platform::ExecutableFolder();
  if (folder.empty()) folder = "./";
  const sigset_t stopSignals = BlockStopSignals();

  RunState run(*config, folder);
  RaiseDescriptorLimit(run.debug);
  for (int (*step)(RunState&) :
       {PrepareRun, StartMetrics, ConnectToDevice, OpenDriver, ChooseChannels, OpenOutputs}) {
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
