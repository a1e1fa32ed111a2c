// Command-line options of veltrane-rec.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace recorder {

enum class Api { kNew, kOld };

// Container of the video files: Matroska with a time stamp per frame, or the bare H.263
// elementary stream.
enum class Format { kMkv, kH263 };

struct Resolution {
  const char* name;  // "cif", "2cif", "4cif"
  int code;          // the driver's resolution code: 2, 3, 4
};

// The resolutions a recording can ask for, by name.
inline constexpr Resolution kResolutions[] = {{"cif", 2}, {"2cif", 3}, {"4cif", 4}};

struct Options {
  Api api = Api::kNew;
  // Empty: record from the in-process simulator.
  std::string address;
  // One device per port, all at the same address with the same type and credentials.
  std::vector<int> ports;
  std::string deviceType = "nvs400";
  std::string user;
  std::string passwordFile;
  // Channels numbered from 1; empty = every camera of the device.
  std::vector<int> channels;
  Resolution resolution{"cif", 2};
  int frameIntervalMs = 40;
  int quality = 50;
  int durationSeconds = 10;  // 0 = until interrupted
  std::string outputFolder = "recording";
  // Relay outputs to switch, numbered from 1: (output, on).
  std::vector<std::pair<int, bool>> outputs;
  // Driver debug lines up to this level are printed: 0 none, 1 errors, 2 everything.
  int logLevel = 1;
  // Per-second progress lines "T_MS CHANNEL FRAMES STATE" go here; empty = none.
  std::string progressFile;
  // Count frames but write no video files (summary.json is still written).
  bool discard = false;
  Format format = Format::kMkv;
  // A new file starts at the first key frame after this many seconds.
  int segmentSeconds = 600;
  // Complete segments older than this many days are deleted; 0 = kept.
  int keepDays = 0;
  // The oldest complete segments are deleted while all of them take more; 0 = no limit.
  double maxGib = 0;
  // Devices, channels and recording settings from a TOML file instead of the options above.
  std::string configFile;
  // "ADDR:PORT" to serve Prometheus metrics on; empty = none.
  std::string metricsAddress;
  bool help = false;
  // The options given on the command line, by their long names ("--duration"): with a
  // configuration file, these recording settings win over the file's.
  std::set<std::string> given;
};

extern const char* const kUsageLine;
// What --help prints: every option with its meaning, and the exit codes.
std::string HelpText();

// The options, or an error message in *error.
std::optional<Options> ParseOptions(int argc, char** argv, std::string* error);

}  // namespace recorder
