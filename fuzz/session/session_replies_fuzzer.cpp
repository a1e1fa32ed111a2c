// Arbitrary answers into a camera session's reply and message callbacks: the coder list
// reply, the stream settings reply and the video connection's messages, in any order, with
// any header and payload. Each call's effect is checked against what its header and payload
// allow.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "session/bosch_ip_camera_info.h"
#include "support/camera_session_test_peer.h"
#include "support/fake_session_owner.h"

// The coder list reply pauses after each answer; here that would only slow the fuzzer down.
extern "C" void __wrap__ZN8platform7SleepMsEi(int) {}

namespace {

constexpr std::uint32_t kCommandWords[] = {0xFF110C30, 0x00120020, 0xFF0D0031, 0xFFCC0C31,
                                           0x06060831, 0x06080831, 0x06070831, 0x06000831};
constexpr std::uint32_t kErrorCodes[] = {0x10, 0x20, 0x40, 0x80, 0xA0, 0xB0, 0xFF,
                                         0x100, 0x101, 0x103, 0x107};
constexpr std::uint8_t kActions[] = {1, 2, 3, 255};

using Peer = corvane::CBoschIPCameraInfoTestPeer;

// Counts the log lines instead of keeping them.
class Owner final : public fakes::FakeSessionOwner {
 public:
  Owner() : FakeSessionOwner("127.0.0.1", 1, 100) {}
  void Log(int level, const char* format, ...) override {
    if (level != corvane::kLogError || format == nullptr || format[0] == '\0') std::abort();
    ++lines;
  }

  int lines = 0;
};

corvane::CBoschIPCameraInfo& Session(Owner& owner) {
  static corvane::CBoschIPCameraInfo* session = [&] {
    auto* s = new corvane::CBoschIPCameraInfo(0, &owner);
    // Only the fuzzer drives it: its worker thread must not connect anywhere.
    if (!Peer::ParkWorker(*s)) std::abort();
    return s;
  }();
  return *session;
}

template <typename T, std::size_t N>
T Pick(FuzzedDataProvider& in, const T (&table)[N]) {
  // One byte beyond the table takes a raw value.
  const std::size_t i = in.ConsumeIntegralInRange<std::size_t>(0, N);
  return i < N ? table[i] : in.ConsumeIntegral<T>();
}

bool Signalled(platform::Event& event) {
  return event.Wait(0) == platform::WaitResult::kSignalled;
}

// The coder the reply names, walked in 16-byte entries; a shorter tail is no entry. Every
// reply without an error code counts as the answer.
struct CoderExpectation {
  bool found = false;
  std::uint16_t number = 0;
};
CoderExpectation ExpectedCoder(const std::vector<std::uint8_t>& reply) {
  CoderExpectation e;
  for (std::size_t at = 0; reply.size() - at >= 16; at += 16) {
    const auto number = static_cast<std::uint16_t>(reply[at] << 8 | reply[at + 1]);
    const auto flags = static_cast<std::uint16_t>(reply[at + 2] << 8 | reply[at + 3]);
    if ((flags & 0x0004) != 0 && (flags & 0x4000) == 0) {
      e.found = true;
      e.number = number;
      return e;
    }
  }
  return e;
}

bool TextExpected(const rcpplus::RcpHeader& header) {
  if (header.commandWord == 0x00120020) return true;
  if (header.action == 2 || header.action == 3 || header.action == 255) return true;
  constexpr std::uint32_t kNamed[] = {0x10, 0x20, 0x21, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80,
                                      0x90, 0xA0, 0xB0, 0xC0, 0xFF};
  for (const std::uint32_t code : kNamed) {
    if (header.errorCode == code) return true;
  }
  return header.errorCode >= 0x100 && header.errorCode <= 0x107;
}

void CoderReply(corvane::CBoschIPCameraInfo& session, Owner& owner, rcpplus::RcpHeader& header,
                const std::vector<std::uint8_t>& bytes, rcpplus::RcpInputStream& reply) {
  const std::uint32_t before = Peer::CoderNumber(session).load();
  Peer::ReplyEvent(session).Reset();
  Peer::ErrorCount(session) = 0;
  const int lines = owner.lines;
  Peer::CoderListReply(&session, header, reply);
  const bool set = Signalled(Peer::ReplyEvent(session));
  if (header.errorCode != 0) {
    if (set || Peer::CoderNumber(session).load() != before || owner.lines != lines + 1) std::abort();
    return;
  }
  const CoderExpectation e = ExpectedCoder(bytes);
  if (!set) std::abort();
  if (Peer::CoderNumber(session).load() != (e.found ? e.number : before)) std::abort();
  if (owner.lines != lines) std::abort();
}

void SettingsReply(corvane::CBoschIPCameraInfo& session, rcpplus::RcpHeader& header,
                   rcpplus::RcpInputStream& reply) {
  Peer::ReplyEvent(session).Reset();
  // An accepted setting sends its apply through the library: to an address that cannot
  // parse, so that nothing leaves the process, and on one pooled connection.
  const std::uint32_t sessionId = Peer::SessionId(session).load();
  Peer::SessionId(session) = 0;
  header.connectionAddress = "fuzz";
  Peer::SettingsReply(&session, header, reply);
  Peer::SessionId(session) = sessionId;
  if (!Signalled(Peer::ReplyEvent(session))) std::abort();
}

void Message(corvane::CBoschIPCameraInfo& session, Owner& owner, rcpplus::RcpHeader& header,
             rcpplus::RcpInputStream& message) {
  Peer::ErrorCount(session) = 0;
  const int lines = owner.lines;
  const std::uint32_t sessionId = Peer::SessionId(session).load();
  Peer::RcpMessage(&session, header, message);
  if (header.commandWord == 0xFFCC0C31) {
    if (Peer::SessionId(session).load() != header.sessionId || owner.lines != lines) std::abort();
    return;
  }
  if (Peer::SessionId(session).load() != sessionId) std::abort();
  if (owner.lines != lines + (TextExpected(header) ? 1 : 0)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Owner owner;
  corvane::CBoschIPCameraInfo& session = Session(owner);
  FuzzedDataProvider in(data, size);
  Peer::CoderNumber(session) = 0;
  Peer::SessionId(session) = 0;
  for (int calls = 0; calls < 64 && in.remaining_bytes() > 0; ++calls) {
    const int entry = in.ConsumeIntegralInRange(0, 2);
    rcpplus::RcpHeader header{};
    header.commandWord = Pick(in, kCommandWords);
    header.action = Pick(in, kActions);
    header.line = in.ConsumeIntegral<std::uint16_t>();
    header.sessionId = in.ConsumeIntegral<std::uint32_t>();
    header.errorCode = in.ConsumeBool() ? 0 : Pick(in, kErrorCodes);
    const std::vector<std::uint8_t> bytes =
        in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 1024));
    header.payloadLength = static_cast<std::uint16_t>(bytes.size());
    // An exact heap copy, so that a read past the payload is caught.
    auto copy = std::make_unique<unsigned char[]>(bytes.size() + 1);
    std::copy(bytes.begin(), bytes.end(), copy.get());
    rcpplus::RcpInputStream payload(copy.get(), bytes.size());
    switch (entry) {
      case 0: CoderReply(session, owner, header, bytes, payload); break;
      case 1: SettingsReply(session, header, payload); break;
      default: Message(session, owner, header, payload); break;
    }
  }
  return 0;
}
