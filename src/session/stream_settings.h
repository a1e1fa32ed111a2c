// The value tables behind the six stream settings a session writes to the device.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/device_config.h"

namespace corvane {

// Command words of the settings, in the order they are sent, and of the apply request.
constexpr std::uint32_t kCmdFrameRateA = 0x06060831;
constexpr std::uint32_t kCmdFrameRateB = 0x06040831;
constexpr std::uint32_t kCmdResolution = 0x06080831;
constexpr std::uint32_t kCmdQuality = 0x060A0831;
constexpr std::uint32_t kCmdQualityRepeat = 0x060B0831;
constexpr std::uint32_t kCmdQualityNumber = 0x06070831;
constexpr std::uint32_t kCmdApplySettings = 0x06000831;

struct FrameRateValues {
  std::uint32_t a = 0;
  std::uint32_t b = 0;
};

// Values A and B for a frame interval in milliseconds; false below 40 ms.
bool FrameRateValuesFor(std::uint32_t frameIntervalMs, FrameRateValues& values);

// Device value of a resolution code (0 to 4); false for any other code.
bool ResolutionValueFor(std::int32_t resolutionCode, std::uint32_t& value);

// Quality level 1 to 5 of a host quality.
std::int32_t QualityLevelFor(std::int32_t quality);

// Quality value of a level; a level outside 1 to 5 counts as 3.
std::uint32_t QualityValueFor(std::int32_t qualityLevel);

// The configured number of a level ("quality/min" ... "quality/max"), as atoi reads it.
std::int32_t QualityNumberFor(const DeviceConfig& config, std::int32_t qualityLevel);

}  // namespace corvane
