// Device-type files built from fuzz bytes, with the capability keys in any combination and
// with any values: the capability reader must read every well-formed file, and what it
// reports must follow from the file (camera count, distinct picture sizes with their codes,
// codings). The file goes through one private path beside the executable.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "platform/platform.h"
#include "settings/camera_capabilities.h"

namespace {

const char* const kRootNames[] = {"bosch", "device", "nvs", "Root"};
const char* const kKeys[] = {
    "cameraCount",       "cameracount",      "CameraCount",       "resolutions/cif",
    "resolutions/cifx",  "resolutions/cify", "resolutions/cif2",  "resolutions/cif2x",
    "resolutions/cif2y", "resolutions/cif4", "resolutions/cif4x", "resolutions/cif4y",
    "mode",              "mpeg4",            "io/input",          "framerate/max"};
const char* const kValues[] = {"true", "false", "0", "1", "352", "288", "704", "576",
                               "-3",   " 12",   "mpeg", "jpeg", "mpeg,jpeg", ""};

std::string DeviceType(bool mpegInName) {
  // "MPEG" in the name lets the codec fall-back rule run both ways.
  return std::string(mpegInName ? ".caps_fuzzer_MPEG_" : ".caps_fuzzer_") +
         std::to_string(::getpid());
}

std::string Text(FuzzedDataProvider& in) {
  if (in.ConsumeBool()) return kValues[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kValues) - 1)];
  std::string text = in.ConsumeRandomLengthString(24);
  // Text the XML writer can carry.
  text.erase(std::remove_if(text.begin(), text.end(),
                            [](char c) { return static_cast<unsigned char>(c) < 0x20; }),
             text.end());
  return text;
}

pugi::xml_node Element(pugi::xml_node parent, const std::string& path) {
  pugi::xml_node node = parent;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t slash = std::min(path.find('/', start), path.size());
    const std::string name = path.substr(start, slash - start);
    pugi::xml_node child = node.child(name.c_str());
    node = child ? child : node.append_child(name.c_str());
    start = slash + 1;
  }
  return node;
}

void Expect(bool condition) {
  if (!condition) std::abort();
}

// What the file says, read straight from the document that was written.
struct Expected {
  std::int32_t cameraCount = 1;
  std::vector<std::int32_t> codecs;
};

Expected FromDocument(pugi::xml_node root, bool mpegInName) {
  Expected e;
  for (const char* key : {"cameraCount", "cameracount", "CameraCount"}) {
    const char* text = root.child(key).attribute("value").value();
    const auto n = static_cast<std::int32_t>(std::strtol(text, nullptr, 10));
    if (n != 0) {
      e.cameraCount = n;
      break;
    }
  }
  const std::string mode = root.child("mode").attribute("value").value();
  if (!mode.empty()) {
    if (mode.find("mpeg") != std::string::npos) e.codecs.push_back(kCodecMpeg4);
    if (mode.find("jpeg") != std::string::npos) e.codecs.push_back(kCodecJpeg);
  } else {
    e.codecs.push_back(root.child("mpeg4") || mpegInName ? kCodecMpeg4 : kCodecJpeg);
  }
  return e;
}

void Check(const CCameraCapabilities& caps) {
  Expect(caps.cameraCount != 0);
  for (std::size_t i = 0; i < caps.resolutionTable.size(); ++i) {
    const ResolutionInfo& r = caps.resolutionTable[i];
    Expect(r.resolutionCode == kResolutionCif || r.resolutionCode == kResolution2Cif ||
           r.resolutionCode == kResolution4Cif);
    for (std::size_t j = 0; j < i && r.width != 0; ++j) {
      const ResolutionInfo& s = caps.resolutionTable[j];
      Expect(s.width != r.width || s.height != r.height);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const bool mpegInName = in.ConsumeBool();
  pugi::xml_document document;
  pugi::xml_node root = document.append_child(
      kRootNames[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kRootNames) - 1)]);
  while (in.remaining_bytes() > 0) {
    const char* key = kKeys[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kKeys) - 1)];
    pugi::xml_node node = Element(root, key);
    if (in.ConsumeBool()) {
      pugi::xml_attribute value = node.attribute("value");
      if (!value) value = node.append_attribute("value");
      value = Text(in).c_str();
    }
  }

  const std::string type = DeviceType(mpegInName);
  const std::string path = platform::ExecutableFolder() + type + ".xml";
  if (!document.save_file(path.c_str())) return 0;

  // Both reads first: a failed check must not leave the file behind.
  CCameraCapabilities caps;
  std::string rootName;
  const bool read = ReadCapabilities(type.c_str(), caps, rootName);
  CCameraCapabilities again = caps;
  std::string againRoot;
  const bool readAgain = ReadCapabilities(type.c_str(), again, againRoot);
  std::remove(path.c_str());

  Expect(read && readAgain && rootName == root.name() && againRoot == rootName);
  Check(caps);
  const Expected expected = FromDocument(root, mpegInName);
  Expect(caps.cameraCount == expected.cameraCount && caps.codecList == expected.codecs);
  for (const ResolutionInfo& r : caps.resolutionTable) {
    // The first entry of a size names its code.
    const auto first = std::find_if(caps.resolutionTable.begin(), caps.resolutionTable.end(),
                                    [&](const ResolutionInfo& e) {
                                      return e.width == r.width && e.height == r.height;
                                    });
    Expect(FindResolutionCode(caps, r.width, r.height) == first->resolutionCode);
  }
  // A second read into the same record adds the codings again and only sizes not yet there.
  const std::size_t zeroWidth = static_cast<std::size_t>(
      std::count_if(caps.resolutionTable.begin(), caps.resolutionTable.end(),
                    [](const ResolutionInfo& r) { return r.width == 0; }));
  Check(again);
  Expect(again.codecList.size() == 2 * caps.codecList.size());
  Expect(again.resolutionTable.size() == caps.resolutionTable.size() + zeroWidth);
  return 0;
}
