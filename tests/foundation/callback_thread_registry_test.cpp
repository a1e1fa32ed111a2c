#include "foundation/callback_thread_registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "../platform/eventually.h"
#include "platform/platform.h"

namespace {
// Allocations made by the calling thread, counted by the replaced operator new below.
thread_local std::size_t allocations = 0;
}  // namespace

// Replacements of the global allocation functions pair malloc with free on purpose.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  ++allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

using corvane::CCallbackThreadRegistry;
using platform::Event;
using platform::Handle;
using platform::WaitResult;

// Opens the id-taking registration, to play a kernel that reuses an ended thread's id.
class TestRegistry : public CCallbackThreadRegistry {
 public:
  using CCallbackThreadRegistry::EntryCount;
  using CCallbackThreadRegistry::PollCount;
  using CCallbackThreadRegistry::RegisterThread;
};

// An id no real thread has, shared by the threads that pretend to reuse it.
constexpr std::uint32_t kReusedId = 0xFFFFFF00u;

// A thread of "the library": runs a callback body, then stays alive until released.
class LibraryThread {
 public:
  template <class Callback>
  explicit LibraryThread(Callback callback)
      : thread_([this, callback] {
          callback();
          called_ = true;
          release_.Wait(5000);
        }) {
    EXPECT_TRUE(testutil::Eventually([this] { return called_.load(); }));
  }
  ~LibraryThread() { End(); }
  void End() {
    release_.Set();
    if (thread_.joinable()) thread_.join();
  }

 private:
  Event release_;
  std::atomic<bool> called_{false};
  std::thread thread_;
};

bool Signalled(const Handle& h) { return platform::Wait(h, 0) == WaitResult::kSignalled; }
bool SignalledSoon(const Handle& h) {
  return platform::Wait(h, 5000) == WaitResult::kSignalled;
}

TEST(CallbackThreadRegistry, ManyCallbacksOnOneThreadLeaveOneEntry) {
  TestRegistry registry;
  LibraryThread thread([&] {
    for (int i = 0; i < 100; ++i) registry.RegisterCurrentThread();
  });
  EXPECT_EQ(registry.EntryCount(), 1u);
  std::vector<Handle> list;
  registry.CollectHandles(list);
  EXPECT_EQ(list.size(), 1u);
}

TEST(CallbackThreadRegistry, RegisteringAKnownRunningThreadAllocatesNothing) {
  TestRegistry registry;
  std::size_t allocated = 1;
  LibraryThread thread([&] {
    registry.RegisterCurrentThread();
    const std::size_t before = allocations;
    for (int i = 0; i < 100; ++i) registry.RegisterCurrentThread();
    allocated = allocations - before;
  });
  EXPECT_EQ(allocated, 0u);
}

TEST(CallbackThreadRegistry, EachThreadGetsItsOwnEntry) {
  TestRegistry registry;
  LibraryThread a([&] { registry.RegisterCurrentThread(); });
  LibraryThread b([&] { registry.RegisterCurrentThread(); });
  LibraryThread c([&] { registry.RegisterCurrentThread(); });
  EXPECT_EQ(registry.EntryCount(), 3u);
}

TEST(CallbackThreadRegistry, CollectingFromAnEmptyRegistryLeavesTheListUnchanged) {
  TestRegistry registry;
  std::vector<Handle> list;
  list.push_back(platform::CurrentThreadHandle());
  const Handle kept = list.front().Duplicate();
  registry.CollectHandles(list);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_TRUE(list.front().SameObject(kept));
}

TEST(CallbackThreadRegistry, CollectAppendsToWhatTheListHolds) {
  TestRegistry registry;
  LibraryThread thread([&] { registry.RegisterCurrentThread(); });
  Handle first = platform::CurrentThreadHandle();
  const Handle kept = first.Duplicate();
  std::vector<Handle> list;
  list.push_back(std::move(first));
  registry.CollectHandles(list);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_TRUE(list[0].SameObject(kept));
  EXPECT_FALSE(list[1].SameObject(kept));
  EXPECT_FALSE(Signalled(list[1]));
}

TEST(CallbackThreadRegistry, CollectedHandlesAreFreshDuplicates) {
  TestRegistry registry;
  LibraryThread thread([&] { registry.RegisterCurrentThread(); });
  std::vector<Handle> first, second;
  registry.CollectHandles(first);
  registry.CollectHandles(second);
  ASSERT_EQ(first.size(), 1u);
  ASSERT_EQ(second.size(), 1u);
  // Two references to the thread's one exit object, each owned by its caller.
  EXPECT_TRUE(first[0].SameObject(second[0]));
  first.clear();  // closing the caller's copies leaves the registry's own handle alone
  std::vector<Handle> third;
  registry.CollectHandles(third);
  ASSERT_EQ(third.size(), 1u);
  thread.End();
  EXPECT_TRUE(SignalledSoon(second[0]));
  EXPECT_TRUE(SignalledSoon(third[0]));
}

TEST(CallbackThreadRegistry, CollectedHandleOfARunningThreadSignalsAfterTheRegistryIsGone) {
  std::vector<Handle> list;
  std::unique_ptr<LibraryThread> thread;
  {
    TestRegistry registry;
    thread = std::make_unique<LibraryThread>([&] { registry.RegisterCurrentThread(); });
    registry.CollectHandles(list);
  }
  ASSERT_EQ(list.size(), 1u);
  EXPECT_FALSE(Signalled(list[0]));
  thread->End();
  EXPECT_TRUE(SignalledSoon(list[0]));
}

TEST(CallbackThreadRegistry, TwoRegistriesCalledBackOnOneThreadGiveTwoHandles) {
  TestRegistry first, second;
  LibraryThread thread([&] {
    first.RegisterCurrentThread();
    second.RegisterCurrentThread();
  });
  std::vector<Handle> list;
  first.CollectHandles(list);
  second.CollectHandles(list);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_TRUE(list[0].SameObject(list[1]));  // one thread, one exit object
  EXPECT_FALSE(Signalled(list[0]));
  EXPECT_FALSE(Signalled(list[1]));
  thread.End();
  EXPECT_TRUE(SignalledSoon(list[0]));
  EXPECT_TRUE(SignalledSoon(list[1]));
}

TEST(CallbackThreadRegistry, EntryOfAnEndedThreadIsRenewedForTheThreadThatReusesItsId) {
  TestRegistry registry;
  {
    LibraryThread ended([&] { registry.RegisterThread(kReusedId); });
  }
  LibraryThread reusing([&] { registry.RegisterThread(kReusedId); });
  EXPECT_EQ(registry.EntryCount(), 1u);
  std::vector<Handle> list;
  registry.CollectHandles(list);
  ASSERT_EQ(list.size(), 1u);
  // The handle now belongs to the running thread, not to the one that ended.
  EXPECT_FALSE(Signalled(list[0]));
  reusing.End();
  EXPECT_TRUE(SignalledSoon(list[0]));
}

TEST(CallbackThreadRegistry, EntryOfARunningThreadIsKept) {
  TestRegistry registry;
  LibraryThread recorded([&] { registry.RegisterThread(kReusedId); });
  LibraryThread other([&] { registry.RegisterThread(kReusedId); });
  std::vector<Handle> list;
  registry.CollectHandles(list);
  ASSERT_EQ(list.size(), 1u);
  recorded.End();
  EXPECT_TRUE(SignalledSoon(list[0]));  // the first thread's handle, though the other runs on
}

TEST(CallbackThreadRegistry, RecordedThreadRegisteringAgainMakesNoPoll) {
  TestRegistry registry;
  LibraryThread thread([&] {
    for (int i = 0; i < 100; ++i) registry.RegisterCurrentThread();
  });
  EXPECT_EQ(registry.EntryCount(), 1u);
  EXPECT_EQ(registry.PollCount(), 0u);
}

TEST(CallbackThreadRegistry, OtherThreadUnderARecordedIdIsCheckedByPoll) {
  TestRegistry registry;
  LibraryThread recorded([&] { registry.RegisterThread(kReusedId); });
  LibraryThread other([&] {
    registry.RegisterThread(kReusedId);
    registry.RegisterThread(kReusedId);
  });
  // Each registration of a thread that is not the recorded one polls the recorded handle.
  EXPECT_EQ(registry.PollCount(), 2u);
  EXPECT_EQ(registry.EntryCount(), 1u);
}

TEST(CallbackThreadRegistry, RenewedEntryNeedsNoPollForItsNewThread) {
  TestRegistry registry;
  {
    LibraryThread ended([&] { registry.RegisterThread(kReusedId); });
  }
  TestRegistry other;
  std::uint64_t pollsAfterRenewal = 0;
  LibraryThread reusing([&] {
    registry.RegisterThread(kReusedId);
    pollsAfterRenewal = registry.PollCount();
    for (int i = 0; i < 10; ++i) {
      other.RegisterCurrentThread();  // a callback into another owner in between
      registry.RegisterThread(kReusedId);
    }
  });
  EXPECT_EQ(pollsAfterRenewal, 1u);
  EXPECT_EQ(registry.PollCount(), 1u);
}

TEST(CallbackThreadRegistry, ThreadCallingBackIntoTwoOwnersInTurnMakesNoPoll) {
  TestRegistry first, second;
  LibraryThread thread([&] {
    for (int i = 0; i < 10; ++i) {
      first.RegisterCurrentThread();
      second.RegisterCurrentThread();
    }
  });
  EXPECT_EQ(first.EntryCount(), 1u);
  EXPECT_EQ(second.EntryCount(), 1u);
  EXPECT_EQ(first.PollCount(), 0u);
  EXPECT_EQ(second.PollCount(), 0u);
}

TEST(CallbackThreadRegistry, OneThreadUnderTwoIdsGetsTwoEntries) {
  TestRegistry registry;
  LibraryThread thread([&] {
    registry.RegisterThread(kReusedId);
    registry.RegisterCurrentThread();
    registry.RegisterThread(kReusedId);
  });
  EXPECT_EQ(registry.EntryCount(), 2u);
  EXPECT_EQ(registry.PollCount(), 0u);
}

TEST(CallbackThreadRegistry, NewRegistryInAFormerRegistrysPlaceRecordsTheThreadAgain) {
  std::optional<TestRegistry> registry;
  std::size_t entries = 0;
  LibraryThread thread([&] {
    registry.emplace();
    registry->RegisterCurrentThread();
    registry.reset();
    registry.emplace();  // same storage, same address
    registry->RegisterCurrentThread();
    entries = registry->EntryCount();
  });
  EXPECT_EQ(entries, 1u);
  std::vector<Handle> list;
  registry->CollectHandles(list);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_FALSE(Signalled(list[0]));
}

TEST(CallbackThreadRegistry, RenewalClosesTheReplacedHandle) {
  const long before = platform::LiveWaitObjects();
  {
    TestRegistry registry;
    const long empty = platform::LiveWaitObjects();
    {
      LibraryThread ended([&] { registry.RegisterThread(kReusedId); });
    }
    {
      LibraryThread reusing([&] { registry.RegisterThread(kReusedId); });
    }
    // Both threads have ended; only the registry's one handle keeps an object alive.
    EXPECT_EQ(platform::LiveWaitObjects(), empty + 1);
  }
  EXPECT_EQ(platform::LiveWaitObjects(), before);
}

TEST(CallbackThreadRegistry, DestructionClosesEveryHandle) {
  const long before = platform::LiveWaitObjects();
  {
    TestRegistry registry;
    const long empty = platform::LiveWaitObjects();
    {
      LibraryThread a([&] { registry.RegisterCurrentThread(); });
      LibraryThread b([&] { registry.RegisterCurrentThread(); });
      LibraryThread c([&] { registry.RegisterCurrentThread(); });
      EXPECT_EQ(registry.EntryCount(), 3u);
    }
    // The threads have ended, but nothing has been recorded since: the entries stay.
    EXPECT_EQ(registry.EntryCount(), 3u);
    EXPECT_EQ(platform::LiveWaitObjects(), empty + 3);
  }
  EXPECT_EQ(platform::LiveWaitObjects(), before);
}

// Each reconnect brings new library threads under new ids; the entries (and objects) of
// the ended ones must not pile up while the owner lives.
TEST(CallbackThreadRegistry, RecordingANewThreadDropsEntriesOfEndedThreads) {
  TestRegistry registry;
  for (int i = 0; i < 5; ++i) {
    LibraryThread ended([&] { registry.RegisterCurrentThread(); });
  }
  LibraryThread running([&] { registry.RegisterCurrentThread(); });
  LibraryThread newest([&] { registry.RegisterCurrentThread(); });
  EXPECT_EQ(registry.EntryCount(), 2u);
  std::vector<Handle> list;
  registry.CollectHandles(list);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_FALSE(Signalled(list[0]));
  EXPECT_FALSE(Signalled(list[1]));
}

TEST(CallbackThreadRegistry, ConcurrentCallbacksOfOneOwnerAreSerialised) {
  TestRegistry registry;
  constexpr int kThreads = 6;
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      ++ready;
      while (ready.load() < kThreads) {
      }
      for (int i = 0; i < 500; ++i) registry.RegisterCurrentThread();
      // Stay alive until every thread is recorded: a thread recorded later drops the
      // entries of threads that have already ended.
      ++ready;
      while (ready.load() < 2 * kThreads) {
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(registry.EntryCount(), static_cast<std::size_t>(kThreads));
  std::vector<Handle> list;
  registry.CollectHandles(list);
  ASSERT_EQ(list.size(), static_cast<std::size_t>(kThreads));
  for (const Handle& h : list) EXPECT_TRUE(SignalledSoon(h));
}

}  // namespace
