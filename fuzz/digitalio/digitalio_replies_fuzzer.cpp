// Arbitrary replies and messages into a digital I/O object's callbacks, in any order, with
// any header and payload: input states, input and output counts, output replies, session id
// messages and failures. Each call's effect on the cached states, the counts, the sink and
// the online flag is checked against what its header and payload allow.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "digitalio/bosch_digital_io.h"
#include "foundation/ipcapture_io_base_handler_if.h"
#include "support/digital_io_test_peer.h"
#include "veltrane/host.h"

namespace {

using corvane::CBoschDigitalIOTestPeer;

constexpr std::uint32_t kCmdInputState = 0x01C00030;
constexpr std::uint32_t kCmdInputCount = 0x01DB0830;
constexpr std::uint32_t kCmdOutputCount = 0x01DC0830;
constexpr std::uint32_t kCmdSessionId = 0xFFCC0C31;
constexpr std::uint32_t kCommandWords[] = {kCmdInputState, kCmdInputCount, kCmdOutputCount,
                                           0x00940030,     0x00930130,     0x01C10031,
                                           kCmdSessionId,  0x00120020,     0xFF0D0031};
constexpr std::uint32_t kErrorCodes[] = {0x20, 0x40, 0xA0, 0xFF, 0x100, 0x101, 0x102, 0x107};
constexpr std::uint8_t kActions[] = {1, 2, 3, 255};

class Handler final : public corvane::CIPCaptureIOBaseHandlerIf {
 public:
  const char* GetModuleName() override { return "Fuzz"; }
  std::uint16_t GetServerPort() override { return 1; }
  std::string GetServerAddress() override { return text_; }
  std::string GetServerUserName() override { return text_; }
  std::string GetServerPassword() override { return text_; }
  corvane::DeviceConfig* GetDeviceConfig() override { return &config; }
  void Log(int level, const char* format, ...) override {
    if ((level != corvane::kLogError && level != corvane::kLogInfo) || format == nullptr ||
        format[0] == '\0') {
      std::abort();
    }
    ++lines;
  }

  corvane::DeviceConfig config{};
  int lines = 0;

 private:
  std::string text_ = "127.0.0.1";
};

class Sink final : public corvane::ICaptureIOEventSink {
 public:
  void OnInputChanged(int input, int state) override {
    ++changes;
    lastInput = input;
    lastState = state;
  }
  void OnConnectionLost() override { ++losses; }

  int changes = 0;
  int lastInput = -1;
  int lastState = -1;
  int losses = 0;
};

template <typename T, std::size_t N>
T Pick(FuzzedDataProvider& in, const T (&table)[N]) {
  const std::size_t i = in.ConsumeIntegralInRange<std::size_t>(0, N);
  return i < N ? table[i] : in.ConsumeIntegral<T>();
}

// Time-out, connection failure, reset, and a refused registration.
bool IsLoss(std::uint32_t code) {
  return code == 0x100 || code == 0x101 || code == 0x107 || code == 0xA0;
}

struct Before {
  int inputCount;
  int outputCount;
  int changes;
  int losses;
  bool online;
  std::uint32_t sessionId;
};

void CheckReply(corvane::CBoschDigitalIO& io, const Sink& sink, bool withSink, bool enabled,
                const Before& was, const rcpplus::RcpHeader& header,
                const std::vector<std::uint8_t>& bytes) {
  if (header.errorCode != 0) {
    // A failure: only a lost connection changes anything, and only while online.
    if (io.GetInputCount() != was.inputCount || io.GetOutputCount() != was.outputCount ||
        sink.changes != was.changes) {
      std::abort();
    }
    const bool lost = IsLoss(header.errorCode) && header.commandWord != kCmdSessionId;
    if (sink.losses != was.losses + (lost && was.online && withSink ? 1 : 0)) std::abort();
    if (CBoschDigitalIOTestPeer::Online(io) != (was.online && !lost)) std::abort();
    const std::uint32_t id = header.commandWord == kCmdSessionId ? header.sessionId : was.sessionId;
    if (CBoschDigitalIOTestPeer::SessionId(io) != id) std::abort();
    return;
  }
  if (sink.losses != was.losses || CBoschDigitalIOTestPeer::Online(io) != was.online ||
      CBoschDigitalIOTestPeer::SessionId(io) != was.sessionId) {
    std::abort();
  }
  const bool count = header.commandWord == kCmdInputCount || header.commandWord == kCmdOutputCount;
  const int reported = count && bytes.size() == 4 ? bytes[3] : -1;
  const bool inputs = header.commandWord == kCmdInputCount;
  if (io.GetInputCount() != (reported >= 0 && inputs ? reported : was.inputCount)) std::abort();
  if (io.GetOutputCount() != (reported >= 0 && !inputs ? reported : was.outputCount)) std::abort();

  const std::uint32_t index = static_cast<std::uint32_t>(header.line) - 1u;
  const bool report = header.commandWord == kCmdInputState && !bytes.empty() && index < 16 &&
                      index < static_cast<std::uint32_t>(was.inputCount);
  if (sink.changes != was.changes + (report && withSink && enabled ? 1 : 0)) std::abort();
  if (report) {
    const int state = bytes[0] != 0 ? 2 : 1;
    if ((withSink && enabled && (sink.lastInput != static_cast<int>(index) || sink.lastState != state)) ||
        CBoschDigitalIOTestPeer::InputState(io, static_cast<int>(index)) != state) {
      std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Handler handler;
  // One object for every input, reset to a new one's state: its worker thread only waits
  // for Enable and never connects here.
  static corvane::CBoschDigitalIO io(&handler, 1000);
  FuzzedDataProvider in(data, size);
  CBoschDigitalIOTestPeer::Reset(io, in.ConsumeIntegralInRange(-2, 40),
                                 in.ConsumeIntegralInRange(-2, 40));
  Sink sink;
  const bool withSink = in.ConsumeBool();
  io.SetEventSink(withSink ? &sink : nullptr);
  // A disabled object (after Close, say) reports no input to its sink.
  const bool enabled = in.ConsumeBool();
  CBoschDigitalIOTestPeer::SetEnabled(io, enabled);

  for (int calls = 0; calls < 64 && in.remaining_bytes() > 0; ++calls) {
    if (in.ConsumeBool()) CBoschDigitalIOTestPeer::SetOnline(io, in.ConsumeBool());
    rcpplus::RcpHeader header{};
    header.commandWord = Pick(in, kCommandWords);
    header.action = Pick(in, kActions);
    header.line = in.ConsumeIntegralInRange<std::uint16_t>(0, 20);
    if (in.ConsumeBool()) header.line = in.ConsumeIntegral<std::uint16_t>();
    header.sessionId = in.ConsumeIntegral<std::uint32_t>();
    header.errorCode = in.ConsumeBool() ? 0 : Pick(in, kErrorCodes);
    const std::vector<std::uint8_t> bytes =
        in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 8));
    header.payloadLength = static_cast<std::uint16_t>(bytes.size());
    // An exact heap copy, so that a read past the payload is caught.
    auto copy = std::make_unique<unsigned char[]>(bytes.size() + 1);
    std::copy(bytes.begin(), bytes.end(), copy.get());
    rcpplus::RcpInputStream payload(copy.get(), bytes.size());

    const Before was{io.GetInputCount(), io.GetOutputCount(), sink.changes, sink.losses,
                     CBoschDigitalIOTestPeer::Online(io), CBoschDigitalIOTestPeer::SessionId(io)};
    CBoschDigitalIOTestPeer::ResetErrorCount(io);
    if (in.ConsumeBool()) {
      corvane::CBoschDigitalIO::OnRcpReply(&io, header, payload);
    } else if (header.errorCode != 0) {
      // The error handler alone: what the reply callback hands failures to.
      const int lines = handler.lines;
      corvane::CBoschDigitalIO::OnRcpMessage(&io, header, payload);
      if (header.commandWord == kCmdSessionId && handler.lines != lines) std::abort();
    } else {
      continue;
    }
    // The sink hears the object on its worker thread; the fuzzer stands in for it.
    CBoschDigitalIOTestPeer::DeliverSinkCalls(io);
    CheckReply(io, sink, withSink, enabled, was, header, bytes);
  }
  return 0;
}
