// Arbitrary bytes from a client into the simulated device's request path: the control
// connection's frame decoder, fed in pieces as reads would return them, then the device's
// command handling for every request frame and the registration decoding. Every answer must
// be the one its command, line and payload call for.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "device_model.h"
#include "rcp_wire.h"

namespace {

using devicesim::DeviceModel;

void Expect(bool condition) {
  if (!condition) std::abort();
}

bool IsReply(const DeviceModel::Answer& a) { return !a.error.has_value(); }
bool IsError(const DeviceModel::Answer& a, std::uint8_t code) {
  return a.error.has_value() && *a.error == code && a.payload.empty();
}

void CheckSetting(DeviceModel& model, const rcpwire::Frame& f, const DeviceModel::Answer& a) {
  if (f.payload.size() != 4) return Expect(IsError(a, rcpwire::kErrInvalidPayload));
  if (f.line < 1 || f.line > model.cameraCount()) return Expect(IsError(a, rcpwire::kErrUnknown));
  Expect(IsReply(a) && a.payload.empty());
  Expect(model.PendingSetting(f.line, f.commandWord) == rcpwire::GetU32(f.payload.data()));
}

void CheckCoderList(DeviceModel& model, const rcpwire::Frame& f, const DeviceModel::Answer& a) {
  Expect(IsReply(a) && a.payload.size() % 16 == 0);
  if (f.line < 1 || f.line > model.cameraCount()) return Expect(a.payload.empty());
  // The camera's own coder is listed, usable; any entry before it is not for this client.
  const std::size_t last = a.payload.size() - 16;
  Expect(!a.payload.empty() && rcpwire::GetU16(a.payload.data() + last) == f.line &&
         rcpwire::GetU16(a.payload.data() + last + 2) == devicesim::kCoderFlagVideo);
  for (std::size_t at = 0; at < last; at += 16) {
    Expect((rcpwire::GetU16(a.payload.data() + at + 2) & devicesim::kCoderFlagNotForClient) != 0);
  }
}

void CheckApply(DeviceModel& model, const rcpwire::Frame& f, const DeviceModel::Answer& a) {
  if (f.payload.size() != 4) return Expect(IsError(a, rcpwire::kErrInvalidPayload));
  const std::uint32_t camera = rcpwire::GetU32(f.payload.data());
  if (camera < 1 || camera > static_cast<std::uint32_t>(model.cameraCount())) {
    return Expect(IsError(a, rcpwire::kErrUnknown));
  }
  Expect(IsReply(a) && a.payload.empty());
  for (const std::uint32_t command : devicesim::kSettingCommands) {
    const int c = static_cast<int>(camera);
    Expect(model.AppliedSetting(c, command) == model.PendingSetting(c, command));
  }
}

void CheckRequest(DeviceModel& model, const rcpwire::Frame& f) {
  const DeviceModel::Answer a = model.Handle(f.commandWord, f.line, f.payload);
  const std::uint32_t cw = f.commandWord;
  if (std::find(devicesim::kSettingCommands.begin(), devicesim::kSettingCommands.end(), cw) !=
      devicesim::kSettingCommands.end()) {
    return CheckSetting(model, f, a);
  }
  switch (cw) {
    case devicesim::kCmdCoderList: return CheckCoderList(model, f, a);
    case devicesim::kCmdApplySettings: return CheckApply(model, f, a);
    case devicesim::kCmdInputCount:
      return Expect(IsReply(a) && a.payload.size() == 4 &&
                    rcpwire::GetU32(a.payload.data()) ==
                        static_cast<std::uint32_t>(model.inputCount()));
    case devicesim::kCmdOutputCount:
      return Expect(IsReply(a) && a.payload.size() == 4 &&
                    rcpwire::GetU32(a.payload.data()) ==
                        static_cast<std::uint32_t>(model.outputCount()));
    case devicesim::kCmdInputState:
      return Expect(IsReply(a) && a.payload.size() == 1 && a.payload[0] == model.Input(f.line));
    case devicesim::kCmdOutputState:
      return Expect(IsReply(a) && a.payload.size() == 1 && a.payload[0] == model.Output(f.line));
    case devicesim::kCmdSetOutput:
      if (f.payload.empty()) return Expect(IsError(a, rcpwire::kErrInvalidPayload));
      if (f.line < 1 || f.line > model.outputCount()) {
        return Expect(IsError(a, rcpwire::kErrUnknown));
      }
      return Expect(IsReply(a) && model.Output(f.line) == (f.payload[0] != 0));
    case devicesim::kCmdStreamSession:
      return Expect(IsReply(a) && a.payload.empty());
    default:
      break;
  }
  const bool config = std::find(devicesim::kInputConfigCommands.begin(),
                                devicesim::kInputConfigCommands.end(), cw) !=
                          devicesim::kInputConfigCommands.end() ||
                      std::find(devicesim::kOutputConfigCommands.begin(),
                                devicesim::kOutputConfigCommands.end(), cw) !=
                          devicesim::kOutputConfigCommands.end();
  if (!config) return Expect(IsError(a, rcpwire::kErrInvalidCmd));
  Expect(IsReply(a));
  if (cw == devicesim::kOutputConfigCommands[2]) Expect(a.payload.size() == 1);
}

// What the device makes of a registration payload: the user name and digest, or a refusal.
void CheckRegistration(const rcpwire::Frame& f) {
  const auto registration = rcpwire::DecodeRegistration(f.payload);
  if (!registration) return;
  const auto again = rcpwire::EncodeRegistration(registration->user, registration->digest);
  Expect(again == f.payload);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  DeviceModel model(in.ConsumeIntegralInRange(0, 4), in.ConsumeIntegralInRange(0, 8),
                    in.ConsumeIntegralInRange(0, 8), in.ConsumeBool());
  const std::size_t piece = in.ConsumeIntegralInRange<std::size_t>(1, 97);
  const std::vector<std::uint8_t> bytes = in.ConsumeRemainingBytes<std::uint8_t>();

  rcpwire::FrameDecoder decoder;
  rcpwire::Frame frame;
  const std::span<const std::uint8_t> stream(bytes);
  for (std::size_t at = 0; at < stream.size(); at += piece) {
    decoder.Feed(stream.subspan(at, std::min(piece, stream.size() - at)));
    for (;;) {
      const auto status = decoder.Next(frame);
      if (status == rcpwire::FrameDecoder::Status::kNeedMore) break;
      if (status == rcpwire::FrameDecoder::Status::kError) return 0;  // the device closes
      Expect(frame.action <= rcpwire::kError);
      // Replies, messages and errors from a client are ignored.
      if (frame.action != rcpwire::kRequest) continue;
      if (frame.commandWord == rcpwire::kCmdRegister) {
        CheckRegistration(frame);
      } else if (frame.commandWord != rcpwire::kCmdConnectVideo &&
                 frame.commandWord != rcpwire::kCmdMediaOpen) {
        CheckRequest(model, frame);
      }
    }
  }
  return 0;
}
