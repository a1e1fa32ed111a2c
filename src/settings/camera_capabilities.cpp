#include "settings/camera_capabilities.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include <pugixml.hpp>

#include "platform/platform.h"
#include "settings/settings_document.h"
#include "settings/xml_settings_api.h"

namespace {

struct ResolutionRow {
  std::int32_t code;
  const char* enableKey;
  const char* widthKey;
  const char* heightKey;
};

constexpr ResolutionRow kResolutionRows[] = {
    {kResolutionCif, "resolutions/cif", "resolutions/cifx", "resolutions/cify"},
    {kResolution2Cif, "resolutions/cif2", "resolutions/cif2x", "resolutions/cif2y"},
    {kResolution4Cif, "resolutions/cif4", "resolutions/cif4x", "resolutions/cif4y"},
};

// Device types spell the key in more than one way; the first non-zero one wins.
constexpr const char* kCameraCountKeys[] = {"cameraCount", "cameracount", "CameraCount"};

std::string ToLowerAscii(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::int32_t ReadCameraCount(CXMLSettingsAPI& store, const std::string& rootName) {
  for (const char* key : kCameraCountKeys) {
    std::int32_t count = 0;
    if (ReadInt(store, rootName, key, count) && count != 0) return count;
  }
  return 1;
}

bool ReadResolutionRow(CXMLSettingsAPI& store, const std::string& rootName, const ResolutionRow& row,
                       ResolutionInfo& entry) {
  std::string enabled;
  ReadString(store, rootName, row.enableKey, enabled);
  if (enabled != "true") return false;
  std::int32_t width = 0;
  std::int32_t height = 0;
  if (!ReadInt(store, rootName, row.widthKey, width)) return false;
  if (!ReadInt(store, rootName, row.heightKey, height)) return false;
  entry.resolutionCode = row.code;
  entry.width = static_cast<std::uint16_t>(width);
  entry.height = static_cast<std::uint16_t>(height);
  return true;
}

void AddResolution(CCameraCapabilities& caps, const ResolutionInfo& entry) {
  if (entry.width != 0) {
    const bool present = std::any_of(caps.resolutionTable.begin(), caps.resolutionTable.end(),
                                     [&](const ResolutionInfo& r) {
                                       return r.width == entry.width && r.height == entry.height;
                                     });
    if (present) return;
  }
  caps.resolutionTable.push_back(entry);
}

void ReadCodecs(CXMLSettingsAPI& store, const std::string& rootName, bool hasMpeg4Child,
                const char* deviceType, CCameraCapabilities& caps) {
  std::string mode;
  if (ReadString(store, rootName, "mode", mode)) {
    if (mode.find("mpeg") != std::string::npos) caps.codecList.push_back(kCodecMpeg4);
    if (mode.find("jpeg") != std::string::npos) caps.codecList.push_back(kCodecJpeg);
    return;
  }
  if (hasMpeg4Child || ToLowerAscii(deviceType).find("mpeg") != std::string::npos) {
    caps.codecList.push_back(kCodecMpeg4);
  } else {
    caps.codecList.push_back(kCodecJpeg);
  }
}

std::string ReadKey(CXMLSettingsAPI& store, const std::string& rootName, const char* name) {
  // The root name comes from the file: it goes in as an argument, never as the format.
  return store.GetValue("%s/%s", rootName.c_str(), name);
}

}  // namespace

std::int32_t CCameraCapabilities::FirstCodec() {
  codecCursor = 0;
  return NextCodec();
}

std::int32_t CCameraCapabilities::NextCodec() {
  if (codecCursor >= codecList.size()) return 0;
  return codecList[codecCursor++];
}

const ResolutionInfo* CCameraCapabilities::FirstResolution() {
  resolutionCursor = 0;
  return NextResolution();
}

const ResolutionInfo* CCameraCapabilities::NextResolution() {
  if (resolutionCursor >= resolutionTable.size()) return nullptr;
  return &resolutionTable[resolutionCursor++];
}

bool ReadString(CXMLSettingsAPI& store, const std::string& rootName, const char* name, std::string& text) {
  text = ReadKey(store, rootName, name);
  return !text.empty();
}

bool ReadInt(CXMLSettingsAPI& store, const std::string& rootName, const char* name, std::int32_t& value) {
  const std::string text = ReadKey(store, rootName, name);
  if (text.empty()) return false;
  // atoi's reading, without its undefined behaviour on overflow.
  value = static_cast<std::int32_t>(std::strtol(text.c_str(), nullptr, 10));
  return value != 0 || text[0] == '0';
}

bool ProbeDeviceFile(const char* deviceType, std::string& rootName, bool& hasMpeg4Child) {
  if (deviceType == nullptr) return false;
  const std::string fileName = std::string(deviceType) + ".xml";
  if (!settings_detail::IsPlainFileName(fileName.c_str())) return false;
  const std::string folder = platform::ExecutableFolder();
  if (folder.empty()) return false;

  pugi::xml_document document;
  if (!settings_detail::ParseSettingsFile(folder + fileName, document)) return false;
  const pugi::xml_node root = document.document_element();
  if (!root) return false;
  rootName = root.name();
  hasMpeg4Child = static_cast<bool>(root.child("mpeg4"));
  return true;
}

bool ReadCapabilities(const char* deviceType, CCameraCapabilities& caps, std::string& rootName) {
  bool hasMpeg4Child = false;
  if (!ProbeDeviceFile(deviceType, rootName, hasMpeg4Child)) return false;

  CXMLSettingsAPI store;
  const std::string fileName = std::string(deviceType) + ".xml";
  if (store.Load(fileName.c_str()) != 0) return false;

  caps.cameraCount = ReadCameraCount(store, rootName);
  for (const ResolutionRow& row : kResolutionRows) {
    ResolutionInfo entry;
    if (ReadResolutionRow(store, rootName, row, entry)) AddResolution(caps, entry);
  }
  ReadCodecs(store, rootName, hasMpeg4Child, deviceType, caps);
  return true;
}

std::int32_t FindResolutionCode(CCameraCapabilities& caps, std::uint16_t width, std::uint16_t height) {
  for (const ResolutionInfo* r = caps.FirstResolution(); r != nullptr; r = caps.NextResolution()) {
    if (r->width == width && r->height == height) return r->resolutionCode;
  }
  return 0;
}
