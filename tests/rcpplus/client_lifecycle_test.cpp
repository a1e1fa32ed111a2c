// Handles, the connection pool, threads and System::terminate().
#include <dirent.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "client_fixture.h"
#include "support/descriptor_exhaustion.h"

namespace rcpplus::testing {

using testutil::CheckExceptionTypeOnce;
using testutil::DescriptorExhaustion;
using testutil::OpenDescriptors;

namespace {

using LifecycleTest = ClientTest;

int CountTasks(const std::string& onlyNamed = "") {
  int count = 0;
  DIR* dir = ::opendir("/proc/self/task");
  if (dir == nullptr) return -1;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    if (!onlyNamed.empty()) {
      std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
      std::string name;
      std::getline(comm, name);
      if (name != onlyNamed) continue;
    }
    ++count;
  }
  ::closedir(dir);
  return count;
}

int CountLibraryThreads() { return CountTasks("rcpplus-conn"); }

TEST_F(LifecycleTest, HandlesOnSameAddressShareOneConnection) {
  RcpClient a(address_.c_str(), 0, 0);
  RcpClient b(address_.c_str(), 0, 0);
  const Call first = RoundTrip(a);
  const Call second = RoundTrip(b);
  EXPECT_EQ(first.header.clientId, second.header.clientId);
  EXPECT_EQ(sim_->ConnectionCount(), 1);
}

TEST_F(LifecycleTest, DifferentSessionIdsUseSeparateConnections) {
  RcpClient a(address_.c_str(), 1, 0);
  RcpClient b(address_.c_str(), 2, 0);
  const Call first = RoundTrip(a);
  const Call second = RoundTrip(b);
  EXPECT_NE(first.header.clientId, second.header.clientId);
  EXPECT_EQ(sim_->ConnectionCount(), 2);
}

TEST_F(LifecycleTest, NewHandleReusesRecentlyReleasedConnection) {
  std::uint16_t clientId = 0;
  {
    RcpClient a(address_.c_str(), 0, 0);
    clientId = RoundTrip(a).header.clientId;
    a.disconnect();
  }
  RcpClient b(address_.c_str(), 0, 0);
  EXPECT_EQ(RoundTrip(b).header.clientId, clientId);
  EXPECT_EQ(sim_->ConnectionCount(), 1);
}

TEST_F(LifecycleTest, ClosesConnectionAfterLastHandleIsGone) {
  {
    RcpClient abandoned(address_.c_str(), 0, 0);
    RoundTrip(abandoned);
    // Destroyed without disconnect(): the destructor lets the connection go.
  }
  EXPECT_TRUE(WaitUntil([&] { return sim_->ConnectionCount() == 0; }));
  EXPECT_TRUE(WaitUntil([] { return CountLibraryThreads() == 0; }));
}

TEST_F(LifecycleTest, PendingRequestOutlivesItsHandle) {
  sim_->DelayReplies(static_cast<std::uint32_t>(kInputCount), 100);
  Recorder& reply = NewRecorder();
  {
    RcpClient client(address_.c_str(), 0, 0);
    RcpOutputStream out;
    out.writeOctet(0);
    client.sendRequest(5000, kInputCount, out, Recorder::Callback, &reply);
  }
  ASSERT_TRUE(reply.WaitForCount(1));
  EXPECT_EQ(reply.Calls().front().header.action, kActionReply);
}

TEST_F(LifecycleTest, DisconnectOfOneHandleKeepsAnothersRequest) {
  sim_->DelayReplies(static_cast<std::uint32_t>(kInputCount), 150);
  RcpClient a(address_.c_str(), 0, 0);
  RcpClient b(address_.c_str(), 0, 0);
  Recorder& ra = NewRecorder();
  Recorder& rb = NewRecorder();
  RcpOutputStream out;
  out.writeOctet(0);
  a.sendRequest(5000, kInputCount, out, Recorder::Callback, &ra);
  b.sendRequest(5000, kInputCount, out, Recorder::Callback, &rb);
  a.disconnect();
  ASSERT_TRUE(rb.WaitForCount(1));
  ASSERT_TRUE(ra.WaitForCount(1));
  EXPECT_EQ(rb.Calls().front().header.action, kActionReply);
  EXPECT_EQ(ra.Calls().front().header.action, kActionReply);
  EXPECT_EQ(RoundTrip(b).header.action, kActionReply);
}

TEST_F(LifecycleTest, UseAfterDisconnectThrowsWithoutSecrets) {
  RcpClient client(address_.c_str(), 0, 0);
  client.disconnect();
  RcpOutputStream out;
  Exception* caught = nullptr;
  try {
    client.sendRequest(1000, kInputCount, out, Recorder::Callback, &NewRecorder());
  } catch (Exception* e) {
    caught = e;
  }
  ASSERT_NE(caught, nullptr);
  EXPECT_NE(caught->code(), 0u);
  const std::string text = caught->what();
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text.find(kPassword), std::string::npos);
  EXPECT_EQ(text.find(address_), std::string::npos);
}

TEST_F(LifecycleTest, CallbackMaySendAndDisconnectWithoutDeadlock) {
  struct Chain {
    RcpClient* client;
    RcpClient* other;
    Recorder* second;
  };
  RcpClient client(address_.c_str(), 0, 0);
  RcpClient other(address_.c_str(), 0, 0);
  Recorder& second = NewRecorder();
  Chain& chain = Keep<Chain>(Chain{&client, &other, &second});
  auto first = +[](void* context, RcpHeader&, RcpInputStream&) {
    auto* c = static_cast<Chain*>(context);
    RcpOutputStream out;
    out.writeOctet(0);
    c->client->sendRequest(5000, kInputState, out, Recorder::Callback, c->second);
    c->other->disconnect();
  };
  RcpOutputStream out;
  out.writeOctet(0);
  other.sendRequest(5000, kInputCount, out, first, &chain);
  ASSERT_TRUE(second.WaitForCount(1));
  EXPECT_EQ(second.Calls().front().header.commandWord, kInputState);
  EXPECT_EQ(second.Calls().front().header.action, kActionReply);
}

TEST_F(LifecycleTest, CallbacksRunOnLibraryThreads) {
  RcpClient client(address_.c_str(), 0, 0);
  const Call call = RoundTrip(client);
  EXPECT_NE(call.thread, std::this_thread::get_id());
}

TEST_F(LifecycleTest, TerminateEndsEveryLibraryThreadAndLibraryStartsAgain) {
  const int tasksBefore = CountTasks();
  ASSERT_EQ(CountLibraryThreads(), 0);
  RcpClient a(address_.c_str(), 1, 0);
  RcpClient b(address_.c_str(), 2, 0);
  RcpClient c(address_.c_str(), 3, 0);
  RoundTrip(a);
  RoundTrip(b);
  RoundTrip(c);
  EXPECT_EQ(CountLibraryThreads(), 3);

  System::terminate();
  // The library's own threads have ended by the time terminate() returns.
  EXPECT_EQ(CountLibraryThreads(), 0);
  // The device's threads for those connections end on their own, a little later.
  EXPECT_TRUE(WaitUntil([&] { return CountTasks() == tasksBefore; })) << CountTasks();

  // A handle made before terminate() works again on a new connection.
  const Call again = RoundTrip(a);
  EXPECT_EQ(again.header.action, kActionReply);
  EXPECT_EQ(CountLibraryThreads(), 1);
}

TEST_F(LifecycleTest, TerminateFailsPendingRequestOnce) {
  sim_->DropReplies(static_cast<std::uint32_t>(kInputCount), true);
  RcpClient client(address_.c_str(), 0, 0);
  Recorder& reply = NewRecorder();
  RcpOutputStream out;
  out.writeOctet(0);
  client.sendRequest(0, kInputCount, out, Recorder::Callback, &reply);
  ASSERT_TRUE(sim_->WaitForRequests(static_cast<std::uint32_t>(kInputCount), 1, 5000));
  System::terminate();
  // terminate() returns after the callback was made.
  ASSERT_EQ(reply.Count(), 1u);
  EXPECT_EQ(reply.Calls().front().header.action, kActionClientError);
  EXPECT_EQ(reply.Calls().front().header.errorCode, 0x107u);
  System::terminate();
  EXPECT_EQ(reply.Count(), 1u);
}

TEST_F(LifecycleTest, TerminateFromCallbackDoesNotHang) {
  RcpClient client(address_.c_str(), 0, 0);
  auto& done = Keep<std::atomic<bool>>(false);
  auto callback = +[](void* context, RcpHeader&, RcpInputStream&) {
    System::terminate();
    static_cast<std::atomic<bool>*>(context)->store(true);
  };
  RcpOutputStream out;
  out.writeOctet(0);
  client.sendRequest(5000, kInputCount, out, callback, &done);
  ASSERT_TRUE(WaitUntil([&] { return done.load(); }));
  EXPECT_TRUE(WaitUntil([] { return CountLibraryThreads() == 0; }));
  EXPECT_EQ(RoundTrip(client).header.action, kActionReply);
}

// A callback that does not return (a stalled host) must not hold terminate() for ever: the
// thread it holds is left behind and ends by itself once the callback returns.
TEST_F(LifecycleTest, TerminateGivesUpOnACallbackThatDoesNotReturn) {
  struct Stall {
    std::atomic<bool> entered{false};
    std::atomic<bool> released{false};
    std::atomic<bool> returned{false};
  };
  auto& stall = Keep<Stall>();
  auto callback = +[](void* context, RcpHeader&, RcpInputStream&) {
    auto* s = static_cast<Stall*>(context);
    s->entered = true;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!s->released && std::chrono::steady_clock::now() < limit)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    s->returned = true;
  };
  RcpClient client(address_.c_str(), 0, 0);
  RcpOutputStream out;
  out.writeOctet(0);
  client.sendRequest(5000, kInputCount, out, callback, &stall);
  ASSERT_TRUE(WaitUntil([&] { return stall.entered.load(); }));

  const auto start = std::chrono::steady_clock::now();
  System::terminate();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
  EXPECT_FALSE(stall.returned.load());
  EXPECT_EQ(CountLibraryThreads(), 1);

  stall.released = true;
  EXPECT_TRUE(WaitUntil([] { return CountLibraryThreads() == 0; }));
  EXPECT_EQ(RoundTrip(client).header.action, kActionReply);
}

// What a connection needs from the system, made in the caller's thread: a streamer first
// makes its media descriptors (2), then the control connection's wake descriptor and socket.
struct ShortOfDescriptors {
  const char* name;
  bool streamer;
  std::size_t free;

  friend void PrintTo(const ShortOfDescriptors& row, std::ostream* os) { *os << row.name; }
};

class DescriptorLimitTest : public ClientTest,
                            public ::testing::WithParamInterface<ShortOfDescriptors> {
 protected:
  // See CheckExceptionTypeOnce: the calls of every row are made once, then the connections
  // close again.
  void CheckTypesOnce() {
    const int before = OpenDescriptors::Now().count;
    {
      RcpClient client(address_.c_str(), 0, 0);
      EXPECT_EQ(RoundTrip(client).header.action, kActionReply);
      RtpStreamer streamer(address_.c_str(), 0);
      Recorder& messages = NewRecorder();
      streamer.connectVideo(5000, 10, 99, 0, 1, Recorder::Callback, &messages);  // no such coder
      EXPECT_TRUE(messages.WaitForCount(1));
      CheckExceptionTypeOnce();
      System::terminate();
    }
    // The device's ends close too, media connections included, so that none of them frees
    // a descriptor while the table is held full. A connection the device has seen close
    // still holds its descriptor for a moment.
    EXPECT_TRUE(WaitUntil([&] {
      return sim_->ConnectionCount() == 0 && OpenDescriptors::Now().count <= before;
    }));
  }
};

TEST_P(DescriptorLimitTest, ThrowsWithTheSystemsReasonAndLeaksNothing) {
  const ShortOfDescriptors row = GetParam();
  CheckTypesOnce();
  RcpClient client(address_.c_str(), 0, 0);
  RtpStreamer streamer(address_.c_str(), 0);
  Recorder& answers = NewRecorder();
  const int descriptors = OpenDescriptors::Now().count;
  // Looked at only once descriptors are back: a sanitizer's check of a virtual call may
  // need one.
  Exception* thrown = nullptr;
  {
    DescriptorExhaustion exhaustion(row.free);
    ASSERT_TRUE(exhaustion.full());
    try {
      if (row.streamer) {
        streamer.connectVideo(5000, 10, 1, 0, 1, Recorder::Callback, &answers);
      } else {
        RcpOutputStream out;
        out.writeOctet(0);
        client.sendRequest(5000, kInputCount, out, Recorder::Callback, &answers);
      }
    } catch (Exception* error) {
      thrown = error;
    }
  }
  ASSERT_NE(thrown, nullptr);
  EXPECT_EQ(thrown->code(), 0x101u);
  const std::string text = thrown->what();
  EXPECT_NE(text.find("Too many open files"), std::string::npos) << "thrown: " << text;
  // Not above: the device may still be closing its end of an earlier connection.
  EXPECT_LE(OpenDescriptors::Now().count, descriptors);
  EXPECT_EQ(CountLibraryThreads(), 0);
  EXPECT_EQ(CountTasks("rcpplus-media"), 0);
  EXPECT_EQ(answers.Count(), 0u);
  // With descriptors back, the same handle works.
  EXPECT_EQ(RoundTrip(client).header.action, kActionReply);
}

INSTANTIATE_TEST_SUITE_P(
    Connections, DescriptorLimitTest,
    ::testing::Values(ShortOfDescriptors{"ClientWithNone", false, 0},
                      ShortOfDescriptors{"ClientWithoutSocket", false, 1},
                      ShortOfDescriptors{"StreamerWithNone", true, 0},
                      ShortOfDescriptors{"StreamerWithoutMediaSocket", true, 1},
                      ShortOfDescriptors{"StreamerWithoutControl", true, 2},
                      ShortOfDescriptors{"StreamerWithoutControlSocket", true, 3}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace rcpplus::testing
