#include "config.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <set>
#include <sstream>

#include <toml++/toml.h>

namespace recorder {

namespace {

constexpr int kMaxCamera = 64;

// Reads one file's tables into the configuration; the first problem found stops it, with
// the line it is on.
class Reader {
 public:
  explicit Reader(std::string source) : source_(std::move(source)) {}

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }

  void Fail(const toml::node& at, const std::string& message) { Fail(at.source(), message); }
  void Fail(const toml::source_region& at, const std::string& message) {
    if (!ok()) return;
    error_ = source_ + ":" + std::to_string(at.begin.line) + ": " + message;
  }

  // Every key of the table must be one of known.
  void OnlyKeys(const toml::table& table, std::initializer_list<std::string_view> known,
                const std::string& where) {
    for (auto&& [key, node] : table) {
      bool found = false;
      for (std::string_view k : known) found |= key.str() == k;
      if (key.str() == "password") {
        Fail(node, "no password in the file: give password_file or password_env");
      } else if (!found) {
        Fail(key.source(), "unknown key '" + std::string(key.str()) + "' in " + where);
      }
    }
  }

  void Int(const toml::table& table, std::string_view key, long min, long max, int* out) {
    const toml::node* node = table.get(key);
    if (!node || !ok()) return;
    const auto value = node->value_exact<std::int64_t>();
    if (!value || *value < min || *value > max) {
      return Fail(*node, std::string(key) + " must be a whole number from " +
                             std::to_string(min) + " to " + std::to_string(max));
    }
    *out = static_cast<int>(*value);
  }

  void Text(const toml::table& table, std::string_view key, bool mayBeEmpty, std::string* out) {
    const toml::node* node = table.get(key);
    if (!node || !ok()) return;
    const auto value = node->value_exact<std::string>();
    if (!value || (!mayBeEmpty && value->empty())) {
      return Fail(*node, std::string(key) + " must be a" + (mayBeEmpty ? "" : " non-empty") +
                             " string");
    }
    *out = *value;
  }

  // A string that must be one of choices; returns its index, or -1 when absent or bad.
  int Choice(const toml::table& table, std::string_view key,
             std::initializer_list<std::string_view> choices) {
    std::string text;
    Text(table, key, false, &text);
    if (text.empty() || !ok()) return -1;
    int index = 0;
    std::string list;
    for (std::string_view c : choices) {
      if (c == text) return index;
      list += (index++ ? ", " : "") + std::string(c);
    }
    Fail(*table.get(key), std::string(key) + " must be one of " + list + ", not '" + text + "'");
    return -1;
  }

  void Recording(const toml::table& table, RecordingConfig& r);
  void Channel(const toml::table& table, ChannelConfig& c);
  void Channels(const toml::node& node, DeviceConfig& d);
  void Relays(const toml::node& node, DeviceConfig& d);
  void Device(const toml::table& table, const ChannelConfig& defaults, DeviceConfig& d);

 private:
  const std::string source_;
  std::string error_;
};

void Reader::Recording(const toml::table& table, RecordingConfig& r) {
  OnlyKeys(table,
           {"out", "format", "segment_seconds", "keep_days", "max_gib", "metrics", "duration",
            "progress", "log_level", "discard"},
           "[recording]");
  Text(table, "out", false, &r.outputFolder);
  if (const int format = Choice(table, "format", {"mkv", "h263"}); format >= 0) {
    r.format = format == 0 ? Format::kMkv : Format::kH263;
  }
  Int(table, "segment_seconds", 1, 7 * 24 * 3600, &r.segmentSeconds);
  Int(table, "keep_days", 0, 100000, &r.keepDays);
  if (const toml::node* gib = table.get("max_gib"); gib && ok()) {
    const auto value = gib->value<double>();  // a whole number is fine too
    if (!value || !(*value >= 0) || *value > 1e6) {
      Fail(*gib, "max_gib must be a number from 0 to 1000000");
    } else {
      r.maxGib = *value;
    }
  }
  Text(table, "metrics", true, &r.metricsAddress);
  if (!r.metricsAddress.empty() && r.metricsAddress.find(':') == std::string::npos) {
    Fail(*table.get("metrics"), "metrics must be ADDRESS:PORT");
  }
  Int(table, "duration", 0, 7 * 24 * 3600, &r.durationSeconds);
  Text(table, "progress", true, &r.progressFile);
  Int(table, "log_level", 0, 2, &r.logLevel);
  if (const toml::node* discard = table.get("discard"); discard && ok()) {
    const auto value = discard->value_exact<bool>();
    if (!value) return Fail(*discard, "discard must be true or false");
    r.discard = *value;
  }
}

// The keys a channel shares with its device's defaults.
void Reader::Channel(const toml::table& table, ChannelConfig& c) {
  if (const int code = Choice(table, "resolution", {"cif", "2cif", "4cif"}); code >= 0) {
    c.resolution = kResolutions[code];
  }
  Int(table, "interval_ms", 1, 60000, &c.frameIntervalMs);
  Int(table, "quality", 0, 100, &c.quality);
}

// channels = "all", [1, 3], or [[devices.channels]] tables with a camera each.
void Reader::Channels(const toml::node& node, DeviceConfig& d) {
  if (node.value_exact<std::string>() == "all") return;
  const toml::array* list = node.as_array();
  if (!list || list->empty()) {
    return Fail(node, "channels must be \"all\", a list of camera numbers or channel tables");
  }
  std::set<int> cameras;
  for (const toml::node& item : *list) {
    if (!ok()) return;
    ChannelConfig c = d.defaults;
    if (const toml::table* table = item.as_table()) {
      OnlyKeys(*table, {"camera", "resolution", "interval_ms", "quality"}, "a channel");
      c.camera = 0;
      Int(*table, "camera", 1, kMaxCamera, &c.camera);
      if (ok() && c.camera == 0) return Fail(item, "a channel needs its camera (from 1)");
      Channel(*table, c);
    } else if (const auto camera = item.value_exact<std::int64_t>();
               camera && *camera >= 1 && *camera <= kMaxCamera) {
      c.camera = static_cast<int>(*camera);
    } else {
      return Fail(item, "a camera number must be from 1 to " + std::to_string(kMaxCamera));
    }
    if (!ok()) return;
    if (!cameras.insert(c.camera).second) {
      return Fail(item, "camera " + std::to_string(c.camera) + " is listed twice");
    }
    d.channels.push_back(c);
  }
}

// relays = { 2 = "on", 3 = false }
void Reader::Relays(const toml::node& node, DeviceConfig& d) {
  const toml::table* table = node.as_table();
  if (!table) return Fail(node, "relays must be a table of output = \"on\" or \"off\"");
  for (auto&& [key, value] : *table) {
    const std::string name(key.str());
    char* end = nullptr;
    const long output = std::strtol(name.c_str(), &end, 10);
    if (name.empty() || *end != '\0' || output < 1 || output > kMaxCamera) {
      return Fail(key.source(), "relay output '" + name + "' must be a number from 1 to " +
                                    std::to_string(kMaxCamera));
    }
    bool on = false;
    if (const auto flag = value.value_exact<bool>()) {
      on = *flag;
    } else if (const auto text = value.value_exact<std::string>();
               text && (*text == "on" || *text == "off")) {
      on = *text == "on";
    } else {
      return Fail(value, "relay output " + name + " must be \"on\" or \"off\"");
    }
    d.relays.emplace_back(static_cast<int>(output), on);
  }
}

bool IsFolderName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (const char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') {
      return false;
    }
  }
  return true;
}

void Reader::Device(const toml::table& table, const ChannelConfig& defaults, DeviceConfig& d) {
  OnlyKeys(table,
           {"name", "address", "port", "type", "user", "password_file", "password_env", "api",
            "channels", "resolution", "interval_ms", "quality", "relays"},
           "a device");
  d.defaults = defaults;
  Text(table, "name", false, &d.name);
  if (ok() && !table.get("name")) return Fail(table, "a device needs a name");
  if (ok() && !IsFolderName(d.name)) {
    return Fail(*table.get("name"),
                "device name '" + d.name + "' may hold only letters, digits, '-', '_' and '.'");
  }
  Text(table, "address", false, &d.address);
  if (ok() && d.address.empty()) return Fail(table, "device " + d.name + " needs an address");
  Int(table, "port", 1, 65535, &d.port);
  if (ok() && d.port == 0) return Fail(table, "device " + d.name + " needs a port");
  Text(table, "type", false, &d.deviceType);
  if (ok() && d.deviceType.find('/') != std::string::npos) {
    return Fail(*table.get("type"), "type must be a device-type name, not a path");
  }
  Text(table, "user", true, &d.user);
  // Either source given here replaces the command line's.
  if (table.get("password_file") && table.get("password_env")) {
    return Fail(*table.get("password_env"), "give password_file or password_env, not both");
  }
  if (table.get("password_file")) d.passwordEnv.clear();
  if (table.get("password_env")) d.passwordFile.clear();
  Text(table, "password_file", false, &d.passwordFile);
  Text(table, "password_env", false, &d.passwordEnv);
  if (const int api = Choice(table, "api", {"new", "old"}); api >= 0) {
    d.api = api == 0 ? Api::kNew : Api::kOld;
  }
  Channel(table, d.defaults);
  if (const toml::node* channels = table.get("channels"); channels && ok()) {
    Channels(*channels, d);
  }
  if (const toml::node* relays = table.get("relays"); relays && ok()) Relays(*relays, d);
}

// What the command line sets is every device's default too.
DeviceConfig DeviceDefaults(const Options& o) {
  DeviceConfig d;
  d.deviceType = o.deviceType;
  d.user = o.user;
  d.passwordFile = o.passwordFile;
  if (d.passwordFile.empty()) d.passwordEnv = "VELTRANE_PASSWORD";
  d.api = o.api;
  d.defaults.resolution = o.resolution;
  d.defaults.frameIntervalMs = o.frameIntervalMs;
  d.defaults.quality = o.quality;
  return d;
}

// The recording settings of the options: all of them (onlyGiven false), or those given on
// the command line.
void TakeRecordingOptions(const Options& o, bool onlyGiven, RecordingConfig& r) {
  const auto take = [&](const char* flag, auto& to, const auto& from) {
    if (!onlyGiven || o.given.count(flag) > 0) to = from;
  };
  take("--out", r.outputFolder, o.outputFolder);
  take("--format", r.format, o.format);
  take("--segment-seconds", r.segmentSeconds, o.segmentSeconds);
  take("--keep-days", r.keepDays, o.keepDays);
  take("--max-gib", r.maxGib, o.maxGib);
  take("--metrics", r.metricsAddress, o.metricsAddress);
  take("--duration", r.durationSeconds, o.durationSeconds);
  take("--progress", r.progressFile, o.progressFile);
  take("--log-level", r.logLevel, o.logLevel);
  take("--discard", r.discard, o.discard);
}

RecordingConfig RecordingDefaults(const Options& o) {
  RecordingConfig r;
  TakeRecordingOptions(o, false, r);
  return r;
}

}  // namespace

RecorderConfig ConfigFromOptions(const Options& options) {
  RecorderConfig config;
  config.recording = RecordingDefaults(options);
  DeviceConfig device = DeviceDefaults(options);
  for (int camera : options.channels) {
    ChannelConfig c = device.defaults;
    c.camera = camera;
    device.channels.push_back(c);
  }
  // Relays are switched on the first device only, as the option says.
  device.relays = options.outputs;
  if (options.address.empty()) {
    device.name = "sim";
    config.devices.push_back(device);
    return config;
  }
  device.address = options.address;
  for (int port : options.ports) {
    device.port = port;
    device.name = options.address + ":" + std::to_string(port);
    config.devices.push_back(device);
    device.relays.clear();
  }
  return config;
}

std::optional<RecorderConfig> ParseConfig(std::string_view text, const std::string& source,
                                          const Options& defaults, std::string* error) {
  toml::table root;
  try {
    root = toml::parse(text, source);
  } catch (const toml::parse_error& e) {
    *error = source + ":" + std::to_string(e.source().begin.line) + ": " +
             std::string(e.description());
    return std::nullopt;
  }
  Reader reader(source);
  RecorderConfig config;
  config.fromFile = true;
  config.recording = RecordingDefaults(defaults);
  reader.OnlyKeys(root, {"recording", "devices"}, "the file");
  if (const toml::node* recording = root.get("recording"); recording && reader.ok()) {
    if (const toml::table* table = recording->as_table()) {
      reader.Recording(*table, config.recording);
      // What the command line states outright is meant for this run.
      TakeRecordingOptions(defaults, true, config.recording);
    } else {
      reader.Fail(*recording, "recording must be a table: [recording]");
    }
  }
  const toml::node* devices = root.get("devices");
  const toml::array* list = devices ? devices->as_array() : nullptr;
  if (reader.ok() && (!list || list->empty())) {
    reader.Fail(devices ? devices->source() : root.source(),
                "the file names no device: add a [[devices]] table");
  }
  const DeviceConfig deviceDefaults = DeviceDefaults(defaults);
  std::set<std::string> names;
  for (std::size_t i = 0; list && i < list->size() && reader.ok(); ++i) {
    const toml::node& item = *list->get(i);
    const toml::table* table = item.as_table();
    if (!table) {
      reader.Fail(item, "devices must be tables: [[devices]]");
      break;
    }
    DeviceConfig device = deviceDefaults;
    device.relays.clear();
    reader.Device(*table, deviceDefaults.defaults, device);
    if (reader.ok() && !names.insert(device.name).second) {
      reader.Fail(*table->get("name"), "device name '" + device.name + "' is used twice");
    }
    if (reader.ok()) config.devices.push_back(std::move(device));
  }
  if (!reader.ok()) {
    *error = reader.error();
    return std::nullopt;
  }
  return config;
}

std::optional<RecorderConfig> LoadConfig(const std::string& path, const Options& defaults,
                                         std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read the configuration file " + path;
    return std::nullopt;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return ParseConfig(text.str(), path, defaults, error);
}

}  // namespace recorder
