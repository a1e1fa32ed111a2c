// Scripted faults: each one does what it says, and only to what it names.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>

#include "raw_client.h"

namespace devicesim::testing {
namespace {

using rcpwire::Frame;

std::unique_ptr<RawClient> Registered(const DeviceSim& sim) {
  auto client = std::make_unique<RawClient>(sim.port());
  EXPECT_TRUE(client->RegisterOk());
  return client;
}

// Waits until the device counts the given number of open connections.
bool WaitForConnectionCount(const DeviceSim& sim, int count) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kArrivalMs);
  while (sim.ConnectionCount() != count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

TEST(DeviceSimFaults, RefusedConnectionIsClosedWithoutChallenge) {
  auto sim = StartSim();
  sim->RefuseConnections(true);
  RawClient refused(sim->port());
  ASSERT_TRUE(refused.connected());
  EXPECT_FALSE(refused.Read().has_value());
  EXPECT_FALSE(refused.protocolError());
  sim->RefuseConnections(false);
  RawClient accepted(sim->port());
  EXPECT_TRUE(accepted.RegisterOk());
}

TEST(DeviceSimFaults, CloseAfterFramesClosesOnNthFrameWithoutAnsweringIt) {
  auto sim = StartSim();
  sim->CloseAfterFrames(2);
  auto client = Registered(*sim);  // frame 1
  ASSERT_TRUE(client->SendRequest(kInputCount, 0, {0}, 3));  // frame 2
  EXPECT_TRUE(client->WaitClosed());
  EXPECT_TRUE(sim->Requests().empty());
}

TEST(DeviceSimFaults, CloseAfterFramesLeavesEarlierFramesAnswered) {
  auto sim = StartSim();
  sim->CloseAfterFrames(3);
  auto client = Registered(*sim);
  auto answer = client->Request(kInputCount, 0, {0});
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->action, rcpwire::kReply);
  ASSERT_TRUE(client->SendRequest(kInputCount, 0, {0}, 2));
  EXPECT_TRUE(client->WaitClosed());
}

TEST(DeviceSimFaults, DropAllConnectionsClosesEveryOpenConnection) {
  auto sim = StartSim();
  auto first = Registered(*sim);
  auto second = Registered(*sim);
  ASSERT_TRUE(WaitForConnectionCount(*sim, 2));
  sim->DropAllConnections();
  EXPECT_TRUE(first->WaitClosed());
  EXPECT_TRUE(second->WaitClosed());
  EXPECT_TRUE(WaitForConnectionCount(*sim, 0));
  // The device itself keeps serving.
  EXPECT_TRUE(Registered(*sim)->Request(kInputCount, 0, {0}).has_value());
}

TEST(DeviceSimFaults, DelayedReplyArrivesAfterLaterUndelayedOne) {
  auto sim = StartSim();
  auto client = Registered(*sim);
  sim->DelayReplies(kInputCount, 500);
  ASSERT_TRUE(client->SendRequest(kInputCount, 0, {0}, 1));
  ASSERT_TRUE(client->SendRequest(kOutputCount, 0, {0}, 2));
  auto first = client->Read();
  auto second = client->Read();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->requestId, 2);
  EXPECT_EQ(second->requestId, 1);
  EXPECT_EQ(second->action, rcpwire::kReply);
}

TEST(DeviceSimFaults, DelayOfZeroAnswersInOrderAgain) {
  auto sim = StartSim();
  auto client = Registered(*sim);
  sim->DelayReplies(kInputCount, 300);
  sim->DelayReplies(kInputCount, 0);
  ASSERT_TRUE(client->SendRequest(kInputCount, 0, {0}, 1));
  ASSERT_TRUE(client->SendRequest(kOutputCount, 0, {0}, 2));
  auto first = client->Read();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->requestId, 1);
}

TEST(DeviceSimFaults, DroppedReplyNeverArrivesButCommandTakesEffect) {
  auto sim = StartSim();
  auto client = Registered(*sim);
  sim->DropReplies(kSetOutput, true);
  ASSERT_TRUE(client->SendRequest(kSetOutput, 1, {1}, 1));
  auto next = client->Request(kInputCount, 0, {0}, 2);
  ASSERT_TRUE(next.has_value());
  EXPECT_EQ(next->requestId, 2);
  EXPECT_TRUE(client->Quiet());
  EXPECT_TRUE(sim->Output(1));
  sim->DropReplies(kSetOutput, false);
  auto answered = client->Request(kSetOutput, 1, {0}, 3);
  ASSERT_TRUE(answered.has_value());
  EXPECT_EQ(answered->requestId, 3);
}

TEST(DeviceSimFaults, DroppedRegistrationReplyLeavesClientWithoutAnswer) {
  auto sim = StartSim();
  sim->DropReplies(rcpwire::kCmdRegister, true);
  RawClient client(sim->port());
  ASSERT_TRUE(client.Read().has_value());
  ASSERT_TRUE(client.SendRequest(rcpwire::kCmdRegister, 0, {0}, 1));
  EXPECT_TRUE(client.Quiet());
}

TEST(DeviceSimFaults, AnswerWithErrorSendsCodeAndSkipsCommand) {
  auto sim = StartSim();
  auto client = Registered(*sim);
  sim->AnswerWithError(kSetOutput, 0x70);
  auto answer = client->Request(kSetOutput, 1, {1}, 8);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->action, rcpwire::kError);
  EXPECT_EQ(answer->ErrorCode(), 0x70);
  EXPECT_EQ(answer->requestId, 8);
  EXPECT_FALSE(sim->Output(1));
  sim->AnswerWithError(kSetOutput, 0);
  auto cleared = client->Request(kSetOutput, 1, {1}, 9);
  ASSERT_TRUE(cleared.has_value());
  EXPECT_EQ(cleared->action, rcpwire::kReply);
}

TEST(DeviceSimFaults, AnswerWithErrorLeavesOtherCommandsAlone) {
  auto sim = StartSim();
  auto client = Registered(*sim);
  sim->AnswerWithError(kCoderList, 0xC0);
  auto answer = client->Request(kInputCount, 0, {0});
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->action, rcpwire::kReply);
}

TEST(DeviceSimFaults, RejectCredentialsFailsEvenCorrectRegistration) {
  DeviceSimOptions options;
  options.user = "u";
  options.password = "p";
  auto sim = StartSim(options);
  sim->RejectCredentials(true);
  RawClient client(sim->port());
  auto answer = client.Register("u", "p");
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->action, rcpwire::kError);
  EXPECT_EQ(answer->ErrorCode(), 0xA0);
  EXPECT_TRUE(client.WaitClosed());
}

TEST(DeviceSimFaults, MalformedReplyHasPayloadLengthThatMismatchesTotal) {
  auto sim = StartSim();
  auto client = Registered(*sim);
  sim->MalformedReply(kInputCount, true);
  ASSERT_TRUE(client->SendRequest(kInputCount, 0, {0}, 1));
  // Skip what the client already read: the challenge and the registration reply.
  client->ReadRaw(20 + 16 + 20 + 2);
  const auto bytes = client->ReadRaw(24);
  ASSERT_EQ(bytes.size(), 24u);
  EXPECT_EQ(bytes[0], 0x03);
  EXPECT_EQ(rcpwire::GetU16(&bytes[2]), 24);  // total length still right
  EXPECT_NE(rcpwire::GetU16(&bytes[18]), 4);
  EXPECT_EQ(bytes[9], 1);  // the request id
}

TEST(DeviceSimFaults, MalformedReplyMakesDecoderFail) {
  auto sim = StartSim();
  auto client = Registered(*sim);
  sim->MalformedReply(kOutputState, true);
  EXPECT_FALSE(client->Request(kOutputState, 1, {0}).has_value());
  EXPECT_TRUE(client->protocolError());
}

TEST(DeviceSimFaults, GarbageReachesEveryOpenConnectionAsProtocolError) {
  auto sim = StartSim();
  auto registered = Registered(*sim);
  RawClient fresh(sim->port());
  ASSERT_TRUE(fresh.Read().has_value());
  ASSERT_TRUE(WaitForConnectionCount(*sim, 2));
  sim->SendGarbage(64);
  EXPECT_FALSE(registered->Read().has_value());
  EXPECT_TRUE(registered->protocolError());
  EXPECT_FALSE(fresh.Read().has_value());
  EXPECT_TRUE(fresh.protocolError());
}

TEST(DeviceSimFaults, DeviceSurvivesRandomBytesAndKeepsServing) {
  auto sim = StartSim();
  std::mt19937 random(12345);
  for (int round = 0; round < 20; ++round) {
    RawClient client(sim->port());
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(random() % 200));
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    if (!bytes.empty() && round % 2 == 0) bytes[0] = 0x03;  // get past the first check
    client.SendBytes(bytes);
  }
  auto client = Registered(*sim);
  EXPECT_TRUE(client->Request(kInputCount, 0, {0}).has_value());
}

}  // namespace
}  // namespace devicesim::testing
