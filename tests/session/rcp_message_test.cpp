#include <gtest/gtest.h>

#include <thread>

#include "foundation/rcp_message_text.h"
#include "session_fixture.h"

namespace sessiontest {
namespace {

constexpr std::uint32_t kCmdConnectionFailed = 0x00120020;
constexpr std::uint32_t kCmdSessionId = 0xFFCC0C31;
constexpr std::uint32_t kCmdOther = 0x01C00030;

using RcpMessage = IdleSession;

TEST_F(RcpMessage, ErrorWithUnknownErrorCodeAppendsUnknownErrorWithoutReason) {
  Message(kCmdOther, rcpplus::kActionError, 0xFF);
  ASSERT_EQ(owner_.Texts().size(), 1u);
  EXPECT_EQ(owner_.Texts()[0], "Bosch: Error - UnknownError");
}

TEST_F(RcpMessage, ErrorWithCodeOutsideTheTableLogsErrorAlone) {
  Message(kCmdOther, rcpplus::kActionError, 0x11);
  ASSERT_EQ(owner_.Texts().size(), 1u);
  EXPECT_EQ(owner_.Texts()[0], "Bosch: Error");
}

TEST_F(RcpMessage, ConnectionFailureJoinsItsPartsWithoutSeparators) {
  Message(kCmdConnectionFailed, rcpplus::kActionError, 0x101);
  ASSERT_EQ(owner_.Texts().size(), 1u);
  EXPECT_EQ(owner_.Texts()[0],
            "CBoschIPCameraInfo: Connection failedBosch: Error Reason: ConnectionError");
}

TEST_F(RcpMessage, ClientErrorIsNamedAsSuch) {
  Message(kCmdConnectionFailed, rcpplus::kActionClientError, 0x107);
  ASSERT_EQ(owner_.Texts().size(), 1u);
  EXPECT_EQ(owner_.Texts()[0],
            "CBoschIPCameraInfo: Connection failedBosch: ClientError Reason: ConnectionReset");
}

TEST_F(RcpMessage, MessageShowsItsPayloadLength) {
  Message(kCmdOther, rcpplus::kActionMessage, 0, {1, 2, 3, 4, 5});
  ASSERT_EQ(owner_.Texts().size(), 1u);
  EXPECT_EQ(owner_.Texts()[0], "Bosch: Message: payload len = 5");
}

TEST_F(RcpMessage, ReplyWithoutErrorLogsNothing) {
  Message(kCmdOther, rcpplus::kActionReply);
  EXPECT_TRUE(owner_.Texts().empty());
  EXPECT_EQ(Peer::ErrorCount(*session_).load(), 0u);
}

TEST_F(RcpMessage, SessionIdMessageStoresTheIdEvenWithAnErrorCodeAndLogsNothing) {
  rcpplus::RcpHeader header =
      MakeHeader(kCmdSessionId, rcpplus::kActionError, 0x40, 0x12345678);
  rcpplus::RcpInputStream stream;
  Peer::RcpMessage(session_.get(), header, stream);
  EXPECT_EQ(Peer::SessionId(*session_).load(), 0x12345678u);
  EXPECT_TRUE(owner_.Texts().empty());
  EXPECT_EQ(Peer::ErrorCount(*session_).load(), 0u);
}

TEST_F(RcpMessage, RepeatedErrorsPassTheThrottle) {
  // Occurrences 1 to 14 and 16 are logged, 15 and 17 to 20 are not.
  for (int i = 0; i < 20; ++i) Message(kCmdOther, rcpplus::kActionError, 0x40);
  EXPECT_EQ(Peer::ErrorCount(*session_).load(), 20u);
  EXPECT_EQ(owner_.CountLinesContaining("Bosch: Error Reason: InvalidCmd"), 15);
}

TEST_F(RcpMessage, NullContextIsIgnored) {
  rcpplus::RcpHeader header = MakeHeader(kCmdSessionId, rcpplus::kActionMessage, 0, 7);
  rcpplus::RcpInputStream stream;
  Peer::RcpMessage(nullptr, header, stream);
  EXPECT_EQ(Peer::SessionId(*session_).load(), 0u);
  EXPECT_TRUE(owner_.Texts().empty());
}

TEST_F(RcpMessage, RecordsTheCallingThread) {
  std::thread library([&] { Message(kCmdOther, rcpplus::kActionReply); });
  library.join();
  std::vector<platform::Handle> handles;
  session_->callbackThreads.CollectHandles(handles);
  ASSERT_EQ(handles.size(), 1u);
  EXPECT_EQ(platform::Wait(handles[0], 0), platform::WaitResult::kSignalled);
}

TEST(RcpErrorText, NamesEveryTableEntry) {
  EXPECT_STREQ(corvane::RcpErrorReasonText(0x10), " Reason: InvalidVersion");
  EXPECT_STREQ(corvane::RcpErrorReasonText(0x60), " Reason: InvalidDatatType");
  EXPECT_STREQ(corvane::RcpErrorReasonText(0xA0), " Reason: InvalidAuthorizationLevel");
  EXPECT_STREQ(corvane::RcpErrorReasonText(0xC0), " Reason: RetryLater");
  EXPECT_STREQ(corvane::RcpErrorReasonText(0xFF), " - UnknownError");
  EXPECT_STREQ(corvane::RcpErrorReasonText(0x100), " Reason: ResponseTimeout");
  EXPECT_STREQ(corvane::RcpErrorReasonText(0x104), " Reason: InvalidAddress");
  EXPECT_STREQ(corvane::RcpErrorReasonText(0x107), " Reason: ConnectionReset");
  EXPECT_STREQ(corvane::RcpErrorReasonText(0), "");
  EXPECT_STREQ(corvane::RcpErrorReasonText(0x108), "");
}

}  // namespace
}  // namespace sessiontest
