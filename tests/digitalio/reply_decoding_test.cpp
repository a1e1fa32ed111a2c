// What the object makes of each reply, message and failure the library hands it. The
// callbacks are called directly, as a library thread would; the object counts as enabled, but
// its worker thread never connects, so the test delivers the queued sink calls itself.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "digital_io_fakes.h"

namespace digitalio_testing {
namespace {

using corvane::CBoschDigitalIO;
using corvane::CBoschDigitalIOTestPeer;

constexpr std::uint32_t kInputState = 0x01C00030;
constexpr std::uint32_t kInputCount = 0x01DB0830;
constexpr std::uint32_t kOutputCount = 0x01DC0830;
constexpr std::uint32_t kSessionIdMessage = 0xFFCC0C31;
constexpr std::uint32_t kConnectionFailed = 0x00120020;

struct Delivery {
  std::uint32_t commandWord = 0;
  std::uint16_t line = 0;
  std::vector<unsigned char> payload;
  std::uint8_t action = rcpplus::kActionReply;
  std::uint32_t errorCode = 0;
  std::uint32_t sessionId = 0;
};

class ReplyDecodingTest : public ::testing::Test {
 protected:
  // Configured with 4 inputs and 2 outputs; port 1 is never connected to.
  ReplyDecodingTest() : handler_(1, "user", "pass", 4, 2) {
    io_ = std::make_unique<CBoschDigitalIO>(&handler_, 300);
    io_->SetEventSink(&sink_);
    CBoschDigitalIOTestPeer::SetEnabled(*io_, true);
  }

  // Hands one frame to the reply callback; answers the payload bytes it left unread.
  int Deliver(const Delivery& d) {
    rcpplus::RcpHeader header{};
    header.commandWord = d.commandWord;
    header.action = d.action;
    header.line = d.line;
    header.sessionId = d.sessionId;
    header.errorCode = d.errorCode;
    header.payloadLength = static_cast<std::uint16_t>(d.payload.size());
    rcpplus::RcpInputStream stream(d.payload.data(), d.payload.size());
    CBoschDigitalIO::OnRcpReply(io_.get(), header, stream);
    // The worker thread never runs here: the test delivers what it would.
    CBoschDigitalIOTestPeer::DeliverSinkCalls(*io_);
    return stream.available();
  }

  int DeliverState(std::uint16_t line, std::vector<unsigned char> payload) {
    return Deliver({kInputState, line, std::move(payload), rcpplus::kActionMessage});
  }

  int DeliverError(std::uint32_t commandWord, std::uint8_t action, std::uint32_t code,
                   std::vector<unsigned char> payload = {}) {
    return Deliver({commandWord, 1, std::move(payload), action, code});
  }

  FakeHandler handler_;
  FakeSink sink_;
  std::unique_ptr<CBoschDigitalIO> io_;
};

TEST_F(ReplyDecodingTest, ActiveStateMessageIsCachedAndReported) {
  DeliverState(3, {0x05});
  EXPECT_EQ(CBoschDigitalIOTestPeer::InputState(*io_, 2), 2);
  const auto events = sink_.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].input, 2);
  EXPECT_EQ(events[0].state, 2);
}

// After Close (which disables the object) the host may destroy its sink: a message still on
// its way is cached but reaches nobody.
TEST_F(ReplyDecodingTest, DisabledObjectReportsNothing) {
  io_->Disable();
  DeliverState(3, {0x05});
  EXPECT_EQ(CBoschDigitalIOTestPeer::InputState(*io_, 2), 2);
  EXPECT_TRUE(sink_.Events().empty());
}

TEST_F(ReplyDecodingTest, ZeroStateByteIsReportedInactive) {
  DeliverState(3, {0x05});
  DeliverState(3, {0x00});
  EXPECT_EQ(CBoschDigitalIOTestPeer::InputState(*io_, 2), 1);
  EXPECT_EQ(sink_.CountReports(2, 1), 1);
}

TEST_F(ReplyDecodingTest, SameStateReportedTwiceReachesSinkTwice) {
  DeliverState(1, {0x01});
  DeliverState(1, {0x01});
  EXPECT_EQ(sink_.CountReports(0, 2), 2);
}

TEST_F(ReplyDecodingTest, StateForLineZeroIsDroppedUnread) {
  EXPECT_EQ(DeliverState(0, {0x01}), 1);
  EXPECT_TRUE(sink_.Events().empty());
}

TEST_F(ReplyDecodingTest, StateForLineSeventeenIsDroppedUnread) {
  EXPECT_EQ(DeliverState(17, {0x01}), 1);
  EXPECT_TRUE(sink_.Events().empty());
}

TEST_F(ReplyDecodingTest, StateAboveInputCountIsReadAndDropped) {
  EXPECT_EQ(DeliverState(8, {0x01}), 0);
  EXPECT_TRUE(sink_.Events().empty());
  EXPECT_EQ(CBoschDigitalIOTestPeer::InputState(*io_, 7), 0);
}

TEST_F(ReplyDecodingTest, StateWithoutPayloadChangesNothing) {
  DeliverState(2, {});
  EXPECT_TRUE(sink_.Events().empty());
  EXPECT_EQ(CBoschDigitalIOTestPeer::InputState(*io_, 1), 0);
}

TEST_F(ReplyDecodingTest, StateErrorReplyIsNotAReport) {
  Deliver({kInputState, 2, {0x01}, rcpplus::kActionError, 0x40});
  EXPECT_TRUE(sink_.Events().empty());
  EXPECT_EQ(CBoschDigitalIOTestPeer::InputState(*io_, 1), 0);
}

TEST_F(ReplyDecodingTest, InputCountTakesLeastSignificantByteAndIsLogged) {
  Deliver({kInputCount, 0, {0x00, 0x00, 0x00, 0x08}});
  EXPECT_EQ(io_->GetInputCount(), 8);
  const auto lines = handler_.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 2);
  EXPECT_EQ(lines[0].text, "CBoschDigitalIO: Total number of supported inputs is: 8");

  Deliver({kInputCount, 0, {0x00, 0x00, 0x01, 0x02}});
  EXPECT_EQ(io_->GetInputCount(), 2);
}

TEST_F(ReplyDecodingTest, OutputCountIsStoredAndLogged) {
  Deliver({kOutputCount, 0, {0x00, 0x00, 0x00, 0x05}});
  EXPECT_EQ(io_->GetOutputCount(), 5);
  EXPECT_EQ(io_->GetInputCount(), 4);
  EXPECT_EQ(handler_.CountLines("CBoschDigitalIO: Total number of supported outputs is: 5"), 1);
}

TEST_F(ReplyDecodingTest, CountReplyOfOtherLengthLeavesCountUnchanged) {
  Deliver({kInputCount, 0, {0x00, 0x00, 0x09}});
  Deliver({kOutputCount, 0, {0x00, 0x00, 0x00, 0x00, 0x09}});
  EXPECT_EQ(io_->GetInputCount(), 4);
  EXPECT_EQ(io_->GetOutputCount(), 2);
  EXPECT_TRUE(handler_.Lines().empty());
}

TEST_F(ReplyDecodingTest, ReportedInputCountGovernsLaterReports) {
  Deliver({kInputCount, 0, {0x00, 0x00, 0x00, 0x08}});
  DeliverState(8, {0x01});
  EXPECT_EQ(sink_.CountReports(7, 2), 1);
}

TEST_F(ReplyDecodingTest, ConnectionErrorWhileOnlineReportsLossOnce) {
  CBoschDigitalIOTestPeer::SetOnline(*io_, true);
  DeliverError(kInputState, rcpplus::kActionClientError, 0x101);
  DeliverError(kInputState, rcpplus::kActionClientError, 0x101);
  EXPECT_EQ(sink_.LostCount(), 1);
  EXPECT_FALSE(CBoschDigitalIOTestPeer::Online(*io_));
}

TEST_F(ReplyDecodingTest, TimeoutAndResetAlsoTakeObjectOffline) {
  for (const std::uint32_t code : {0x100u, 0x107u}) {
    CBoschDigitalIOTestPeer::SetOnline(*io_, true);
    DeliverError(kInputState, rcpplus::kActionClientError, code);
    EXPECT_FALSE(CBoschDigitalIOTestPeer::Online(*io_)) << code;
  }
  EXPECT_EQ(sink_.LostCount(), 2);
}

TEST_F(ReplyDecodingTest, OtherErrorOnlyLogs) {
  CBoschDigitalIOTestPeer::SetOnline(*io_, true);
  DeliverError(kInputState, rcpplus::kActionClientError, 0x102);
  EXPECT_TRUE(CBoschDigitalIOTestPeer::Online(*io_));
  EXPECT_TRUE(sink_.Events().empty());
  const auto lines = handler_.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 1);
  EXPECT_EQ(lines[0].text, "Bosch: ClientError Reason: BadParameter");
}

TEST_F(ReplyDecodingTest, LossWithoutSinkClearsOnlineSilently) {
  CBoschDigitalIOTestPeer::SetOnline(*io_, true);
  io_->SetEventSink(nullptr);
  DeliverError(kInputState, rcpplus::kActionClientError, 0x107);
  EXPECT_FALSE(CBoschDigitalIOTestPeer::Online(*io_));
  EXPECT_TRUE(sink_.Events().empty());
}

TEST_F(ReplyDecodingTest, SessionIdMessageWithErrorStoresIdWithoutLog) {
  Deliver({kSessionIdMessage, 0, {}, rcpplus::kActionMessage, 0x40, 0x5150});
  EXPECT_EQ(CBoschDigitalIOTestPeer::SessionId(*io_), 0x5150u);
  EXPECT_TRUE(handler_.Lines().empty());
}

TEST_F(ReplyDecodingTest, SessionIdMessageWithoutErrorChangesNothing) {
  Deliver({kSessionIdMessage, 0, {}, rcpplus::kActionMessage, 0, 0x5150});
  EXPECT_EQ(CBoschDigitalIOTestPeer::SessionId(*io_), 0u);
  EXPECT_TRUE(handler_.Lines().empty());
}

TEST_F(ReplyDecodingTest, UnknownErrorIsNamedWithoutReasonPrefix) {
  DeliverError(kInputCount, rcpplus::kActionError, 0xFF);
  DeliverError(kInputCount, rcpplus::kActionError, 0x11);
  const auto lines = handler_.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "Bosch: Error - UnknownError");
  EXPECT_EQ(lines[1].text, "Bosch: Error");
}

TEST_F(ReplyDecodingTest, ConnectionFailedMessageIsOneJoinedLine) {
  DeliverError(kConnectionFailed, rcpplus::kActionError, 0x101);
  EXPECT_EQ(handler_.CountLines(
                "CBoschIPCameraInfo: Connection failedBosch: Error Reason: ConnectionError"),
            1);
}

TEST_F(ReplyDecodingTest, ErrorMessageShowsPayloadLength) {
  DeliverError(kInputState, rcpplus::kActionMessage, 0x40, {1, 2, 3});
  EXPECT_EQ(handler_.CountLines("Bosch: Message: payload len = 3 Reason: InvalidCmd"), 1);
}

TEST_F(ReplyDecodingTest, RepeatedErrorsPassTheThrottle) {
  for (int i = 0; i < 20; ++i) DeliverError(kInputCount, rcpplus::kActionError, 0x40);
  // Occurrences 1 to 14 and 16.
  EXPECT_EQ(handler_.CountLines("Bosch: Error Reason: InvalidCmd"), 15);
}

TEST_F(ReplyDecodingTest, ErrorWithUnknownActionAndCodeLogsNothing) {
  DeliverError(kInputCount, rcpplus::kActionReply, 0x12);
  EXPECT_TRUE(handler_.Lines().empty());
}

TEST_F(ReplyDecodingTest, NullContextIsIgnored) {
  const std::vector<unsigned char> payload{0x01};
  rcpplus::RcpHeader header{};
  header.commandWord = kInputState;
  header.line = 1;
  rcpplus::RcpInputStream stream(payload.data(), payload.size());
  CBoschDigitalIO::OnRcpReply(nullptr, header, stream);
  CBoschDigitalIO::OnRcpMessage(nullptr, header, stream);
  EXPECT_EQ(stream.available(), 1);
  EXPECT_TRUE(sink_.Events().empty());
}

TEST(DigitalIOCounts, ComeFromConfigurationBeforeAnyConnection) {
  FakeHandler handler(1, "", "", 3, 7);
  CBoschDigitalIO io(&handler, 300);
  EXPECT_EQ(io.GetInputCount(), 3);
  EXPECT_EQ(io.GetOutputCount(), 7);
}

TEST(DigitalIOCounts, NoHandlerMeansNoThreadAndNoCrash) {
  CBoschDigitalIO io(nullptr, 300);
  EXPECT_TRUE(io.Enable());
  EXPECT_FALSE(io.SetOutput(0, 2));
  EXPECT_EQ(io.GetInputCount(), 0);
}

}  // namespace
}  // namespace digitalio_testing
