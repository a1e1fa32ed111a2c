// Open: reads the device-type file into the configuration and builds the lists the host
// enumerates.
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "driver/slot_barrier.h"
#include "driver/veltrane.h"
#include "settings/xml_settings_api.h"

namespace corvane {

namespace {

constexpr const char* kRootName = "bosch";
constexpr std::size_t kMaxFileNameLength = 260;
constexpr int kOpenNetworkTimeoutMs = 20000;
// Bound of the file's "networktimeout": sessions and the digital I/O object derive waits of
// several times the time-out from it, which must stay well inside an int.
constexpr long kMaxNetworkTimeoutMs = 600000;

enum ReaderResult : int {
  kReaderOk = 0,
  kReaderBadFileName = 4,
  kReaderLoadFailed = 15,
};

// The C library's atoi, without its undefined behaviour on overflow.
int ToInt(const std::string& text) {
  return static_cast<int>(std::strtol(text.c_str(), nullptr, 10));
}

bool IsTrue(const std::string& text) {
  if (text.size() != 4) return false;
  std::string lower;
  for (char c : text) lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  return lower == "true";
}

struct TextKey {
  const char* key;
  std::string DeviceConfig::*field;
};

// Texts read in this order after "camera", "path", "target" and "cameraCount".
constexpr TextKey kTextKeys[] = {
    {"settingspath", &DeviceConfig::settingsPath},
    {"settingstarget", &DeviceConfig::settingsTarget},
    {"framerate/string", &DeviceConfig::frameRateText},
    {"color/string", &DeviceConfig::colorText},
    {"color/grayscale", &DeviceConfig::grayscaleValue},
    {"color/fullColor", &DeviceConfig::fullColorValue},
    {"quality/string", &DeviceConfig::qualityText},
    {"quality/min", &DeviceConfig::qualityMin},
    {"quality/low", &DeviceConfig::qualityLow},
    {"quality/medium", &DeviceConfig::qualityMedium},
    {"quality/high", &DeviceConfig::qualityHigh},
    {"quality/max", &DeviceConfig::qualityMax},
    {"size/string", &DeviceConfig::sizeText},
    {"size/tinySize", &DeviceConfig::tinySize},
    {"size/smallSize", &DeviceConfig::smallSize},
    {"size/fullSize", &DeviceConfig::fullSize},
    {"size/hugeSize", &DeviceConfig::hugeSize},
    {"mpeg4/protocol", &DeviceConfig::mpeg4Protocol},
    {"mpeg4/profile/string", &DeviceConfig::mpeg4ProfileText},
    {"mpeg4/profile/current", &DeviceConfig::mpeg4ProfileCurrent},
    {"mpeg4/icount/string", &DeviceConfig::iFrameCountText},
    {"mpeg4/icount/current", &DeviceConfig::iFrameCountCurrent},
    {"mpeg4/pcount/string", &DeviceConfig::pFrameCountText},
    {"mpeg4/pcount/current", &DeviceConfig::pFrameCountCurrent},
};

struct FlagKey {
  const char* key;
  std::uint8_t DeviceConfig::*field;
};

constexpr FlagKey kResolutionFlags[] = {
    {"resolutions/qcif", &DeviceConfig::qcifEnabled},
    {"resolutions/cif", &DeviceConfig::cifEnabled},
    {"resolutions/cif2", &DeviceConfig::cif2Enabled},
    {"resolutions/cif4", &DeviceConfig::cif4Enabled},
};

struct NumberKey {
  const char* key;
  std::int32_t DeviceConfig::*field;
};

constexpr NumberKey kNumberKeys[] = {
    {"resolutions/qcifx", &DeviceConfig::qcifWidth},
    {"resolutions/qcify", &DeviceConfig::qcifHeight},
    {"resolutions/cifx", &DeviceConfig::cifWidth},
    {"resolutions/cify", &DeviceConfig::cifHeight},
    {"resolutions/cif2x", &DeviceConfig::cif2Width},
    {"resolutions/cif2y", &DeviceConfig::cif2Height},
    {"resolutions/cif4x", &DeviceConfig::cif4Width},
    {"resolutions/cif4y", &DeviceConfig::cif4Height},
    {"cameraCount", &DeviceConfig::cameraCount},
    {"framerate/max", &DeviceConfig::maxFrameRate},
};

struct IntervalRow {
  int threshold;  // frames per second the device must reach
  int intervalMs;
};

constexpr IntervalRow k25FpsIntervals[] = {{20, 40}, {10, 83}, {8, 120}, {6, 160}, {5, 200},
                                           {4, 240}, {3, 320}, {2, 480}, {1, 1000}};
constexpr IntervalRow k30FpsIntervals[] = {{30, 33},  {20, 50},  {15, 66}, {10, 99}, {7, 133},
                                           {6, 166},  {5, 200},  {4, 250}, {2, 500}, {1, 1000}};

// The reader's view of one device-type file: every key lives under the root "bosch".
class ConfigFile {
 public:
  std::int32_t Load(const std::string& fileName) { return store_.Load(fileName.c_str()); }
  std::string Get(const char* key) { return store_.GetValue("%s/%s", kRootName, key); }

  void ReadText(const char* key, std::string& field) { field = Get(key); }
  void ReadFlag(const char* key, std::uint8_t& flag) {
    if (IsTrue(Get(key))) flag = 1;  // a flag once set is never cleared
  }
  void ReadNumber(const char* key, std::int32_t& field) {
    const std::string value = Get(key);
    if (!value.empty()) field = ToInt(value);
  }

 private:
  CXMLSettingsAPI store_;
};

}  // namespace

int CVeltrane::ReadConfiguration(const std::string& fileName) {
  // The device type names a file beside the executable, never a path.
  if (fileName.empty() || fileName.size() > kMaxFileNameLength ||
      fileName.find('/') != std::string::npos)
    return kReaderBadFileName;
  ConfigFile file;
  if (file.Load(fileName) < 0) return kReaderLoadFailed;

  DeviceConfig& c = config_;
  file.ReadText("camera", c.camera);
  file.ReadText("path", c.path);
  file.ReadText("target", c.target);
  c.cameraCount = ToInt(file.Get("cameraCount"));
  for (const TextKey& k : kTextKeys) file.ReadText(k.key, c.*k.field);
  for (const FlagKey& k : kResolutionFlags) file.ReadFlag(k.key, c.*k.field);
  for (const NumberKey& k : kNumberKeys) file.ReadNumber(k.key, c.*k.field);
  for (int r = 0; r < 4; ++r) {
    const std::string value = file.Get(("framerate/res" + std::to_string(r)).c_str());
    if (!value.empty()) maxFrameRates_[r] = static_cast<std::int8_t>(ToInt(value));
  }
  file.ReadNumber("io/output", c.outputCount);
  if (c.outputCount != 0) {
    file.ReadText("io/output/target", c.outputTarget);
    file.ReadText("io/output/string", c.outputText);
    file.ReadText("io/output/low", c.outputLow);
    file.ReadText("io/output/high", c.outputHigh);
  }
  file.ReadNumber("io/input", c.inputCount);
  if (c.inputCount != 0) {
    file.ReadText("io/input/target", c.inputTarget);
    file.ReadText("io/input/check", c.inputCheck);
    file.ReadText("io/input/monitor", c.inputMonitor);
  }
  if (c.inputCount != 0 || c.outputCount != 0) file.ReadText("io/path", c.ioPath);
  file.ReadFlag("resolutions/ccria", c.resolutionChangeableInAlarm);
  file.ReadFlag("framerate/ccfia", c.frameRateChangeableInAlarm);
  // Not a shipped key: lets a test device type shorten every time-out. 0 or below (or no
  // key) leaves the default; larger values are cut to the bound.
  const std::string timeout = file.Get("networktimeout");
  const long timeoutMs = timeout.empty() ? 0 : std::strtol(timeout.c_str(), nullptr, 10);
  fileNetworkTimeout_ = timeoutMs <= 0 ? 0
                        : timeoutMs > kMaxNetworkTimeoutMs ? static_cast<int>(kMaxNetworkTimeoutMs)
                                                           : static_cast<int>(timeoutMs);
  return kReaderOk;
}

bool CVeltrane::BuildFrameIntervals() {
  frameIntervals_.clear();
  const int maxRate = config_.maxFrameRate;
  if (maxRate == 0) return false;
  if (videoMode_ == 0) {
    for (const IntervalRow& row : k25FpsIntervals)
      if (row.threshold <= maxRate) frameIntervals_.push_back(row.intervalMs);
  } else {
    for (const IntervalRow& row : k30FpsIntervals)
      if (row.threshold <= maxRate) frameIntervals_.push_back(row.intervalMs);
  }
  return true;
}

int CVeltrane::Open(const char* /*unused*/) {
  return SlotBarrier(0, [&] { return OpenDevice(); },
                     [&](const char* what) { Log(kLogError, "CVeltrane::Open() -> %s", what); });
}

int CVeltrane::OpenDevice() {
  if (opened_) return 1;
  if (GetServerAddress().empty()) Log(kLogError, "CVeltrane::Open() -> IPaddress hasn't been set");
  const std::string serverType = this->serverType();
  if (serverType.empty()) {
    Log(kLogError, "CVeltrane::Open() -> IP Server Type hasn't been set");
    return 0;
  }
  std::string fileName;
  int readResult = kReaderLoadFailed;
  try {
    fileName = serverType + ".xml";
    readResult = ReadConfiguration(fileName);
  } catch (const std::exception&) {
    readResult = kReaderLoadFailed;
  }
  if (readResult != kReaderOk) {
    Log(kLogError, "CVeltrane::Open() -> Cannot read configuration from file %s", fileName.c_str());
    return 0;
  }
  if (!BuildFrameIntervals()) return 0;
  if (resolutions_.empty()) {
    if (config_.qcifEnabled) resolutions_.push_back(kResolutionQcif);
    if (config_.cifEnabled) resolutions_.push_back(kResolutionCif);
    if (config_.cif2Enabled) resolutions_.push_back(kResolution2Cif);
    if (config_.cif4Enabled) resolutions_.push_back(kResolution4Cif);
  }
  networkTimeout_ = fileNetworkTimeout_ > 0 ? fileNetworkTimeout_ : kOpenNetworkTimeoutMs;
  CreateCameraSessions();
  LogIncompleteSessions();
  try {
    if (config_.inputCount > 0 || config_.outputCount > 0) {
      RetireDigitalIO();
      digitalIO_ = std::make_unique<CBoschDigitalIO>(this, networkTimeout_);
    }
    AcquireLibrary();
  } catch (...) {
    // A failed Open leaves no session or digital I/O thread behind.
    DeleteCameraSessions();
    RetireDigitalIO();
    throw;
  }
  opened_ = true;
  return 1;
}

}  // namespace corvane
