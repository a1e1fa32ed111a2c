// What veltrane-rec records, from a TOML file or from the command line: the recording's
// settings and the devices, each with its own connection, interface, channels and relays.
// Both sources give the same structure, so the recorder has one way to run.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "options.h"

namespace recorder {

struct ChannelConfig {
  int camera = 1;  // from 1
  Resolution resolution{"cif", 2};
  int frameIntervalMs = 40;
  int quality = 50;
};

struct DeviceConfig {
  // Unique within a file; names the device's folder and its metrics.
  std::string name;
  // Empty: the simulator, started in-process (command line only).
  std::string address;
  int port = 0;
  std::string deviceType = "nvs400";
  std::string user;
  // Where the password comes from: the first line of a file, or an environment variable
  // (its name). Never the password itself.
  std::string passwordFile;
  std::string passwordEnv;
  Api api = Api::kNew;
  // Empty: every camera of the device, with the defaults below.
  std::vector<ChannelConfig> channels;
  ChannelConfig defaults;
  // Relay outputs to switch once the device answers, numbered from 1: (output, on).
  std::vector<std::pair<int, bool>> relays;
};

struct RecordingConfig {
  std::string outputFolder = "recording";
  Format format = Format::kMkv;
  int segmentSeconds = 600;
  int keepDays = 0;
  double maxGib = 0;
  std::string metricsAddress;
  int durationSeconds = 10;  // 0 = until stopped
  std::string progressFile;
  int logLevel = 1;
  bool discard = false;
};

struct RecorderConfig {
  RecordingConfig recording;
  std::vector<DeviceConfig> devices;
  // From a file: each device's files go to a folder of its own, named after it.
  bool fromFile = false;
};

// The command line's devices: one, or one per port of the list, all alike but for the port.
RecorderConfig ConfigFromOptions(const Options& options);

// A configuration from TOML text. Keys the text leaves out take the options' values (the
// command line's or its defaults). nullopt with "SOURCE:LINE: what is wrong" in *error.
std::optional<RecorderConfig> ParseConfig(std::string_view text, const std::string& source,
                                          const Options& defaults, std::string* error);
// The same from a file.
std::optional<RecorderConfig> LoadConfig(const std::string& path, const Options& defaults,
                                         std::string* error);

}  // namespace recorder
