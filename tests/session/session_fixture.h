// A session on a fake owner whose device address leads nowhere: for calling the session's
// callbacks directly while its worker thread idles.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "fake_session_owner.h"
#include "rcpplus/rcpplus.h"
#include "session/bosch_ip_camera_info.h"
#include "support/standalone_session.h"

namespace sessiontest {

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

class IdleSession : public ::testing::Test {
 protected:
  IdleSession() : owner_("127.0.0.1", 1, 300) {}
  void SetUp() override {
    session_ = std::make_unique<corvane::CBoschIPCameraInfo>(static_cast<std::uint8_t>(2), &owner_);
  }
  void TearDown() override { session_.reset(); }

  // Ends the worker thread, so that no one else waits on the session's events.
  void ParkWorker() { ASSERT_TRUE(support::ParkWorker(*session_)); }

  void Message(std::uint32_t commandWord, std::uint8_t action, std::uint32_t errorCode = 0,
               std::vector<unsigned char> payload = {}) {
    rcpplus::RcpHeader header = MakeHeader(commandWord, action, errorCode);
    rcpplus::RcpInputStream stream(payload.data(), payload.size());
    corvane::CBoschIPCameraInfo::OnRcpMessage(session_.get(), header, stream);
  }

  FakeSessionOwner owner_;
  std::unique_ptr<corvane::CBoschIPCameraInfo> session_;
};

}  // namespace sessiontest
