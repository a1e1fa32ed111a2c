// Costs of the waitable objects: an event set with nobody waiting, a zero-time-out poll, a
// wake-up round trip between two threads, a contended CRecursiveLock (whose hand-off is an
// event), and making an event or a lock.
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include "foundation/recursive_lock.h"
#include "platform/platform.h"

namespace {

void EventSetThenPoll(benchmark::State& state) {
  platform::Event event;
  for (auto _ : state) {
    event.Set();
    benchmark::DoNotOptimize(event.Wait(0));
  }
}
BENCHMARK(EventSetThenPoll);

void EventPollUnsignalled(benchmark::State& state) {
  platform::Event event;
  for (auto _ : state) benchmark::DoNotOptimize(event.Wait(0));
}
BENCHMARK(EventPollUnsignalled);

void EventSetWhenSignalled(benchmark::State& state) {
  platform::Event event;
  event.Set();
  for (auto _ : state) event.Set();
}
BENCHMARK(EventSetWhenSignalled);

// One iteration: wake the partner through one event, be woken back through the other.
void EventPingPong(benchmark::State& state) {
  platform::Event ping;
  platform::Event pong;
  std::atomic<bool> stop{false};
  std::thread partner([&] {
    while (ping.Wait(platform::kInfinite) == platform::WaitResult::kSignalled && !stop.load()) {
      pong.Set();
    }
  });
  for (auto _ : state) {
    ping.Set();
    pong.Wait(platform::kInfinite);
  }
  stop = true;
  ping.Set();
  partner.join();
}
BENCHMARK(EventPingPong)->UseRealTime();

// Two threads take turns on one lock with a short critical section: many releases find a
// waiter and hand the lock over through its event.
void RecursiveLockContended(benchmark::State& state) {
  static corvane::CRecursiveLock* lock = nullptr;
  static long shared = 0;
  if (state.thread_index() == 0) lock = new corvane::CRecursiveLock;
  for (auto _ : state) {
    corvane::CAutoLock guard(*lock);
    for (int i = 0; i < 50; ++i) benchmark::DoNotOptimize(++shared);
  }
  if (state.thread_index() == 0) {
    delete lock;
    lock = nullptr;
  }
}
BENCHMARK(RecursiveLockContended)->Threads(2)->UseRealTime();

void MakeEvent(benchmark::State& state) {
  for (auto _ : state) {
    platform::Event event;
    benchmark::DoNotOptimize(&event);
  }
}
BENCHMARK(MakeEvent);

void MakeRecursiveLock(benchmark::State& state) {
  for (auto _ : state) {
    corvane::CRecursiveLock lock;
    benchmark::DoNotOptimize(&lock);
  }
}
BENCHMARK(MakeRecursiveLock);

}  // namespace

BENCHMARK_MAIN();
