// What a device type can do, as the newer host interface needs it: camera count, picture
// sizes with the driver's resolution code for each, and the codings offered. Read from
// the device-type file, whose root element may have any name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CXMLSettingsAPI;

// Coding formats in the codec list.
constexpr std::int32_t kCodecMpeg4 = 4;
constexpr std::int32_t kCodecJpeg = 2;

// Resolution codes of the driver's channel start.
constexpr std::int32_t kResolutionCif = 2;
constexpr std::int32_t kResolution2Cif = 3;
constexpr std::int32_t kResolution4Cif = 4;

struct ResolutionInfo {
  std::int32_t resolutionCode = 0;
  // From the file, cut to their low 16 bits.
  std::uint16_t width = 0;
  std::uint16_t height = 0;
};

// Plain record, filled by ReadCapabilities and never cleared. No two entries with a
// non-zero width share width and height. The walks keep their position here, so two walks
// over the same list must not overlap.
class CCameraCapabilities {
 public:
  // Coding formats in the order found (kCodecMpeg4, kCodecJpeg).
  std::vector<std::int32_t> codecList;
  // Picture sizes in file order.
  std::vector<ResolutionInfo> resolutionTable;
  // Set by every successful read; 1 when the file names no camera count.
  std::int32_t cameraCount = 0;
  std::uint32_t codecCursor = 0;
  std::uint32_t resolutionCursor = 0;

  // Codec walk: the entry at the cursor, then the cursor moves on; 0 past the end.
  std::int32_t FirstCodec();
  std::int32_t NextCodec();
  // Resolution walk: the entry at the cursor, then the cursor moves on; null past the end.
  const ResolutionInfo* FirstResolution();
  const ResolutionInfo* NextResolution();
};

// Reads deviceType + ".xml" from beside the executable into caps and writes the root
// element's name to rootName. False, leaving caps as it was, when deviceType is null or
// contains '/', or the file is missing, empty or not well-formed. A second read
// into the same record appends the codecs again and adds only sizes not yet present.
bool ReadCapabilities(const char* deviceType, CCameraCapabilities& caps, std::string& rootName);

// Parses deviceType + ".xml" and reports its root element's name and whether that element
// has an `mpeg4` child element.
bool ProbeDeviceFile(const char* deviceType, std::string& rootName, bool& hasMpeg4Child);

// The resolution code of the first entry of exactly this size; 0 when there is none.
// Restarts the record's resolution walk.
std::int32_t FindResolutionCode(CCameraCapabilities& caps, std::uint16_t width, std::uint16_t height);

// Value of rootName + "/" + name from a loaded store. True when it is not empty.
bool ReadString(CXMLSettingsAPI& store, const std::string& rootName, const char* name, std::string& text);

// Leading decimal number of rootName + "/" + name (leading white space and a sign allowed,
// 0 when there are no digits). An empty value gives false and leaves value untouched;
// otherwise value is written and the result is true when the number is not 0 or the text
// starts with '0'.
bool ReadInt(CXMLSettingsAPI& store, const std::string& rootName, const char* name, std::int32_t& value);
