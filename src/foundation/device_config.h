// What a device-type file says about the device. Filled by Open; read afterwards, without a
// lock, by the driver's slots, the camera sessions and the digital I/O object.
#pragma once

#include <cstdint>
#include <string>

namespace corvane {

struct DeviceConfig {
  // Texts kept as read; only the quality values are consulted (by the camera sessions).
  std::string camera;
  std::string path;
  std::string target;
  std::string settingsPath;
  std::string settingsTarget;
  std::string frameRateText;
  std::string colorText;
  std::string grayscaleValue;
  std::string fullColorValue;
  std::string qualityText;
  std::string qualityMin;     // quality level 1
  std::string qualityLow;     // quality level 2
  std::string qualityMedium;  // quality level 3
  std::string qualityHigh;    // quality level 4
  std::string qualityMax;     // quality level 5
  std::string sizeText;
  std::string tinySize;
  std::string smallSize;
  std::string fullSize;
  std::string hugeSize;
  std::string mpeg4Protocol;
  std::string mpeg4ProfileText;
  std::string mpeg4ProfileCurrent;
  std::string iFrameCountText;
  std::string iFrameCountCurrent;
  std::string pFrameCountText;
  std::string pFrameCountCurrent;
  std::string ioPath;
  std::string inputTarget;
  std::string inputCheck;
  std::string inputMonitor;
  std::string outputTarget;
  std::string outputText;
  std::string outputLow;
  std::string outputHigh;

  std::int32_t inputCount = 0;
  std::int32_t outputCount = 0;
  std::int32_t qcifWidth = 0;
  std::int32_t qcifHeight = 0;
  std::int32_t cifWidth = 0;
  std::int32_t cifHeight = 0;
  std::int32_t cif2Width = 0;
  std::int32_t cif2Height = 0;
  std::int32_t cif4Width = 0;
  std::int32_t cif4Height = 0;
  std::int32_t cameraCount = 1;
  std::int32_t maxFrameRate = 0;  // frames per second

  std::uint8_t qcifEnabled = 0;
  std::uint8_t cifEnabled = 0;
  std::uint8_t cif2Enabled = 0;
  std::uint8_t cif4Enabled = 0;
  std::uint8_t frameRateChangeableInAlarm = 0;
  std::uint8_t resolutionChangeableInAlarm = 0;
};

// Resolution codes used throughout.
enum ResolutionCode : int {
  kResolutionQcif = 1,
  kResolutionCif = 2,
  kResolution2Cif = 3,
  kResolution4Cif = 4,
};

}  // namespace corvane
