// The commands a registered client sends and how the device answers each family.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>

#include "raw_client.h"

namespace devicesim::testing {
namespace {

using rcpwire::Frame;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

constexpr std::array<std::uint32_t, 6> kSettings = {kFrameIntervalA, kFrameIntervalB, kResolution,
                                                    kQualityA,       kQualityB,       kQualityLevel};

class DeviceSimCommands : public ::testing::Test {
 protected:
  void SetUp() override { Begin(DeviceSimOptions{}); }

  void Begin(DeviceSimOptions options) {
    client.reset();
    sim = StartSim(options, /*cameras=*/2, /*inputs=*/4, /*outputs=*/2);
    client = std::make_unique<RawClient>(sim->port());
    ASSERT_TRUE(client->RegisterOk());
  }

  // Sends a request and expects a reply (not an error).
  Frame Reply(std::uint32_t commandWord, std::uint16_t line, std::vector<std::uint8_t> payload) {
    auto answer = client->Request(commandWord, line, std::move(payload), 1);
    EXPECT_TRUE(answer.has_value());
    if (!answer) return {};
    EXPECT_EQ(answer->action, rcpwire::kReply) << "error " << int(answer->ErrorCode());
    return *answer;
  }

  std::uint8_t ErrorOf(std::uint32_t commandWord, std::uint16_t line,
                       std::vector<std::uint8_t> payload) {
    auto answer = client->Request(commandWord, line, std::move(payload), 1);
    if (!answer || answer->action != rcpwire::kError) return 0;
    return answer->ErrorCode();
  }

  std::unique_ptr<DeviceSim> sim;
  std::unique_ptr<RawClient> client;
};

TEST_F(DeviceSimCommands, EchoesRequestIdLineSessionAndCommandWord) {
  auto answer = client->Request(kInputState, 3, {0}, 77, 0x01020304);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->action, rcpwire::kReply);
  EXPECT_EQ(answer->commandWord, kInputState);
  EXPECT_EQ(answer->requestId, 77);
  EXPECT_EQ(answer->line, 3);
  EXPECT_EQ(answer->sessionId, 0x01020304u);
  EXPECT_EQ(answer->clientId, client->clientId());
}

TEST_F(DeviceSimCommands, CoderListHasUsableCoderNumberedAfterCamera) {
  const Frame reply = Reply(kCoderList, 2, {1, 0, 1});
  EXPECT_THAT(reply.payload, ElementsAre(0x00, 0x02, 0x00, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0));
}

TEST_F(DeviceSimCommands, CoderListStartsWithUnusableEntryWhenAsked) {
  DeviceSimOptions options;
  options.unusableCoderFirst = true;
  Begin(options);
  const Frame reply = Reply(kCoderList, 1, {1, 0, 1});
  ASSERT_EQ(reply.payload.size(), 32u);
  EXPECT_EQ(rcpwire::GetU16(&reply.payload[0]), 0x81);
  EXPECT_NE(rcpwire::GetU16(&reply.payload[2]) & 0x4000, 0);
  EXPECT_EQ(rcpwire::GetU16(&reply.payload[16]), 1);
  EXPECT_EQ(rcpwire::GetU16(&reply.payload[18]), 0x0004);
}

TEST_F(DeviceSimCommands, CoderListForMissingCameraIsEmpty) {
  EXPECT_TRUE(Reply(kCoderList, 3, {1, 0, 1}).payload.empty());
  EXPECT_TRUE(Reply(kCoderList, 0, {1, 0, 1}).payload.empty());
}

TEST_F(DeviceSimCommands, StreamSettingIsHeldPendingUntilApplied) {
  const std::uint32_t before = sim->AppliedSetting(1, kResolution);
  EXPECT_TRUE(Reply(kResolution, 1, U32(3)).payload.empty());
  EXPECT_EQ(sim->PendingSetting(1, kResolution), 3u);
  EXPECT_EQ(sim->AppliedSetting(1, kResolution), before);
}

TEST_F(DeviceSimCommands, EachStreamSettingIsHeldUnderItsCommandWord) {
  for (std::size_t i = 0; i < kSettings.size(); ++i) {
    Reply(kSettings[i], 2, U32(100 + static_cast<std::uint32_t>(i)));
  }
  for (std::size_t i = 0; i < kSettings.size(); ++i) {
    EXPECT_EQ(sim->PendingSetting(2, kSettings[i]), 100 + i) << std::hex << kSettings[i];
  }
}

TEST_F(DeviceSimCommands, StartsAtCifAndFullRateBeforeAnyApply) {
  EXPECT_EQ(sim->AppliedSetting(1, kResolution), 1u);
  EXPECT_EQ(sim->AppliedSetting(1, kFrameIntervalA), 1u);
}

TEST_F(DeviceSimCommands, ApplyWithoutAnswerMakesNamedCameraPendingSettingsApplied) {
  Reply(kFrameIntervalA, 2, U32(24));
  Reply(kQualityLevel, 2, U32(7));
  Reply(kFrameIntervalA, 1, U32(12));
  // The line carries the coder number, which the device does not use.
  ASSERT_TRUE(client->SendRequest(kApply, 0x55, U32(2), 0));
  ASSERT_TRUE(sim->WaitForRequests(kApply, 1, kArrivalMs));
  EXPECT_EQ(sim->AppliedSetting(2, kFrameIntervalA), 24u);
  EXPECT_EQ(sim->AppliedSetting(2, kQualityLevel), 7u);
  EXPECT_EQ(sim->AppliedSetting(1, kFrameIntervalA), 1u);
  EXPECT_TRUE(client->Quiet());
}

TEST_F(DeviceSimCommands, ApplyWithRequestIdGetsEmptyReply) {
  Reply(kResolution, 1, U32(0));
  EXPECT_TRUE(Reply(kApply, 1, U32(1)).payload.empty());
  EXPECT_EQ(sim->AppliedSetting(1, kResolution), 0u);
}

TEST_F(DeviceSimCommands, SettingWithWrongPayloadLengthGetsPacketSizeError) {
  EXPECT_EQ(ErrorOf(kQualityA, 1, {0, 0, 9}), 0x80);
  EXPECT_EQ(ErrorOf(kQualityA, 1, {0, 0, 0, 0, 9}), 0x80);
  EXPECT_EQ(sim->PendingSetting(1, kQualityA), 0u);
}

TEST_F(DeviceSimCommands, SettingOrApplyForMissingCameraGetsUnknownError) {
  EXPECT_EQ(ErrorOf(kResolution, 3, U32(2)), 0xFF);
  EXPECT_EQ(ErrorOf(kApply, 1, U32(3)), 0xFF);
  EXPECT_EQ(ErrorOf(kApply, 1, U32(0)), 0xFF);
}

TEST_F(DeviceSimCommands, ApplyWithWrongPayloadLengthGetsPacketSizeError) {
  Reply(kResolution, 1, U32(0));
  EXPECT_EQ(ErrorOf(kApply, 1, {0, 0, 1}), 0x80);
  EXPECT_EQ(sim->AppliedSetting(1, kResolution), 1u);
}

TEST_F(DeviceSimCommands, StreamSessionNoteIsRecordedWithoutAnswer) {
  ASSERT_TRUE(client->SendRequest(kStreamSession, 1, U32(0xABCD), 0));
  ASSERT_TRUE(sim->WaitForRequests(kStreamSession, 1, kArrivalMs));
  EXPECT_THAT(sim->Requests().back().payload, ElementsAre(0, 0, 0xAB, 0xCD));
  EXPECT_TRUE(client->Quiet());
}

TEST_F(DeviceSimCommands, InputAndOutputCountsAreFourByteBigEndian) {
  EXPECT_THAT(Reply(kInputCount, 0, {0}).payload, ElementsAre(0, 0, 0, 4));
  EXPECT_THAT(Reply(kOutputCount, 0, {0}).payload, ElementsAre(0, 0, 0, 2));
}

TEST_F(DeviceSimCommands, ConfigurationWritesWithoutIdAreNotAnswered) {
  for (std::uint32_t word : {0x008D0131u, 0x008C0131u, 0x00350031u, 0x00480131u, 0x00930131u,
                             0x00930130u}) {
    ASSERT_TRUE(client->SendRequest(word, 1, {1}, 0));
  }
  // The next answered request's reply is the first frame back.
  auto answer = client->Request(kInputCount, 0, {0}, 5);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->commandWord, kInputCount);
  EXPECT_EQ(sim->Requests().size(), 7u);
}

TEST_F(DeviceSimCommands, ConfigurationWriteWithIdGetsEmptyReply) {
  EXPECT_TRUE(Reply(0x008D0131, 1, {1}).payload.empty());
}

TEST_F(DeviceSimCommands, OutputModeReadGetsOneByteReplyWithModeLastWritten) {
  EXPECT_THAT(Reply(kOutputModeRead, 2, {0}).payload, ElementsAre(0));
  Reply(0x00930131, 2, {1});
  EXPECT_THAT(Reply(kOutputModeRead, 2, {0}).payload, ElementsAre(1));
  EXPECT_THAT(Reply(kOutputModeRead, 1, {0}).payload, ElementsAre(0));
}

TEST_F(DeviceSimCommands, InputStateFollowsSetInput) {
  EXPECT_THAT(Reply(kInputState, 2, {0}).payload, ElementsAre(0));
  sim->SetInput(2, true);
  ASSERT_TRUE(client->Read().has_value());  // the change message
  EXPECT_THAT(Reply(kInputState, 2, {0}).payload, ElementsAre(1));
}

TEST_F(DeviceSimCommands, InputStateOfLineWithoutInputReadsZero) {
  EXPECT_THAT(Reply(kInputState, 9, {0}).payload, ElementsAre(0));
  EXPECT_THAT(Reply(kInputState, 0, {0}).payload, ElementsAre(0));
}

TEST_F(DeviceSimCommands, SetOutputTurnsOutputOnAndOff) {
  EXPECT_TRUE(Reply(kSetOutput, 2, {1}).payload.empty());
  EXPECT_TRUE(sim->Output(2));
  EXPECT_FALSE(sim->Output(1));
  Reply(kSetOutput, 2, {0});
  EXPECT_FALSE(sim->Output(2));
}

TEST_F(DeviceSimCommands, SetOutputTreatsAnyNonZeroByteAsOn) {
  Reply(kSetOutput, 1, {0x7F});
  EXPECT_TRUE(sim->Output(1));
}

TEST_F(DeviceSimCommands, SetOutputRefusesMissingOutputAndEmptyPayload) {
  EXPECT_EQ(ErrorOf(kSetOutput, 3, {1}), 0xFF);
  EXPECT_EQ(ErrorOf(kSetOutput, 1, {}), 0x80);
  EXPECT_FALSE(sim->Output(1));
}

TEST_F(DeviceSimCommands, OutputStateAnswersCurrentState) {
  EXPECT_THAT(Reply(kOutputState, 1, {1}).payload, ElementsAre(0));
  Reply(kSetOutput, 1, {1});
  EXPECT_THAT(Reply(kOutputState, 1, {1}).payload, ElementsAre(1));
}

TEST_F(DeviceSimCommands, UnknownCommandGetsInvalidCmd) {
  EXPECT_EQ(ErrorOf(0x12345678, 1, {}), 0x40);
  // Same tag as a known command, other data type.
  EXPECT_EQ(ErrorOf(0x01DB0130, 0, {0}), 0x40);
}

TEST_F(DeviceSimCommands, ErrorFrameCarriesRequestHeader) {
  auto answer = client->Request(0x12345678, 6, {}, 200, 42);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->action, rcpwire::kError);
  EXPECT_EQ(answer->commandWord, 0x12345678u);
  EXPECT_EQ(answer->requestId, 200);
  EXPECT_EQ(answer->line, 6);
  EXPECT_EQ(answer->sessionId, 42u);
  EXPECT_EQ(answer->payload.size(), 1u);
}

TEST_F(DeviceSimCommands, UnknownCommandWithoutIdIsNotAnswered) {
  ASSERT_TRUE(client->SendRequest(0x12345678, 1, {}, 0));
  EXPECT_TRUE(client->Quiet());
}

TEST_F(DeviceSimCommands, RequestLogHoldsRequestsInArrivalOrder) {
  Reply(kResolution, 2, U32(2));
  ASSERT_TRUE(client->SendRequest(kApply, 9, U32(2), 0, 31));
  Reply(kInputState, 1, {0});
  ASSERT_TRUE(sim->WaitForRequests(kInputState, 1, kArrivalMs));
  const auto log = sim->Requests();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].commandWord, kResolution);
  EXPECT_EQ(log[0].line, 2);
  EXPECT_EQ(log[0].requestId, 1);
  EXPECT_THAT(log[0].payload, ElementsAreArray(U32(2)));
  EXPECT_EQ(log[1].commandWord, kApply);
  EXPECT_EQ(log[1].line, 9);
  EXPECT_EQ(log[1].requestId, 0);
  EXPECT_EQ(log[1].sessionId, 31u);
  EXPECT_EQ(log[2].commandWord, kInputState);
}

TEST_F(DeviceSimCommands, ClearRequestsEmptiesLog) {
  Reply(kInputCount, 0, {0});
  sim->ClearRequests();
  EXPECT_TRUE(sim->Requests().empty());
  EXPECT_FALSE(sim->WaitForRequests(kInputCount, 1, 0));
}

TEST_F(DeviceSimCommands, WaitForRequestsTimesOutWhenTooFewArrived) {
  Reply(kInputCount, 0, {0});
  EXPECT_TRUE(sim->WaitForRequests(kInputCount, 1, 0));
  EXPECT_FALSE(sim->WaitForRequests(kInputCount, 2, 50));
}

}  // namespace
}  // namespace devicesim::testing
