// Message subscriptions, forgetting callbacks, and errors raised inside callbacks.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "client_fixture.h"

using ::testing::ElementsAre;

namespace rcpplus::testing {
namespace {

using CallbackTest = ClientTest;

TEST_F(CallbackTest, SubscriptionReceivesInputMessages) {
  RcpClient client(address_.c_str(), 0, 0);
  Recorder& messages = NewRecorder();
  const unsigned long words[] = {kInputState};
  client.subscribeMessageCallback(Recorder::Callback, &messages, words, 1);
  RoundTrip(client);  // registered: the device now sends it input messages

  sim_->SetInput(3, true);
  ASSERT_TRUE(messages.WaitForCount(1));
  const Call call = messages.Calls().front();
  EXPECT_EQ(call.header.commandWord, kInputState);
  EXPECT_EQ(call.header.action, kActionMessage);
  EXPECT_EQ(call.header.line, 3);
  EXPECT_EQ(call.header.errorCode, 0u);
  EXPECT_EQ(call.header.payloadLength, 1);
  EXPECT_THAT(call.payload, ElementsAre(1));
}

TEST_F(CallbackTest, SubscriptionAloneOpensTheConnection) {
  RcpClient client(address_.c_str(), 0, 0);
  Recorder& messages = NewRecorder();
  const unsigned long words[] = {kInputState};
  client.subscribeMessageCallback(Recorder::Callback, &messages, words, 1);
  ASSERT_TRUE(WaitUntil([&] { return sim_->ConnectionCount() == 1; }));
  // Registration may still be under way; the device sends each change to registered
  // connections only, so keep changing the input until one arrives.
  bool active = false;
  EXPECT_TRUE(WaitUntil([&] {
    active = !active;
    sim_->SetInput(1, active);
    return messages.Count() > 0;
  }));
}

TEST_F(CallbackTest, MessagesStopAfterUnsubscribe) {
  RcpClient client(address_.c_str(), 0, 0);
  Recorder& messages = NewRecorder();
  const unsigned long words[] = {kInputState};
  client.subscribeMessageCallback(Recorder::Callback, &messages, words, 1);
  RoundTrip(client);
  sim_->SetInput(2, true);
  ASSERT_TRUE(messages.WaitForCount(1));

  client.unsubscribeMessageCallback(&messages);
  sim_->SetInput(2, false);
  // The device sent the message before this reply, on the same connection.
  EXPECT_EQ(RoundTrip(client).header.action, kActionReply);
  EXPECT_EQ(messages.Count(), 1u);
}

TEST_F(CallbackTest, MessagesWithOtherCommandWordsAreNotDelivered) {
  RcpClient client(address_.c_str(), 0, 0);
  Recorder& messages = NewRecorder();
  const unsigned long words[] = {0x0ABC0030};
  client.subscribeMessageCallback(Recorder::Callback, &messages, words, 1);
  RoundTrip(client);
  sim_->SetInput(1, true);
  EXPECT_EQ(RoundTrip(client).header.action, kActionReply);
  EXPECT_EQ(messages.Count(), 0u);
}

TEST_F(CallbackTest, DisconnectEndsTheHandlesSubscriptions) {
  RcpClient listener(address_.c_str(), 0, 0);
  RcpClient keeper(address_.c_str(), 0, 0);  // keeps the shared connection open
  Recorder& messages = NewRecorder();
  const unsigned long words[] = {kInputState};
  listener.subscribeMessageCallback(Recorder::Callback, &messages, words, 1);
  RoundTrip(keeper);
  listener.disconnect();
  sim_->SetInput(4, true);
  EXPECT_EQ(RoundTrip(keeper).header.action, kActionReply);
  EXPECT_EQ(messages.Count(), 0u);
}

// A handle that only listens learns that its connection broke, and listens again after its
// next request.
TEST_F(CallbackTest, SubscriberHearsTheLossOnceAndListensAgainAfterItsNextRequest) {
  RcpClient client(address_.c_str(), 0, 0);
  Recorder& messages = NewRecorder();
  const unsigned long words[] = {kInputState};
  client.subscribeMessageCallback(Recorder::Callback, &messages, words, 1);
  RoundTrip(client);
  sim_->DropAllConnections();
  ASSERT_TRUE(messages.WaitForCount(1));
  const Call lost = messages.Calls().front();
  EXPECT_EQ(lost.header.commandWord, 0x00120020u);
  EXPECT_EQ(lost.header.action, kActionClientError);
  EXPECT_TRUE(lost.header.errorCode == kConnectionReset ||
              lost.header.errorCode == kConnectionError)
      << lost.header.errorCode;

  EXPECT_EQ(RoundTrip(client).header.action, kActionReply);
  sim_->SetInput(3, true);
  ASSERT_TRUE(messages.WaitForCount(2));
  EXPECT_EQ(messages.Calls()[1].header.commandWord, kInputState);
  EXPECT_EQ(messages.Count(), 2u);
}

TEST_F(CallbackTest, UnregisterCallbackSilencesPendingRequest) {
  sim_->DelayReplies(static_cast<std::uint32_t>(kInputCount), 150);
  RcpClient client(address_.c_str(), 0, 0);
  Recorder& silenced = NewRecorder();
  Recorder& probe = NewRecorder();
  RcpOutputStream out;
  out.writeOctet(0);
  client.sendRequest(5000, kInputCount, out, Recorder::Callback, &silenced);
  client.unregisterCallback(Recorder::Callback, &silenced);
  // Delayed alike and sent later: its answer comes after the silenced one's.
  client.sendRequest(5000, kInputCount, out, Recorder::Callback, &probe);
  ASSERT_TRUE(probe.WaitForCount(1));
  EXPECT_EQ(probe.Calls().front().header.action, kActionReply);
  EXPECT_EQ(silenced.Count(), 0u);
}

TEST_F(CallbackTest, UnregisterCallbackWaitsForRunningCall) {
  struct Slow {
    std::atomic<bool> entered{false};
    std::atomic<bool> finished{false};
  };
  Slow& slow = Keep<Slow>();
  auto callback = +[](void* context, RcpHeader&, RcpInputStream&) {
    auto* s = static_cast<Slow*>(context);
    s->entered.store(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    s->finished.store(true);
  };
  RcpClient client(address_.c_str(), 0, 0);
  RcpOutputStream out;
  out.writeOctet(0);
  client.sendRequest(5000, kInputCount, out, callback, &slow);
  ASSERT_TRUE(WaitUntil([&] { return slow.entered.load(); }));
  client.unregisterCallback(callback, &slow);
  EXPECT_TRUE(slow.finished.load());
}

TEST_F(CallbackTest, ReadingPastReplyEndThrowsCatchableLibraryException) {
  struct Outcome {
    std::atomic<bool> done{false};
    std::atomic<bool> caught{false};
    std::atomic<unsigned long> count{0};
    std::atomic<std::uint32_t> code{0};
    std::string text;  // written before done is set
  };
  Outcome& outcome = Keep<Outcome>();
  auto callback = +[](void* context, RcpHeader&, RcpInputStream& payload) {
    auto* o = static_cast<Outcome*>(context);
    o->count.store(payload.readULong());
    try {
      payload.readOctet();
    } catch (Exception* e) {
      o->caught.store(true);
      o->code.store(e->code());
      o->text = e->what();
    }
    o->done.store(true);
  };
  RcpClient client(address_.c_str(), 0, 0);
  RcpOutputStream out;
  out.writeOctet(0);
  client.sendRequest(5000, kInputCount, out, callback, &outcome);
  ASSERT_TRUE(WaitUntil([&] { return outcome.done.load(); }));
  EXPECT_EQ(outcome.count.load(), 4u);
  EXPECT_TRUE(outcome.caught.load());
  EXPECT_NE(outcome.code.load(), 0u);
  EXPECT_FALSE(outcome.text.empty());
  EXPECT_EQ(outcome.text.find(kPassword), std::string::npos);
}

TEST_F(CallbackTest, ExceptionEscapingCallbackLeavesConnectionWorking) {
  auto callback = +[](void*, RcpHeader&, RcpInputStream& payload) {
    payload.skip(payload.available());
    payload.readOctet();  // throws out of the callback
  };
  RcpClient client(address_.c_str(), 0, 0);
  RcpOutputStream out;
  out.writeOctet(0);
  client.sendRequest(5000, kInputCount, out, callback, nullptr);
  ASSERT_TRUE(sim_->WaitForRequests(static_cast<std::uint32_t>(kInputCount), 1, 5000));
  EXPECT_EQ(RoundTrip(client).header.action, kActionReply);
}

}  // namespace
}  // namespace rcpplus::testing
