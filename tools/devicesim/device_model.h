// What the simulated device is: its cameras with their stream settings, its alarm inputs and
// relay outputs, and the answers to the control commands that touch them. Knows nothing of
// sockets, registration or faults; every operation is thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace devicesim {

// Stream settings, in the order the driver writes them: frame-interval values A and B,
// resolution, two quality values, quality level number.
inline constexpr std::array<std::uint32_t, 6> kSettingCommands = {
    0x06060831, 0x06040831, 0x06080831, 0x060A0831, 0x060B0831, 0x06070831};
constexpr std::uint32_t kCmdFrameIntervalA = 0x06060831;
constexpr std::uint32_t kCmdResolution = 0x06080831;

constexpr std::uint32_t kCmdCoderList = 0xFF110C30;
constexpr std::uint32_t kCmdApplySettings = 0x06000831;
constexpr std::uint32_t kCmdStreamSession = 0x06050831;
constexpr std::uint32_t kCmdInputCount = 0x01DB0830;
constexpr std::uint32_t kCmdOutputCount = 0x01DC0830;
constexpr std::uint32_t kCmdInputState = 0x01C00030;
constexpr std::uint32_t kCmdSetOutput = 0x01C10031;
constexpr std::uint32_t kCmdOutputState = 0x00940030;
// Per-line configuration writes the driver sends after reading the counts.
inline constexpr std::array<std::uint32_t, 3> kInputConfigCommands = {0x008D0131, 0x008C0131,
                                                                      0x00350031};
inline constexpr std::array<std::uint32_t, 3> kOutputConfigCommands = {0x00480131, 0x00930131,
                                                                       0x00930130};

constexpr std::uint16_t kCoderFlagVideo = 0x0004;
constexpr std::uint16_t kCoderFlagNotForClient = 0x4000;
// Camera n's unusable coder is numbered kUnusableCoderBase + n.
constexpr std::uint16_t kUnusableCoderBase = 0x80;

constexpr int kMaxCameras = 64;
constexpr int kMaxIoLines = 0xFFFF;

class DeviceModel {
 public:
  // The answer to a command: an error code, or a reply payload (possibly empty).
  struct Answer {
    std::optional<std::uint8_t> error;
    std::vector<std::uint8_t> payload;
  };

  DeviceModel(int cameras, int inputs, int outputs, bool unusableCoderFirst);

  int cameraCount() const { return cameras_; }
  int inputCount() const { return inputs_; }
  int outputCount() const { return outputs_; }

  // Runs one control command (not registration, not video) and says how to answer it. The
  // command's effect happens here whatever the request id; the caller decides whether the
  // answer travels.
  Answer Handle(std::uint32_t commandWord, std::uint16_t line,
                std::span<const std::uint8_t> payload);

  // Inputs and outputs are numbered from 1, as lines on the wire. SetInput and ToggleInput
  // return whether the input exists and changed; ToggleInput stores the new state in active.
  bool SetInput(int input, bool active);
  bool ToggleInput(int input, bool& active);
  bool Input(int input) const;
  bool Output(int output) const;

  // Settings of a camera (from 1); 0 for a camera or command word the device does not have.
  std::uint32_t PendingSetting(int camera, std::uint32_t commandWord) const;
  std::uint32_t AppliedSetting(int camera, std::uint32_t commandWord) const;

  // What the camera's video runs at, as last applied. applyCount grows with every apply of
  // that camera, so a running stream can tell that it must switch.
  struct VideoSettings {
    std::uint32_t resolution = 1;
    std::uint32_t rateDivider = 1;  // A; 0 already counted as 1
    std::uint64_t applyCount = 0;
  };
  VideoSettings Video(int camera) const;

 private:
  using Settings = std::array<std::uint32_t, kSettingCommands.size()>;
  struct Camera {
    Settings pending{};
    Settings applied{};
    std::uint64_t applyCount = 0;
  };

  static std::optional<std::size_t> SettingIndex(std::uint32_t commandWord);
  bool HasCamera(int camera) const { return camera >= 1 && camera <= cameras_; }

  Answer CoderList(std::uint16_t camera) const;
  Answer WriteSetting(std::size_t index, std::uint16_t camera,
                      std::span<const std::uint8_t> payload);
  Answer Apply(std::span<const std::uint8_t> payload);
  Answer SetOutput(std::uint16_t output, std::span<const std::uint8_t> payload);
  Answer WriteConfig(std::uint32_t commandWord, std::uint16_t line,
                     std::span<const std::uint8_t> payload);

  const int cameras_;
  const int inputs_;
  const int outputs_;
  const bool unusableCoderFirst_;

  mutable std::mutex mutex_;
  std::vector<Camera> cameraState_;
  std::vector<bool> inputState_;
  std::vector<bool> outputState_;
  // Last byte written by 0x00930131 per output, read back by 0x00930130.
  std::vector<std::uint8_t> outputMode_;
};

}  // namespace devicesim
