// Input state messages: who gets them, what they carry, and when.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>

#include "raw_client.h"

namespace devicesim::testing {
namespace {

using rcpwire::Frame;

void ExpectInputMessage(const std::optional<Frame>& message, std::uint16_t input, bool active,
                        std::uint16_t clientId) {
  ASSERT_TRUE(message.has_value());
  EXPECT_EQ(message->commandWord, kInputState);
  EXPECT_EQ(message->action, rcpwire::kMessage);
  EXPECT_EQ(message->requestId, 0);
  EXPECT_EQ(message->line, input);
  EXPECT_EQ(message->clientId, clientId);
  ASSERT_EQ(message->payload.size(), 1u);
  EXPECT_EQ(message->payload[0] != 0, active);
}

TEST(DeviceSimInputs, ChangeIsSentToEveryRegisteredConnection) {
  auto sim = StartSim();
  RawClient first(sim->port());
  RawClient second(sim->port());
  ASSERT_TRUE(first.RegisterOk());
  ASSERT_TRUE(second.RegisterOk());
  sim->SetInput(3, true);
  ExpectInputMessage(first.Read(), 3, true, first.clientId());
  ExpectInputMessage(second.Read(), 3, true, second.clientId());
  sim->SetInput(3, false);
  ExpectInputMessage(first.Read(), 3, false, first.clientId());
  ExpectInputMessage(second.Read(), 3, false, second.clientId());
}

TEST(DeviceSimInputs, UnregisteredConnectionGetsNoMessage) {
  auto sim = StartSim();
  RawClient registered(sim->port());
  RawClient stranger(sim->port());
  ASSERT_TRUE(registered.RegisterOk());
  ASSERT_TRUE(stranger.Read().has_value());  // its challenge
  sim->SetInput(1, true);
  ASSERT_TRUE(registered.Read().has_value());
  EXPECT_TRUE(stranger.Quiet());
}

TEST(DeviceSimInputs, MessageCarriesLastNonZeroSessionIdOfConnection) {
  auto sim = StartSim();
  RawClient client(sim->port());
  ASSERT_TRUE(client.RegisterOk());
  ASSERT_TRUE(client.Request(kInputCount, 0, {0}, 1, 0x5150).has_value());
  ASSERT_TRUE(client.Request(kInputCount, 0, {0}, 2, 0).has_value());
  sim->SetInput(2, true);
  auto message = client.Read();
  ExpectInputMessage(message, 2, true, client.clientId());
  EXPECT_EQ(message->sessionId, 0x5150u);
}

TEST(DeviceSimInputs, SettingSameStateSendsNothing) {
  auto sim = StartSim();
  RawClient client(sim->port());
  ASSERT_TRUE(client.RegisterOk());
  sim->SetInput(1, false);
  EXPECT_TRUE(client.Quiet());
  sim->SetInput(1, true);
  ASSERT_TRUE(client.Read().has_value());
  sim->SetInput(1, true);
  EXPECT_TRUE(client.Quiet());
  EXPECT_TRUE(sim->Input(1));
}

TEST(DeviceSimInputs, InputTheDeviceDoesNotHaveSendsNothing) {
  auto sim = StartSim({}, 1, /*inputs=*/2, 1);
  RawClient client(sim->port());
  ASSERT_TRUE(client.RegisterOk());
  sim->SetInput(3, true);
  sim->SetInput(0, true);
  EXPECT_TRUE(client.Quiet());
  EXPECT_FALSE(sim->Input(3));
}

TEST(DeviceSimInputs, ToggleTimerSendsAlternatingStatesUntilStopped) {
  auto sim = StartSim();
  RawClient client(sim->port());
  ASSERT_TRUE(client.RegisterOk());
  sim->ToggleInputEvery(4, 20);
  ExpectInputMessage(client.Read(), 4, true, client.clientId());
  ExpectInputMessage(client.Read(), 4, false, client.clientId());
  ExpectInputMessage(client.Read(), 4, true, client.clientId());
  sim->ToggleInputEvery(4, 0);
  // Messages sent before the stop may still be on their way; then the line falls silent,
  // with the last message telling the state the input stays in.
  bool last = true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kArrivalMs);
  while (std::chrono::steady_clock::now() < deadline) {
    auto message = client.Read(kQuietMs);
    if (!message) break;
    ASSERT_EQ(message->payload.size(), 1u);
    last = message->payload[0] != 0;
  }
  EXPECT_TRUE(client.Quiet());
  EXPECT_EQ(sim->Input(4), last);
}

}  // namespace
}  // namespace devicesim::testing
