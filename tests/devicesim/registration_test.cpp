// Connection start: challenge, registration with and without credentials, client ids, and
// what the device does with frames before registration.
#include <gtest/gtest.h>

#include "raw_client.h"

namespace devicesim::testing {
namespace {

using rcpwire::Frame;

DeviceSimOptions WithCredentials() {
  DeviceSimOptions options;
  options.user = "operator";
  options.password = "s3cr\xC3\xA9t";
  return options;
}

void ExpectRejectedAndClosed(const std::optional<Frame>& answer, RawClient& client) {
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->action, rcpwire::kError);
  EXPECT_EQ(answer->ErrorCode(), rcpwire::kErrInvalidAuthorization);
  EXPECT_EQ(answer->commandWord, rcpwire::kCmdRegister);
  EXPECT_TRUE(client.WaitClosed());
}

TEST(DeviceSimRegistration, SendsSixteenByteChallengeMessageOnAccept) {
  auto sim = StartSim();
  RawClient client(sim->port());
  auto challenge = client.Read();
  ASSERT_TRUE(challenge.has_value());
  EXPECT_EQ(challenge->commandWord, rcpwire::kCmdChallenge);
  EXPECT_EQ(challenge->action, rcpwire::kMessage);
  EXPECT_EQ(challenge->payload.size(), 16u);
  EXPECT_EQ(challenge->clientId, 0);
  EXPECT_EQ(challenge->sessionId, 0u);
  EXPECT_EQ(challenge->line, 0);
}

TEST(DeviceSimRegistration, ChallengeDiffersBetweenConnections) {
  auto sim = StartSim();
  RawClient first(sim->port());
  RawClient second(sim->port());
  auto a = first.Read();
  auto b = second.Read();
  ASSERT_TRUE(a && b);
  EXPECT_NE(a->payload, b->payload);
}

TEST(DeviceSimRegistration, AcceptsAnyRegistrationWithoutCredentials) {
  auto sim = StartSim();
  RawClient client(sim->port());
  auto answer = client.Register("whoever", "whatever");
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->action, rcpwire::kReply);
  ASSERT_EQ(answer->payload.size(), 2u);
  const std::uint16_t id = rcpwire::GetU16(answer->payload.data());
  EXPECT_NE(id, 0);
  EXPECT_EQ(answer->clientId, id);
}

TEST(DeviceSimRegistration, AcceptsMalformedRegistrationWithoutCredentials) {
  auto sim = StartSim();
  RawClient client(sim->port());
  ASSERT_TRUE(client.Read().has_value());
  auto answer = client.Request(rcpwire::kCmdRegister, 0, {0x07});
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->action, rcpwire::kReply);
}

TEST(DeviceSimRegistration, AcceptsCorrectUserAndDigest) {
  auto sim = StartSim(WithCredentials());
  RawClient client(sim->port());
  EXPECT_TRUE(client.RegisterOk("operator", "s3cr\xC3\xA9t"));
}

TEST(DeviceSimRegistration, RejectsWrongPasswordAndCloses) {
  auto sim = StartSim(WithCredentials());
  RawClient client(sim->port());
  ExpectRejectedAndClosed(client.Register("operator", "secret"), client);
}

TEST(DeviceSimRegistration, RejectsWrongUserAndCloses) {
  auto sim = StartSim(WithCredentials());
  RawClient client(sim->port());
  ExpectRejectedAndClosed(client.Register("operator2", "s3cr\xC3\xA9t"), client);
}

TEST(DeviceSimRegistration, RejectsMalformedRegistrationWhenCredentialsAreSet) {
  auto sim = StartSim(WithCredentials());
  RawClient client(sim->port());
  ASSERT_TRUE(client.Read().has_value());
  // n = 8 but only 3 name bytes and no digest.
  ExpectRejectedAndClosed(client.Request(rcpwire::kCmdRegister, 0, {8, 'o', 'p', 'e'}), client);
}

TEST(DeviceSimRegistration, GivesEachConnectionItsOwnNonZeroClientId) {
  auto sim = StartSim();
  RawClient first(sim->port());
  RawClient second(sim->port());
  ASSERT_TRUE(first.RegisterOk());
  ASSERT_TRUE(second.RegisterOk());
  EXPECT_NE(first.clientId(), second.clientId());
}

TEST(DeviceSimRegistration, RequestBeforeRegistrationGetsNotRegistered) {
  auto sim = StartSim();
  RawClient client(sim->port());
  ASSERT_TRUE(client.Read().has_value());
  auto answer = client.Request(kInputCount, 0, {0}, 9);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->action, rcpwire::kError);
  EXPECT_EQ(answer->ErrorCode(), rcpwire::kErrNotRegistered);
  EXPECT_EQ(answer->requestId, 9);
  EXPECT_EQ(answer->commandWord, kInputCount);
}

TEST(DeviceSimRegistration, NoResponseRequestBeforeRegistrationIsNotAnswered) {
  auto sim = StartSim();
  RawClient client(sim->port());
  ASSERT_TRUE(client.Read().has_value());
  ASSERT_TRUE(client.SendRequest(kInputCount, 0, {0}, 0));
  EXPECT_TRUE(client.Quiet());
}

TEST(DeviceSimRegistration, RequestsBeforeRegistrationAreNotLogged) {
  auto sim = StartSim();
  RawClient client(sim->port());
  ASSERT_TRUE(client.Read().has_value());
  ASSERT_TRUE(client.Request(kInputCount, 0, {0}).has_value());
  EXPECT_TRUE(sim->Requests().empty());
}

TEST(DeviceSimRegistration, IgnoresRepliesAndMessagesFromClient) {
  auto sim = StartSim();
  RawClient client(sim->port());
  ASSERT_TRUE(client.RegisterOk());
  Frame reply;
  reply.commandWord = kInputCount;
  reply.action = rcpwire::kReply;
  reply.requestId = 4;
  ASSERT_TRUE(client.Send(reply));
  Frame message = reply;
  message.action = rcpwire::kMessage;
  ASSERT_TRUE(client.Send(message));
  EXPECT_TRUE(client.Quiet());
  EXPECT_TRUE(sim->Requests().empty());
}

TEST(DeviceSimRegistration, ClosesConnectionOnProtocolError) {
  auto sim = StartSim();
  RawClient client(sim->port());
  ASSERT_TRUE(client.RegisterOk());
  // First byte not 0x03.
  const std::uint8_t bad[20] = {0x04, 0x00, 0x00, 0x14};
  ASSERT_TRUE(client.SendBytes(bad));
  EXPECT_TRUE(client.WaitClosed());
}

TEST(DeviceSimRegistration, ClosesConnectionOnPayloadLengthMismatch) {
  auto sim = StartSim();
  RawClient client(sim->port());
  ASSERT_TRUE(client.RegisterOk());
  std::vector<std::uint8_t> bytes;
  Frame frame;
  frame.commandWord = kInputCount;
  frame.requestId = 1;
  frame.payload = {0};
  rcpwire::Encode(frame, bytes);
  bytes[19] = 2;  // payload length no longer total - 20
  ASSERT_TRUE(client.SendBytes(bytes));
  EXPECT_TRUE(client.WaitClosed());
}

}  // namespace
}  // namespace devicesim::testing
