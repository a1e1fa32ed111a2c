// Sessions on a fake owner whose device address leads nowhere, for calling the session's
// callbacks directly: an idle one whose worker thread still runs, and a streaming one whose
// worker thread has been parked and whose owner hands out the host's fake capture user and
// allocator, for feeding packets straight into the receive path.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "h263_test_pictures.h"
#include "rcpplus/rcpplus.h"
#include "session/bosch_ip_camera_info.h"
#include "support/camera_session_test_peer.h"
#include "support/fake_host.h"
#include "support/fake_session_owner.h"

namespace sessiontest {

using Peer = corvane::CBoschIPCameraInfoTestPeer;
using support::Bytes;

inline rcpplus::RcpHeader MakeHeader(std::uint32_t commandWord, std::uint8_t action,
                                     std::uint32_t errorCode = 0, std::uint32_t sessionId = 0) {
  rcpplus::RcpHeader header{};
  header.commandWord = commandWord;
  header.action = action;
  header.errorCode = errorCode;
  header.sessionId = sessionId;
  header.connectionAddress = "";
  return header;
}

inline bool Signalled(platform::Event& event) {
  return event.Wait(0) == platform::WaitResult::kSignalled;
}

class IdleSession : public ::testing::Test {
 protected:
  explicit IdleSession(std::uint8_t channel = 2) : channel_(channel) {}
  void SetUp() override { session_ = std::make_unique<corvane::CBoschIPCameraInfo>(channel_, &owner_); }
  void TearDown() override { session_.reset(); }

  // Ends the worker thread, so that no one else waits on the session's events.
  void ParkWorker() { ASSERT_TRUE(Peer::ParkWorker(*session_)); }

  void Message(std::uint32_t commandWord, std::uint8_t action, std::uint32_t errorCode = 0,
               std::vector<unsigned char> payload = {}) {
    rcpplus::RcpHeader header = MakeHeader(commandWord, action, errorCode);
    rcpplus::RcpInputStream stream(payload.data(), payload.size());
    Peer::RcpMessage(session_.get(), header, stream);
  }
  // A sign of life reached the watchdog since the last look.
  bool FedTheWatchdog() { return Peer::LastFrameAt(*session_).exchange(0) != 0; }

  const std::uint8_t channel_;
  fakes::FakeSessionOwner owner_;
  std::unique_ptr<corvane::CBoschIPCameraInfo> session_;
};

class VideoSession : public IdleSession {
 protected:
  static constexpr std::uint8_t kChannel = 5;

  VideoSession() : IdleSession(kChannel) {}
  void SetUp() override {
    IdleSession::SetUp();
    ParkWorker();
    owner_.SetHost(&user_, &allocator_);
  }

  // One RTP packet as the library hands it over.
  void Packet(const Bytes& packet) { Peer::RtpPacket(session_.get(), packet); }
  // H.263 bytes in one mode-A packet.
  void Frame(const Bytes& h263, bool marker = true) {
    Packet(support::RtpPacket(support::ModeA(h263), marker));
  }

  fakes::FakeCaptureUser user_;
  fakes::FakeAllocator allocator_;
};

}  // namespace sessiontest
