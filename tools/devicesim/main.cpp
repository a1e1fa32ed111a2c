// veltrane-devicesim: plays one device of a device type on 127.0.0.1 until SIGINT or SIGTERM.
// The first line on standard output is the port it listens on; everything else goes to
// standard error. The password is read from a file so that it shows in no process list, and
// it is never printed.
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
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

#include "chaos.h"
#include "device_sim.h"

namespace {

constexpr const char* kUsage =
    "usage: veltrane-devicesim --type NAME [--port N] [--user U --password-file F]\n"
    "  --folder DIR              folder of NAME.xml (default: beside this program)\n"
    "  --cameras N --inputs N --outputs N   counts instead of the device-type file's\n"
    "  --unusable-coder-first    list an unusable coder before each camera's usable one\n"
    "  --verbose                 print each request received\n"
    "  --clips DIR               folder of the H.263 clips (default: clips/ beside this program)\n"
    "  --rtp-payload N           largest RTP payload in bytes (default 1400)\n"
    "  --split-bits              split pictures inside bytes (non-zero SBIT/EBIT)\n"
    "  --stats FILE              on exit, write each camera's video figures to FILE\n"
    "faults (CMD is a command word, e.g. 0x01DB0830):\n"
    "  --refuse                  accept and close every connection at once\n"
    "  --close-after-frames N    close each connection when it has received N frames\n"
    "  --delay CMD:MS            delay answers to CMD by MS milliseconds\n"
    "  --drop CMD                never answer CMD\n"
    "  --error CMD:CODE          answer CMD with error CODE\n"
    "  --malformed CMD           answer CMD with a wrong payload length\n"
    "  --reject-credentials      fail every registration with 0xA0\n"
    "  --toggle-input N:MS       toggle input N every MS milliseconds\n"
    "  --stop-video-after N      each video session goes silent after N pictures\n"
    "  --close-video-after N     each video session closes its media connection after N pictures\n"
    "chaos (random faults, one at a time, each logged to standard error when it starts and ends):\n"
    "  --chaos SEED              apply faults chosen and timed by SEED until stopped\n"
    "  --chaos-interval MS       mean time between faults (default 30000)\n"
    "  --chaos-max-fault MS      longest time a lasting fault is held (default 10000)\n";

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

std::optional<unsigned long> Number(const std::string& text, unsigned long max) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || text[0] == '-' || value > max) return std::nullopt;
  return value;
}

// "A:B" with both parts numbers.
std::optional<std::pair<unsigned long, unsigned long>> Pair(const std::string& text,
                                                            unsigned long maxFirst,
                                                            unsigned long maxSecond) {
  const auto colon = text.find(':');
  if (colon == std::string::npos) return std::nullopt;
  auto first = Number(text.substr(0, colon), maxFirst);
  auto second = Number(text.substr(colon + 1), maxSecond);
  if (!first || !second) return std::nullopt;
  return std::make_pair(*first, *second);
}

bool Parse(int argc, char** argv, Arguments& args) {
  constexpr unsigned long kWord = 0xFFFFFFFFul;
  constexpr unsigned long kInt = 0x7FFFFFFFul;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= argc) return std::nullopt;
      return std::string(argv[++i]);
    };
    auto bad = [&flag] {
      std::cerr << "veltrane-devicesim: bad or missing value for " << flag << "\n";
      return false;
    };
    if (flag == "--verbose") {
      args.verbose = true;
    } else if (flag == "--unusable-coder-first") {
      args.options.unusableCoderFirst = true;
    } else if (flag == "--refuse") {
      args.refuse = true;
    } else if (flag == "--reject-credentials") {
      args.rejectCredentials = true;
    } else if (flag == "--split-bits") {
      args.options.splitAtBits = true;
    } else if (flag == "--type" || flag == "--folder" || flag == "--user" ||
               flag == "--password-file" || flag == "--clips" || flag == "--stats") {
      auto text = value();
      if (!text || text->empty()) return bad();
      if (flag == "--clips") args.options.clipFolder = *text;
      if (flag == "--type") args.options.deviceType = *text;
      if (flag == "--folder") args.options.deviceTypeFolder = *text;
      if (flag == "--user") args.options.user = *text;
      if (flag == "--password-file") args.passwordFile = *text;
      if (flag == "--stats") args.statsFile = *text;
    } else if (flag == "--port" || flag == "--cameras" || flag == "--inputs" ||
               flag == "--outputs" || flag == "--close-after-frames" || flag == "--drop" ||
               flag == "--malformed" || flag == "--rtp-payload" || flag == "--stop-video-after" ||
               flag == "--close-video-after") {
      auto text = value();
      const bool isWord = flag == "--drop" || flag == "--malformed";
      const unsigned long max = flag == "--port" ? 0xFFFFul : isWord ? kWord : kInt;
      auto number = text ? Number(*text, max) : std::nullopt;
      if (!number) return bad();
      const int asInt = static_cast<int>(*number);
      if (flag == "--port") args.options.port = static_cast<std::uint16_t>(*number);
      if (flag == "--cameras") args.options.cameraCount = asInt;
      if (flag == "--inputs") args.options.inputCount = asInt;
      if (flag == "--outputs") args.options.outputCount = asInt;
      if (flag == "--close-after-frames") args.closeAfterFrames = asInt;
      if (flag == "--drop") args.drops.push_back(static_cast<std::uint32_t>(*number));
      if (flag == "--malformed") args.malformed.push_back(static_cast<std::uint32_t>(*number));
      if (flag == "--rtp-payload") args.options.maxRtpPayload = *number;
      if (flag == "--stop-video-after" || flag == "--close-video-after") {
        args.stopVideoAfter = asInt;
        args.closeVideo = flag == "--close-video-after";
      }
    } else if (flag == "--delay" || flag == "--error" || flag == "--toggle-input") {
      auto text = value();
      const unsigned long maxFirst = flag == "--toggle-input" ? kInt : kWord;
      const unsigned long maxSecond = flag == "--error" ? 0xFFul : kInt;
      auto pair = text ? Pair(*text, maxFirst, maxSecond) : std::nullopt;
      if (!pair) return bad();
      const auto [first, second] = *pair;
      if (flag == "--delay") {
        args.delays[static_cast<std::uint32_t>(first)] = static_cast<int>(second);
      }
      if (flag == "--error") {
        args.errors[static_cast<std::uint32_t>(first)] = static_cast<std::uint8_t>(second);
      }
      if (flag == "--toggle-input") {
        args.toggles[static_cast<int>(first)] = static_cast<int>(second);
      }
    } else if (flag == "--chaos" || flag == "--chaos-interval" || flag == "--chaos-max-fault") {
      auto text = value();
      auto number = text ? Number(*text, flag == "--chaos" ? kWord : kInt) : std::nullopt;
      if (!number || (flag != "--chaos" && *number == 0)) return bad();
      if (flag == "--chaos") args.chaosSeed = static_cast<std::uint32_t>(*number);
      if (flag == "--chaos-interval") args.chaos.meanIntervalMs = static_cast<int>(*number);
      if (flag == "--chaos-max-fault") args.chaos.maxFaultMs = static_cast<int>(*number);
    } else {
      std::cerr << "veltrane-devicesim: unknown argument " << flag << "\n" << kUsage;
      return false;
    }
  }
  const bool allCounts = args.options.cameraCount >= 0 && args.options.inputCount >= 0 &&
                         args.options.outputCount >= 0;
  if (args.options.deviceType.empty() && !allCounts) {
    std::cerr << kUsage;
    return false;
  }
  return true;
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
  if (!Parse(argc, argv, args)) return 2;
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
