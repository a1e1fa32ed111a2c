// Arbitrary bytes as a device-type file: the settings store and the capability reader must
// answer or refuse, never crash or read out of bounds. The store only reads files beside
// the executable, so each input goes through a private file there.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "settings/camera_capabilities.h"
#include "settings/xml_settings_api.h"

namespace {

const char* const kKeys[] = {
    "cameraCount",       "resolutions/cif",  "resolutions/cifx", "resolutions/cif4y", "framerate/max",
    "io/input",          "io/output/target", "mpeg4/profile/current", "mode", "a/b/c/d/e/f/g/h",
};

const std::string& DeviceType() {
  // "MPEG" in the name lets the codec fall-back rule run both ways, depending on the file.
  static const std::string type = ".settings_fuzzer_MPEG_" + std::to_string(::getpid());
  return type;
}

bool WriteInput(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

// The input's first line doubles as a key, so paths of any shape get matched too.
std::string KeyFromInput(const std::uint8_t* data, std::size_t size) {
  std::string key;
  for (std::size_t i = 0; i < size && i < 2048 && data[i] != '\n' && data[i] != 0; ++i) {
    key.push_back(static_cast<char>(data[i]));
  }
  return key;
}

void QueryStore(const std::string& fileName, const std::string& inputKey) {
  CXMLSettingsAPI store;
  if (store.Load(fileName.c_str()) != 0) return;
  for (const char* key : kKeys) {
    store.GetValue("%s/%s", "bosch", key);
    store.GetValue("%s", key);
  }
  store.GetValue("%s", inputKey.c_str());
}

void ReadCapabilityRecord() {
  CCameraCapabilities caps;
  std::string rootName;
  if (!ReadCapabilities(DeviceType().c_str(), caps, rootName)) return;
  for (std::int32_t c = caps.FirstCodec(); c != 0; c = caps.NextCodec()) {
  }
  for (const ResolutionInfo* r = caps.FirstResolution(); r != nullptr; r = caps.NextResolution()) {
    FindResolutionCode(caps, r->width, r->height);
  }
  std::int32_t value = 0;
  CXMLSettingsAPI store;
  if (store.Load((DeviceType() + ".xml").c_str()) == 0) {
    ReadInt(store, rootName, "cameraCount", value);
    std::string text;
    ReadString(store, rootName, "mode", text);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string fileName = DeviceType() + ".xml";
  const std::string path = platform::ExecutableFolder() + fileName;
  if (!WriteInput(path, data, size)) return 0;
  QueryStore(fileName, KeyFromInput(data, size));
  ReadCapabilityRecord();
  std::remove(path.c_str());
  return 0;
}
