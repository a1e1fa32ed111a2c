// Requests against the simulated device: answers, device errors and client errors.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client_fixture.h"

using ::testing::ElementsAre;

namespace rcpplus::testing {
namespace {

using RequestTest = ClientTest;

TEST_F(RequestTest, DeliversReplyWithHeaderFields) {
  RcpClient client(address_.c_str(), 0x77, 0);
  Recorder& reply = NewRecorder();
  RcpOutputStream out;
  out.writeOctet(0);
  EXPECT_EQ(client.sendRequest(2000, kInputCount, out, Recorder::Callback, &reply), 0);
  ASSERT_TRUE(reply.WaitForCount(1));

  const Call call = reply.Calls().front();
  EXPECT_EQ(call.header.commandWord, kInputCount);
  EXPECT_EQ(call.header.action, kActionReply);
  EXPECT_NE(call.header.requestId, 0);
  EXPECT_NE(call.header.clientId, 0);
  EXPECT_EQ(call.header.payloadLength, 4);
  EXPECT_EQ(call.header.line, 0);
  EXPECT_EQ(call.header.sessionId, 0x77u);
  EXPECT_EQ(call.header.errorCode, 0u);
  EXPECT_EQ(call.address, address_);
  EXPECT_THAT(call.payload, ElementsAre(0, 0, 0, 4));  // the device's four inputs

  const auto requests = sim_->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].requestId, call.header.requestId);
  EXPECT_EQ(requests[0].sessionId, 0x77u);
  EXPECT_THAT(requests[0].payload, ElementsAre(0));
}

TEST_F(RequestTest, ConnectionAddressOfReplyMakesAWorkingClient) {
  RcpClient client(address_.c_str(), 0, 0);
  const Call first = RoundTrip(client);
  ASSERT_FALSE(first.address.empty());
  RcpClient again(first.address.c_str(), 0, 0);
  const Call second = RoundTrip(again);
  EXPECT_EQ(second.header.action, kActionReply);
  EXPECT_EQ(second.header.errorCode, 0u);
}

TEST_F(RequestTest, ReadsLineMemberAtEachRequest) {
  RcpClient client(address_.c_str(), 0, 1);
  client.line = 2;
  const Call first = RoundTrip(client, kInputState);
  client.line = 3;
  const Call second = RoundTrip(client, kInputState);
  EXPECT_EQ(first.header.line, 2);
  EXPECT_EQ(second.header.line, 3);
  const auto requests = sim_->Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].line, 2);
  EXPECT_EQ(requests[1].line, 3);
}

TEST_F(RequestTest, DeviceErrorArrivesAsActionThreeWithItsCode) {
  RcpClient client(address_.c_str(), 0, 0);
  const Call call = RoundTrip(client, 0x0BAD0830);
  EXPECT_EQ(call.header.action, kActionError);
  EXPECT_EQ(call.header.errorCode, 0x40u);  // InvalidCmd
  EXPECT_EQ(call.header.commandWord, 0x0BAD0830u);
}

TEST_F(RequestTest, HandsOutRequestIdsRoundRobin) {
  RcpClient client(address_.c_str(), 0, 0);
  std::vector<unsigned> ids;
  for (int i = 0; i < 4; ++i) ids.push_back(RoundTrip(client).header.requestId);
  for (std::size_t i = 1; i < ids.size(); ++i) {
    EXPECT_EQ(ids[i], ids[i - 1] % 255 + 1) << "request " << i;
  }
}

TEST_F(RequestTest, NoResponseFormSendsRequestIdZero) {
  RcpClient client(address_.c_str(), 0, 5);
  RcpOutputStream out;
  out.writeOctet(1);
  EXPECT_EQ(client.sendRequest(0, kOutputFlags, out, RcpClient::noResponse()), 0);
  ASSERT_TRUE(sim_->WaitForRequests(kOutputFlags, 1, 5000));
  const auto requests = sim_->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].requestId, 0);
  EXPECT_EQ(requests[0].line, 5);
  EXPECT_THAT(requests[0].payload, ElementsAre(1));
}

TEST_F(RequestTest, TimesOutOnceAndDropsLateReply) {
  sim_->DelayReplies(static_cast<std::uint32_t>(kInputCount), 300);
  RcpClient client(address_.c_str(), 0, 0);
  Recorder& late = NewRecorder();
  RcpOutputStream out;
  out.writeOctet(0);
  client.sendRequest(100, kInputCount, out, Recorder::Callback, &late);
  ASSERT_TRUE(late.WaitForCount(1));
  const Call timedOut = late.Calls().front();
  EXPECT_EQ(timedOut.header.action, kActionClientError);
  EXPECT_EQ(timedOut.header.errorCode, 0x100u);
  EXPECT_EQ(timedOut.header.commandWord, kInputCount);

  // The probe's reply is delayed the same way, so it comes after the late one.
  Recorder& probe = NewRecorder();
  client.sendRequest(5000, kInputCount, out, Recorder::Callback, &probe);
  ASSERT_TRUE(probe.WaitForCount(1));
  EXPECT_EQ(probe.Calls().front().header.action, kActionReply);
  EXPECT_NE(probe.Calls().front().header.requestId, timedOut.header.requestId);
  EXPECT_EQ(late.Count(), 1u);
}

TEST_F(RequestTest, TimeOutCountsTimeSpentRegistering) {
  sim_->DelayReplies(static_cast<std::uint32_t>(kRegister), 400);
  RcpClient client(address_.c_str(), 0, 0);
  Recorder& early = NewRecorder();
  RcpOutputStream out;
  out.writeOctet(0);
  client.sendRequest(100, kInputCount, out, Recorder::Callback, &early);
  ASSERT_TRUE(early.WaitForCount(1));
  EXPECT_EQ(early.Calls().front().header.errorCode, 0x100u);
  // Once registered, only the probe reaches the device: the timed-out request is not sent.
  const Call probe = RoundTrip(client, kInputState);
  EXPECT_EQ(probe.header.action, kActionReply);
  const auto requests = sim_->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].commandWord, kInputState);
  EXPECT_EQ(early.Count(), 1u);
}

TEST_F(RequestTest, ZeroTimeOutWaitsForSlowReply) {
  sim_->DelayReplies(static_cast<std::uint32_t>(kInputCount), 200);
  RcpClient client(address_.c_str(), 0, 0);
  Recorder& reply = NewRecorder();
  RcpOutputStream out;
  out.writeOctet(0);
  client.sendRequest(0, kInputCount, out, Recorder::Callback, &reply);
  ASSERT_TRUE(reply.WaitForCount(1));
  EXPECT_EQ(reply.Calls().front().header.action, kActionReply);
}

TEST_F(RequestTest, FailsWithConnectionErrorWhenDeviceClosesBeforeRegistration) {
  sim_->RefuseConnections(true);
  RcpClient client(address_.c_str(), 0, 0);
  const Call call = RoundTrip(client);
  EXPECT_EQ(call.header.action, kActionClientError);
  EXPECT_EQ(call.header.errorCode, 0x101u);
  EXPECT_EQ(call.header.commandWord, kInputCount);
}

TEST_F(RequestTest, FailsWithConnectionErrorWhenNothingListens) {
  const std::string deadAddress = address_;
  sim_->Stop();
  RcpClient client(deadAddress.c_str(), 0, 0);
  const Call call = RoundTrip(client);
  EXPECT_EQ(call.header.action, kActionClientError);
  EXPECT_EQ(call.header.errorCode, 0x101u);
}

TEST_F(RequestTest, FailsWithResetWhenConnectionBreaksWhileWaiting) {
  sim_->DropReplies(static_cast<std::uint32_t>(kInputCount), true);
  RcpClient client(address_.c_str(), 0, 0);
  Recorder& reply = NewRecorder();
  RcpOutputStream out;
  out.writeOctet(0);
  client.sendRequest(0, kInputCount, out, Recorder::Callback, &reply);
  ASSERT_TRUE(sim_->WaitForRequests(static_cast<std::uint32_t>(kInputCount), 1, 5000));
  sim_->DropAllConnections();
  ASSERT_TRUE(reply.WaitForCount(1));
  EXPECT_EQ(reply.Calls().front().header.action, kActionClientError);
  EXPECT_EQ(reply.Calls().front().header.errorCode, 0x107u);
}

TEST_F(RequestTest, FailsWithRegistrationFailedWhenRegistrationIsNotAnswered) {
  RcpClient::setConnectTimeout(200);
  sim_->DropReplies(static_cast<std::uint32_t>(kRegister), true);
  RcpClient client(address_.c_str(), 0, 0);
  const Call call = RoundTrip(client);
  EXPECT_EQ(call.header.action, kActionClientError);
  EXPECT_EQ(call.header.errorCode, 0x103u);
}

TEST_F(RequestTest, WrongPasswordFailsEveryQueuedRequestWithInvalidAuthorization) {
  const std::string wrong = sim_->Address(kUser, "not-the-password");
  RcpClient client(wrong.c_str(), 0, 0);
  std::vector<Recorder*> recorders;
  RcpOutputStream out;
  out.writeOctet(0);
  for (int i = 0; i < 3; ++i) {
    recorders.push_back(&NewRecorder());
    client.sendRequest(5000, kInputCount, out, Recorder::Callback, recorders.back());
  }
  for (Recorder* r : recorders) {
    ASSERT_TRUE(r->WaitForCount(1));
    EXPECT_EQ(r->Calls().front().header.action, kActionError);
    EXPECT_EQ(r->Calls().front().header.errorCode, 0xA0u);
  }
  // A later request during the pause fails the same way, without reaching the device.
  const Call later = RoundTrip(client);
  EXPECT_EQ(later.header.action, kActionError);
  EXPECT_EQ(later.header.errorCode, 0xA0u);
  for (Recorder* r : recorders) EXPECT_EQ(r->Count(), 1u);
  EXPECT_TRUE(sim_->Requests().empty());
}

// Sends one request and returns its callback (a reply, the device's error or a client error).
Call Ask(RcpClient& client, Recorder& recorder) {
  const std::size_t before = recorder.Count();
  RcpOutputStream out;
  out.writeOctet(0);
  client.sendRequest(5000, kInputCount, out, Recorder::Callback, &recorder);
  EXPECT_TRUE(recorder.WaitForCount(before + 1));
  const auto calls = recorder.Calls();
  return calls.size() > before ? calls[before] : Call{};
}

TEST_F(RequestTest, RefusedHandleAndNewHandleRegisterAgainAfterThePause) {
  sim_->RejectCredentials(true);
  RcpClient held(address_.c_str(), 0, 0);
  Recorder& answers = NewRecorder();
  const Call refused = Ask(held, answers);
  EXPECT_EQ(refused.header.action, kActionError);
  EXPECT_EQ(refused.header.errorCode, 0xA0u);

  sim_->RejectCredentials(false);
  // Requests during the pause fail at once and do not reach the device; the first one after
  // it registers afresh on the same handle.
  Call last;
  ASSERT_TRUE(WaitUntil([&] {
    last = Ask(held, answers);
    if (last.header.action != kActionReply) std::this_thread::sleep_for(20ms);
    return last.header.action == kActionReply;
  }));
  EXPECT_EQ(last.header.errorCode, 0u);
  for (const Call& call : answers.Calls()) {
    if (call.header.action != kActionReply) {
      EXPECT_EQ(call.header.errorCode, 0xA0u);
    }
  }
  RcpClient fresh(address_.c_str(), 0, 0);
  EXPECT_EQ(RoundTrip(fresh).header.action, kActionReply);
  // The refusal and the one registration after the pause, however many requests came.
  EXPECT_EQ(sim_->RegistrationTimes().size(), 2u);
}

TEST_F(RequestTest, LastingRefusalRegistersAtMostOncePerPause) {
  // Pauses of 1 s, then doubled but capped by the connect time-out: 1.5 s, 1.5 s...
  RcpClient::setConnectTimeout(1500);
  const std::vector<std::chrono::milliseconds> pauses = {1000ms, 1500ms};
  sim_->RejectCredentials(true);
  // Two handles on the pooled connection and a streamer with a connection of its own.
  RcpClient pooled(address_.c_str(), 0, 0);
  RcpClient sharing(address_.c_str(), 0, 0);
  RtpStreamer streamer(address_.c_str(), 0);
  Recorder& answers = NewRecorder();
  Recorder& video = NewRecorder();
  // Handles that start together before any refusal is known each try once; the pauses count
  // from the first refusal.
  ASSERT_EQ(Ask(pooled, answers).header.errorCode, 0xA0u);
  std::atomic<bool> stop{false};
  std::atomic<int> sent{0};
  std::thread pump([&] {
    RcpOutputStream out;
    out.writeOctet(0);
    while (!stop.load()) {
      for (RcpClient* client : {&pooled, &sharing}) {
        client->sendRequest(5000, kInputCount, out, Recorder::Callback, &answers);
        sent.fetch_add(1);
      }
      streamer.connectVideo(5000, 10, 1, 0, 1, Recorder::Callback, &video);
      std::this_thread::sleep_for(10ms);
    }
  });
  const bool retried = WaitUntil([&] { return sim_->RegistrationTimes().size() > pauses.size(); },
                                 6000ms);
  stop = true;
  pump.join();
  ASSERT_TRUE(retried) << "the device saw no registration after the pauses";

  const auto times = sim_->RegistrationTimes();
  for (std::size_t i = 0; i < pauses.size(); ++i) {
    EXPECT_GE(times[i + 1] - times[i], pauses[i]) << "registration " << i + 1;
  }
  // Every request got exactly one callback, and each was the refusal.
  const auto expected = static_cast<std::size_t>(sent.load()) + 1;
  ASSERT_TRUE(answers.WaitForCount(expected));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(answers.Count(), expected);
  for (const Call& call : answers.Calls()) {
    EXPECT_EQ(call.header.action, kActionError);
    EXPECT_EQ(call.header.errorCode, 0xA0u);
  }
  EXPECT_TRUE(sim_->Requests().empty());
}

TEST_F(RequestTest, RegistrationErrorOtherThanCredentialsFailsRegistration) {
  sim_->AnswerWithError(static_cast<std::uint32_t>(kRegister), 0x80);
  RcpClient client(address_.c_str(), 0, 0);
  const Call call = RoundTrip(client);
  EXPECT_EQ(call.header.action, kActionClientError);
  EXPECT_EQ(call.header.errorCode, 0x103u);
}

TEST_F(RequestTest, UnparsableAddressFailsWithInvalidAddress) {
  RcpClient client("not a device address", 0, 0);
  const Call call = RoundTrip(client);
  EXPECT_EQ(call.header.action, kActionClientError);
  EXPECT_EQ(call.header.errorCode, 0x104u);
}

TEST_F(RequestTest, MalformedReplyBreaksConnectionAndFailsRequest) {
  sim_->MalformedReply(static_cast<std::uint32_t>(kInputCount), true);
  RcpClient client(address_.c_str(), 0, 0);
  const Call call = RoundTrip(client);
  EXPECT_EQ(call.header.action, kActionClientError);
  EXPECT_EQ(call.header.errorCode, 0x107u);
}

TEST_F(RequestTest, NextRequestAfterResetMakesNewConnection) {
  RcpClient client(address_.c_str(), 0, 0);
  const Call before = RoundTrip(client);
  sim_->DropAllConnections();
  ASSERT_TRUE(WaitUntil([&] { return sim_->ConnectionCount() == 0; }));
  // The first request after the drop may still meet the dead connection; the handle then
  // moves to a new one.
  Call after = RoundTrip(client);
  if (after.header.action != kActionReply) after = RoundTrip(client);
  EXPECT_EQ(after.header.action, kActionReply);
  EXPECT_NE(after.header.clientId, before.header.clientId);
}

TEST_F(RequestTest, AnswersThousandRequestsFromEightThreadsExactlyOnce) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 125;
  constexpr int kTotal = kThreads * kPerThread;
  struct Slot {
    std::atomic<int> calls{0};
    std::atomic<int> wrong{0};
    int line = 0;
  };
  struct Shared {
    Slot slots[kTotal];
    std::atomic<int> total{0};
  };
  Shared& shared = Keep<Shared>();
  auto callback = [](void* context, RcpHeader& header, RcpInputStream&) {
    auto* slot = static_cast<Slot*>(context);
    if (header.action != kActionReply || header.line != slot->line) slot->wrong.fetch_add(1);
    slot->calls.fetch_add(1);
  };
  auto totalCallback = +callback;

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      RcpClient client(address_.c_str(), 0, 0);
      for (int i = 0; i < kPerThread; ++i) {
        const int index = t * kPerThread + i;
        Slot& slot = shared.slots[index];
        slot.line = index + 1;  // the device echoes the line: it names the request
        client.line = static_cast<unsigned short>(slot.line);
        RcpOutputStream out;
        out.writeOctet(0);
        client.sendRequest(20000, kInputState, out, totalCallback, &slot);
      }
    });
  }
  for (auto& thread : threads) thread.join();

  auto answered = [&] {
    int sum = 0;
    for (const Slot& slot : shared.slots) sum += slot.calls.load() > 0 ? 1 : 0;
    return sum;
  };
  ASSERT_TRUE(WaitUntil([&] { return answered() == kTotal; }, 20000ms)) << answered();
  // Anything owed to these requests arrives before the probe's answer on the same connection.
  RcpClient probe(address_.c_str(), 0, 0);
  EXPECT_EQ(RoundTrip(probe).header.action, kActionReply);
  for (int i = 0; i < kTotal; ++i) {
    EXPECT_EQ(shared.slots[i].calls.load(), 1) << "request " << i;
    EXPECT_EQ(shared.slots[i].wrong.load(), 0) << "request " << i;
  }
}

TEST_F(RequestTest, QueuesRequestsWhileAllIdsAreInUse) {
  // Slow replies keep all 255 ids in use; the rest wait for one and still get their own answer.
  sim_->DelayReplies(static_cast<std::uint32_t>(kInputState), 200);
  constexpr int kCount = 300;
  struct Slot {
    std::atomic<int> calls{0};
    std::atomic<int> wrong{0};
    int line = 0;
  };
  auto& slots = Keep<std::vector<Slot>>(kCount);
  RcpClient client(address_.c_str(), 0, 0);
  auto callback = +[](void* context, RcpHeader& header, RcpInputStream&) {
    auto* slot = static_cast<Slot*>(context);
    if (header.action != kActionReply || header.line != slot->line) slot->wrong.fetch_add(1);
    slot->calls.fetch_add(1);
  };
  for (int i = 0; i < kCount; ++i) {
    slots[i].line = i + 1;
    client.line = static_cast<unsigned short>(i + 1);
    RcpOutputStream out;
    out.writeOctet(0);
    client.sendRequest(20000, kInputState, out, callback, &slots[i]);
  }
  auto answered = [&] {
    int sum = 0;
    for (const Slot& slot : slots) sum += slot.calls.load() > 0 ? 1 : 0;
    return sum;
  };
  ASSERT_TRUE(WaitUntil([&] { return answered() == kCount; }, 20000ms)) << answered();
  for (int i = 0; i < kCount; ++i) {
    EXPECT_EQ(slots[i].calls.load(), 1) << "request " << i;
    EXPECT_EQ(slots[i].wrong.load(), 0) << "request " << i;
  }
  // Each request went to the device once.
  EXPECT_EQ(sim_->Requests().size(), static_cast<std::size_t>(kCount));
}

}  // namespace
}  // namespace rcpplus::testing
