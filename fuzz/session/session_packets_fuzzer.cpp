// Arbitrary packet sequences through a camera session's receive path. The first byte sets
// the host's behaviour; then each packet is a 16-bit big-endian length and that many bytes
// (cut at the end of the input). Every frame the host gets must fit its message and carry a
// code and size class that agree with its width.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "session/bosch_ip_camera_info.h"
#include "support/standalone_session.h"

namespace {

class Message final : public CVideoMessage {
 public:
  int MessageOperation01() override { return 0; }
  unsigned char* GetBuffer() override { return buffer.data(); }
  int MessageOperation03() override { return 0; }
  void SetDataLength(std::uint32_t bytes) override { length = bytes; }
  void Finish() override { finished = true; }
  int MessageOperation06() override { return 0; }
  int MessageOperation07() override { return 0; }
  int MessageOperation08() override { return 0; }
  int MessageOperation09() override { return 0; }
  void SetFourCC(std::uint32_t code) override { fourcc = code; }
  int MessageOperation11() override { return 0; }
  void SetHeight(std::int32_t) override {}
  int MessageOperation13() override { return 0; }
  void SetWidth(std::int32_t value) override { width = value; }
  int MessageOperation15() override { return 0; }
  void SetSizeClass(std::int32_t value) override { sizeClass = value; }

  std::vector<unsigned char> buffer;
  std::uint32_t length = 0;
  std::uint32_t fourcc = 0;
  std::int32_t width = 0;
  std::int32_t sizeClass = 0;
  bool finished = false;
};

class Host final : public CCaptureAPIUser, public CVideoAllocator {
 public:
  // CCaptureAPIUser
  std::int32_t OnVideoFrame(std::uint32_t, CVideoMessage* message, CVideoMessage* frame) override {
    auto* m = static_cast<Message*>(frame);
    if (message || m != &message_ || !m->finished || m->length > m->buffer.size()) std::abort();
    const bool wide = m->width > 380;
    if (m->sizeClass != (wide ? 4 : 2)) std::abort();
    const std::uint32_t divx = 0x58564944, divd = 0x44564944, divi = 0x49564944, divp = 0x50564944;
    if (m->fourcc != (wide ? divd : divx) && m->fourcc != (wide ? divp : divi)) std::abort();
    return refuse ? 0 : 1;
  }
  std::int32_t OnChannelLost(std::int32_t) override { return 0; }
  void UserOperation3(std::int32_t) override {}
  std::int32_t OnDebugInfo(CDebugInfoIf*) override { return 0; }

  // CVideoAllocator: one message, handed out again after each release.
  int AllocatorOperation01() override { return 0; }
  CVideoMessage* AllocVideoMsg(std::uint32_t, std::int32_t size, const char*) override {
    if (outstanding_ || size < 4096) std::abort();
    if (failNext) return nullptr;
    outstanding_ = true;
    message_ = Message();
    message_.buffer.assign(static_cast<std::size_t>(size), 0);
    return &message_;
  }
  int AllocatorOperation03() override { return 0; }
  int AllocatorOperation04() override { return 0; }
  int AllocatorOperation05() override { return 0; }
  void ReleaseVideoMsg(CVideoMessage* message) override {
    if (message != &message_ || !outstanding_) std::abort();
    outstanding_ = false;
  }

  bool refuse = false;
  bool failNext = false;

 private:
  Message message_;
  bool outstanding_ = false;
};

class Owner final : public support::StandaloneSessionOwner {
 public:
  Owner() : StandaloneSessionOwner("Fuzz", 100) {}
  CCaptureAPIUser* GetCaptureUser() override { return &host; }
  CVideoAllocator* GetVideoAllocator() override { return &host; }

  Host host;
};

corvane::CBoschIPCameraInfo& Session(Owner& owner) {
  static corvane::CBoschIPCameraInfo* session = [&] {
    auto* s = new corvane::CBoschIPCameraInfo(0, &owner);
    // Only the fuzzer drives it: its worker thread must not connect anywhere.
    if (!support::ParkWorker(*s)) std::abort();
    return s;
  }();
  return *session;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Owner owner;
  corvane::CBoschIPCameraInfo& session = Session(owner);
  if (size == 0) return 0;
  const std::uint8_t flags = data[0];
  owner.host.refuse = (flags & 0x01) != 0;
  owner.host.failNext = (flags & 0x02) != 0;
  // A fresh stream for every input.
  session.frameStart = true;
  session.frameBuffer.clear();
  session.carryEbit = 0;
  session.carryByte = 0;
  session.keyFrame = false;
  session.waitForKeyFrame = (flags & 0x04) != 0;

  std::size_t at = 1;
  while (at + 2 <= size) {
    std::size_t length = static_cast<std::size_t>(data[at]) << 8 | data[at + 1];
    at += 2;
    if (length > size - at) length = size - at;
    // An exact heap copy, so that a read past the packet is caught.
    auto packet = std::make_unique<unsigned char[]>(length > 0 ? length : 1);
    std::copy(data + at, data + at + length, packet.get());
    corvane::CBoschIPCameraInfo::OnRtpPacket(&session, rcpplus::kRtpPayloadRawPacket, packet.get(),
                                             static_cast<int>(length));
    at += length;
  }
  return 0;
}
