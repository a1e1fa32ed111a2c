// veltrane-devicesim: plays one device of a device type on 127.0.0.1 until SIGINT or SIGTERM.
// The first line on standard output is the port it listens on; everything else goes to
// standard error. The password is read from a file so that it shows in no process list, and
// it is never printed.
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "chaos.h"
#include "device_sim.h"

namespace {

constexpr const char* kUsageLine =
    "usage: veltrane-devicesim --type NAME [--port N] [--user U --password-file F] [faults]";

struct Arguments {
  devicesim::DeviceSimOptions options;
  std::string passwordFile;
  std::string statsFile;
  bool verbose = false;
  bool refuse = false;
  bool rejectCredentials = false;
  int closeAfterFrames = 0;
  std::map<std::uint32_t, int> delays;
  std::vector<std::uint32_t> drops;
  std::map<std::uint32_t, std::uint8_t> errors;
  std::vector<std::uint32_t> malformed;
  std::map<int, int> toggles;
  int stopVideoAfter = 0;
  std::optional<std::uint32_t> chaosSeed;
  devicesim::ChaosOptions chaos;
  bool closeVideo = false;
};

// "A:B" with both parts numbers (decimal or 0x hex) within their limits.
std::optional<std::pair<std::uint64_t, std::uint64_t>> Pair(const std::string& text,
                                                            std::uint64_t maxFirst,
                                                            std::uint64_t maxSecond) {
  const auto colon = text.find(':');
  if (colon == std::string::npos) return std::nullopt;
  std::uint64_t first = 0;
  std::uint64_t second = 0;
  if (text[0] == '-' || text[colon + 1] == '-' ||
      !CLI::detail::lexical_cast(text.substr(0, colon), first) ||
      !CLI::detail::lexical_cast(text.substr(colon + 1), second) || first > maxFirst ||
      second > maxSecond) {
    return std::nullopt;
  }
  return std::make_pair(first, second);
}

CLI::Validator PairOf(std::uint64_t maxFirst, std::uint64_t maxSecond) {
  return CLI::Validator(
      [=](const std::string& v) { return Pair(v, maxFirst, maxSecond) ? "" : "expected A:B"; },
      "");
}

// Nothing when the arguments are good; otherwise the exit code (0 once --help is printed).
std::optional<int> Parse(int argc, char** argv, Arguments& args) {
  constexpr std::uint64_t kWord = 0xFFFFFFFFu;
  constexpr int kInt = 0x7FFFFFFF;
  CLI::App app("Plays one device of a device type on 127.0.0.1 until SIGINT or SIGTERM. The "
               "first line on standard output is the port it listens on.",
               "veltrane-devicesim");
  app.set_help_flag("-h,--help", "print this help and exit");
  app.footer("CMD is a command word, e.g. 0x01DB0830. The password is read from a file and "
             "never printed.\nExit codes: 0 stopped by a signal, 1 could not start, 2 bad "
             "usage.");
  auto* type = app.add_option("--type", args.options.deviceType, "device type: NAME.xml")
                   ->type_name("NAME");
  app.add_option("--port", args.options.port, "port to listen on (default: any free one)")
      ->type_name("N");
  app.add_option("--user", args.options.user, "user name a registration must give")
      ->type_name("U");
  app.add_option("--password-file", args.passwordFile, "file whose first line is the password")
      ->type_name("FILE");
  app.add_option("--folder", args.options.deviceTypeFolder,
                 "folder of NAME.xml (default: beside this program)")
      ->type_name("DIR");
  app.add_option("--clips", args.options.clipFolder,
                 "folder of the H.263 clips (default: clips/ beside this program)")
      ->type_name("DIR");
  app.add_option("--stats", args.statsFile, "on exit, write each camera's video figures here")
      ->type_name("FILE");
  auto* cameras = app.add_option("--cameras", args.options.cameraCount,
                                 "camera count instead of the device-type file's")
                      ->check(CLI::Range(0, kInt));
  auto* inputs = app.add_option("--inputs", args.options.inputCount, "alarm input count")
                     ->check(CLI::Range(0, kInt));
  auto* outputs = app.add_option("--outputs", args.options.outputCount, "relay output count")
                      ->check(CLI::Range(0, kInt));
  app.add_flag("--unusable-coder-first", args.options.unusableCoderFirst,
               "list an unusable coder before each camera's usable one");
  app.add_flag("--verbose", args.verbose, "print each request received");
  app.add_option("--rtp-payload", args.options.maxRtpPayload,
                 "largest RTP payload in bytes (default 1400)")
      ->check(CLI::Range(1, kInt));
  app.add_flag("--split-bits", args.options.splitAtBits,
               "split pictures inside bytes (non-zero SBIT/EBIT)");

  const char* faults = "Faults";
  app.add_flag("--refuse", args.refuse, "accept and close every connection at once")
      ->group(faults);
  app.add_option("--close-after-frames", args.closeAfterFrames,
                 "close each connection when it has received N frames")
      ->check(CLI::Range(0, kInt))
      ->group(faults);
  std::vector<std::string> delays;
  std::vector<std::string> errors;
  std::vector<std::string> toggles;
  app.add_option("--delay", delays, "delay answers to CMD by MS milliseconds")
      ->type_name("CMD:MS")
      ->check(PairOf(kWord, kInt))
      ->group(faults);
  app.add_option("--drop", args.drops, "never answer CMD")->type_name("CMD")->group(faults);
  app.add_option("--error", errors, "answer CMD with error CODE")
      ->type_name("CMD:CODE")
      ->check(PairOf(kWord, 0xFF))
      ->group(faults);
  app.add_option("--malformed", args.malformed, "answer CMD with a wrong payload length")
      ->type_name("CMD")
      ->group(faults);
  app.add_flag("--reject-credentials", args.rejectCredentials,
               "fail every registration with 0xA0")
      ->group(faults);
  app.add_option("--toggle-input", toggles, "toggle input N every MS milliseconds")
      ->type_name("N:MS")
      ->check(PairOf(kInt, kInt))
      ->group(faults);
  int stopAfter = 0;
  int closeAfter = 0;
  app.add_option("--stop-video-after", stopAfter,
                 "each video session goes silent after N pictures")
      ->check(CLI::Range(0, kInt))
      ->group(faults);
  auto* closeVideo = app.add_option("--close-video-after", closeAfter,
                                    "each video session closes its media connection after N "
                                    "pictures")
                         ->check(CLI::Range(0, kInt))
                         ->group(faults);

  const char* chaos = "Chaos (random faults, one at a time, each logged when it starts and ends)";
  app.add_option("--chaos", args.chaosSeed, "apply faults chosen and timed by SEED until stopped")
      ->type_name("SEED")
      ->group(chaos);
  app.add_option("--chaos-interval", args.chaos.meanIntervalMs,
                 "mean time between faults in ms (default 30000)")
      ->check(CLI::Range(1, kInt))
      ->group(chaos);
  app.add_option("--chaos-max-fault", args.chaos.maxFaultMs,
                 "longest time a lasting fault is held in ms (default 10000)")
      ->check(CLI::Range(1, kInt))
      ->group(chaos);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::cout << kUsageLine << "\n" << app.help();
    return 0;
  } catch (const CLI::ParseError& e) {
    std::cerr << "veltrane-devicesim: " << e.what() << "\n" << kUsageLine << "\n";
    return 2;
  }
  const bool allCounts = cameras->count() > 0 && inputs->count() > 0 && outputs->count() > 0;
  if (type->count() == 0 && !allCounts) {
    std::cerr << "veltrane-devicesim: --type or all of --cameras, --inputs and --outputs\n"
              << kUsageLine << "\n";
    return 2;
  }
  for (const std::string& d : delays) {
    const auto [word, ms] = *Pair(d, kWord, kInt);
    args.delays[static_cast<std::uint32_t>(word)] = static_cast<int>(ms);
  }
  for (const std::string& e : errors) {
    const auto [word, code] = *Pair(e, kWord, 0xFF);
    args.errors[static_cast<std::uint32_t>(word)] = static_cast<std::uint8_t>(code);
  }
  for (const std::string& t : toggles) {
    const auto [input, ms] = *Pair(t, kInt, kInt);
    args.toggles[static_cast<int>(input)] = static_cast<int>(ms);
  }
  // Both given: the media connection closes.
  args.closeVideo = closeVideo->count() > 0;
  args.stopVideoAfter = args.closeVideo ? closeAfter : stopAfter;
  return std::nullopt;
}

// The first line of the file, without its line end.
bool ReadPassword(const std::string& path, std::string& password) {
  std::ifstream file(path);
  if (!file) return false;
  std::getline(file, password);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return true;
}

void ApplyFaults(devicesim::DeviceSim& device, const Arguments& args) {
  device.RefuseConnections(args.refuse);
  device.RejectCredentials(args.rejectCredentials);
  device.CloseAfterFrames(args.closeAfterFrames);
  for (const auto& [word, ms] : args.delays) device.DelayReplies(word, ms);
  for (auto word : args.drops) device.DropReplies(word, true);
  for (const auto& [word, code] : args.errors) device.AnswerWithError(word, code);
  for (auto word : args.malformed) device.MalformedReply(word, true);
  for (const auto& [input, ms] : args.toggles) device.ToggleInputEvery(input, ms);
  device.StopVideoAfter(args.stopVideoAfter, args.closeVideo);
}

void PrintRequests(const devicesim::DeviceSim& device, std::size_t& printed) {
  const auto requests = device.Requests();
  for (; printed < requests.size(); ++printed) {
    const auto& r = requests[printed];
    std::fprintf(stderr, "request 0x%08X line %u id %u session %u, %zu payload bytes\n",
                 r.commandWord, r.line, r.requestId, r.sessionId, r.payload.size());
  }
}

}  // namespace

int main(int argc, char** argv) {
  Arguments args;
  if (const auto code = Parse(argc, argv, args)) return *code;
  if (!args.passwordFile.empty() && !ReadPassword(args.passwordFile, args.options.password)) {
    std::cerr << "veltrane-devicesim: cannot read the password file " << args.passwordFile
              << "\n";
    return 2;
  }

  // Every thread of the device inherits this mask, so the signals reach only sigtimedwait.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  devicesim::DeviceSim device(args.options);
  ApplyFaults(device, args);
  if (!device.Start()) {
    std::cerr << "veltrane-devicesim: " << device.LastError() << "\n";
    return 1;
  }
  std::cout << device.port() << std::endl;
  std::cerr << "veltrane-devicesim: " << device.cameraCount() << " cameras, "
            << device.inputCount() << " inputs, " << device.outputCount()
            << " outputs on 127.0.0.1:" << device.port()
            << (args.options.user.empty() && args.options.password.empty()
                    ? ", any registration accepted"
                    : ", credentials required")
            << "\n";

  std::optional<devicesim::Chaos> chaos;
  if (args.chaosSeed) {
    args.chaos.seed = *args.chaosSeed;
    args.chaos.minFaultMs = std::min(args.chaos.minFaultMs, args.chaos.maxFaultMs);
    chaos.emplace(device, args.chaos);
    chaos->Start();
  }

  std::size_t printed = 0;
  const timespec tick{0, 200 * 1000 * 1000};
  for (;;) {
    const int signal = sigtimedwait(&signals, nullptr, &tick);
    if (signal == SIGINT || signal == SIGTERM) break;
    if (args.verbose) PrintRequests(device, printed);
  }
  if (chaos) chaos->Stop();
  device.Stop();
  if (args.verbose) PrintRequests(device, printed);
  std::cerr << "veltrane-devicesim: stopped after " << device.Requests().size()
            << " requests, " << device.PicturesSent() << " pictures in "
            << device.PacketsSent() << " RTP packets\n";
  if (!args.statsFile.empty() && !device.WriteVideoStats(args.statsFile)) {
    std::cerr << "veltrane-devicesim: cannot write " << args.statsFile << "\n";
    return 1;
  }
  return 0;
}
