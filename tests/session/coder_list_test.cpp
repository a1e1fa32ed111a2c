#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "session_fixture.h"

namespace sessiontest {
namespace {

constexpr std::uint32_t kCmdCoderList = 0xFF110C30;

// One 16-byte coder list entry.
void AddEntry(std::vector<unsigned char>& reply, std::uint16_t number, std::uint16_t flags) {
  reply.push_back(static_cast<unsigned char>(number >> 8));
  reply.push_back(static_cast<unsigned char>(number));
  reply.push_back(static_cast<unsigned char>(flags >> 8));
  reply.push_back(static_cast<unsigned char>(flags));
  reply.insert(reply.end(), 12, 0);
}

class CoderList : public IdleSession {
 protected:
  void Reply(std::vector<unsigned char> payload, std::uint32_t errorCode = 0) {
    rcpplus::RcpHeader header = MakeHeader(kCmdCoderList, rcpplus::kActionReply, errorCode);
    rcpplus::RcpInputStream stream(payload.data(), payload.size());
    Peer::CoderListReply(session_.get(), header, stream);
  }
  bool ReplyEventSet() { return Signalled(Peer::ReplyEvent(*session_)); }
};

TEST_F(CoderList, TakesTheFirstUsableCoderMeantForThisClient) {
  std::vector<unsigned char> reply;
  AddEntry(reply, 0x81, 0x4004);  // usable, but not for this client
  AddEntry(reply, 0x02, 0x0000);  // not usable
  AddEntry(reply, 0x03, 0x0004);
  AddEntry(reply, 0x04, 0x0004);
  Reply(reply);
  EXPECT_EQ(Peer::CoderNumber(*session_).load(), 3u);
  EXPECT_TRUE(ReplyEventSet());
}

TEST_F(CoderList, ReplyWithoutSuitableEntryKeepsTheCoderAndSetsTheReplyEvent) {
  Peer::CoderNumber(*session_) = 9;
  std::vector<unsigned char> reply;
  AddEntry(reply, 0x81, 0x4004);
  Reply(reply);
  EXPECT_EQ(Peer::CoderNumber(*session_).load(), 9u);
  EXPECT_TRUE(ReplyEventSet());
  EXPECT_TRUE(owner_.Texts().empty());
}

TEST_F(CoderList, ReplyShorterThanAnEntryKeepsTheCoder) {
  Peer::CoderNumber(*session_) = 5;
  Reply({0x00, 0x07, 0x00, 0x04, 0, 0, 0, 0, 0, 0, 0});  // 11 bytes
  EXPECT_EQ(Peer::CoderNumber(*session_).load(), 5u);
  EXPECT_TRUE(ReplyEventSet());
}

TEST_F(CoderList, ErrorReplyIsLoggedAndLeavesTheReplyEventUnset) {
  Reply({}, 0x101);
  EXPECT_FALSE(ReplyEventSet());
  EXPECT_EQ(Peer::ErrorCount(*session_).load(), 1u);
  ASSERT_EQ(owner_.Texts().size(), 1u);
  EXPECT_EQ(owner_.Texts()[0],
            "CBoschIPCameraInfo: Connection to server failed. Check address and the device "
            "connection. ReadCodersCallback: Error: 00000101 when calling 0xff110c30\n");
}

// Entries are 16 bytes: a tail of 12 to 15 bytes after the last one is no entry, however it
// begins, and the reply still counts as the answer.
struct ShortTail {
  std::size_t length;
  std::uint16_t flags;  // what its flag bytes would say if it were read as an entry
};

void PrintTo(const ShortTail& tail, std::ostream* out) {
  *out << tail.length << " bytes, flags " << tail.flags;
}

class CoderListTail : public CoderList, public ::testing::WithParamInterface<ShortTail> {};

TEST_P(CoderListTail, IsIgnoredAndTheReplyCounts) {
  const ShortTail& tail = GetParam();
  Peer::CoderNumber(*session_) = 9;
  std::vector<unsigned char> reply;
  AddEntry(reply, 0x81, 0x4004);  // not for this client
  std::vector<unsigned char> last;
  AddEntry(last, 0x07, tail.flags);
  last.resize(tail.length);
  reply.insert(reply.end(), last.begin(), last.end());
  Reply(reply);
  EXPECT_EQ(Peer::CoderNumber(*session_).load(), 9u);
  EXPECT_TRUE(ReplyEventSet());
  EXPECT_EQ(Peer::ErrorCount(*session_).load(), 0u);
  EXPECT_TRUE(owner_.Texts().empty());
}

INSTANTIATE_TEST_SUITE_P(TwelveToFifteenBytes, CoderListTail,
                         ::testing::Values(ShortTail{12, 0x0004}, ShortTail{13, 0x0000},
                                           ShortTail{14, 0x0000}, ShortTail{15, 0x0004}),
                         [](const ::testing::TestParamInfo<ShortTail>& info) {
                           return std::to_string(info.param.length) + "Bytes" +
                                  (info.param.flags != 0 ? "LookingUsable" : "");
                         });

TEST_F(CoderList, NullContextIsIgnored) {
  std::vector<unsigned char> reply;
  AddEntry(reply, 0x03, 0x0004);
  rcpplus::RcpHeader header = MakeHeader(kCmdCoderList, rcpplus::kActionReply);
  rcpplus::RcpInputStream stream(reply.data(), reply.size());
  Peer::CoderListReply(nullptr, header, stream);
  EXPECT_EQ(Peer::CoderNumber(*session_).load(), 0u);
  EXPECT_FALSE(ReplyEventSet());
}

}  // namespace
}  // namespace sessiontest
