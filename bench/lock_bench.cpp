// Uncontended cost of CRecursiveLock beside std::recursive_mutex and std::mutex: a Lock/Unlock
// pair on a free lock, the same through CAutoLock and TryLock, and a recursive re-lock by the
// thread that already holds the lock. Plain atomic read-modify-writes are timed beside them as
// the unit the target is counted in.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/recursive_lock.h"

namespace {

// What the code path does, read from foundation/recursive_lock.cpp; printed with the figures.
constexpr const char* kHeader =
    "Atomic read-modify-writes (RMW) on the uncontended paths of CRecursiveLock\n"
    "(target: at most one each for Lock and Unlock):\n"
    "  Lock of a free lock     1 RMW: TryLock's compare-exchange of lockCount 0 -> 1 succeeds;\n"
    "                          the thread id comes from a thread-local cache (no system call).\n"
    "  Unlock to free          1 RMW: fetch_sub of lockCount; no signal, nobody waits.\n"
    "  TryLock of a free lock  1 RMW, as Lock.\n"
    "  Lock by the owner       2 RMW: the compare-exchange fails (a locked instruction all the\n"
    "                          same), then fetch_add of lockCount. The order is the lock's\n"
    "                          specified algorithm (exchange first, owner test second).\n"
    "  Unlock of a re-lock     1 RMW: fetch_sub of lockCount.\n"
    "Figures below: CPU ns per operation pair; 'RMW units' divide by one timed fetch_add.\n";

void AtomicFetchAdd(benchmark::State& state) {
  std::atomic<std::int32_t> value{0};
  for (auto _ : state) {
    value.fetch_add(1, std::memory_order_acq_rel);
    benchmark::ClobberMemory();
  }
  benchmark::DoNotOptimize(value.load());
}
BENCHMARK(AtomicFetchAdd);

void AtomicCasAndFetchSub(benchmark::State& state) {
  std::atomic<std::int32_t> value{0};
  for (auto _ : state) {
    std::int32_t expected = 0;
    value.compare_exchange_strong(expected, 1, std::memory_order_acquire);
    value.fetch_sub(1, std::memory_order_acq_rel);
    benchmark::ClobberMemory();
  }
  benchmark::DoNotOptimize(value.load());
}
BENCHMARK(AtomicCasAndFetchSub);

void RecursiveLockPair(benchmark::State& state) {
  corvane::CRecursiveLock lock;
  for (auto _ : state) {
    lock.Lock();
    benchmark::ClobberMemory();
    lock.Unlock();
  }
}
BENCHMARK(RecursiveLockPair);

void RecursiveLockTryLockPair(benchmark::State& state) {
  corvane::CRecursiveLock lock;
  for (auto _ : state) {
    if (!lock.TryLock()) state.SkipWithError("TryLock of a free lock failed");
    benchmark::ClobberMemory();
    lock.Unlock();
  }
}
BENCHMARK(RecursiveLockTryLockPair);

void RecursiveLockAutoLock(benchmark::State& state) {
  corvane::CRecursiveLock lock;
  for (auto _ : state) {
    corvane::CAutoLock guard(lock);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(RecursiveLockAutoLock);

void RecursiveLockReLock(benchmark::State& state) {
  corvane::CRecursiveLock lock;
  lock.Lock();
  for (auto _ : state) {
    lock.Lock();
    benchmark::ClobberMemory();
    lock.Unlock();
  }
  lock.Unlock();
}
BENCHMARK(RecursiveLockReLock);

void StdRecursiveMutexPair(benchmark::State& state) {
  std::recursive_mutex mutex;
  for (auto _ : state) {
    mutex.lock();
    benchmark::ClobberMemory();
    mutex.unlock();
  }
}
BENCHMARK(StdRecursiveMutexPair);

void StdRecursiveMutexReLock(benchmark::State& state) {
  std::recursive_mutex mutex;
  mutex.lock();
  for (auto _ : state) {
    mutex.lock();
    benchmark::ClobberMemory();
    mutex.unlock();
  }
  mutex.unlock();
}
BENCHMARK(StdRecursiveMutexReLock);

void StdMutexPair(benchmark::State& state) {
  std::mutex mutex;
  for (auto _ : state) {
    mutex.lock();
    benchmark::ClobberMemory();
    mutex.unlock();
  }
}
BENCHMARK(StdMutexPair);

// Keeps the console table and remembers each benchmark's CPU ns per iteration.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) continue;
      const double ns = run.cpu_accumulated_time * 1e9 / static_cast<double>(run.iterations);
      auto& best = nsPerIteration[run.run_name.function_name];
      best = best == 0 ? ns : std::min(best, ns);
    }
  }
  double Get(const char* name) const {
    auto it = nsPerIteration.find(name);
    return it == nsPerIteration.end() ? 0 : it->second;
  }

  std::map<std::string, double> nsPerIteration;
};

void PrintSummary(const SummaryReporter& r) {
  const double rmw = r.Get("AtomicFetchAdd");
  if (rmw <= 0) {
    std::printf("summary: the atomic baseline did not run (was a filter given?)\n");
    return;
  }
  struct Line {
    const char* name;
    const char* what;
    int rmwByCode;  // from the header; 0 where the code is not ours
  };
  const Line lines[] = {
      {"AtomicCasAndFetchSub", "compare-exchange + fetch_sub (two RMW)", 2},
      {"RecursiveLockPair", "CRecursiveLock Lock+Unlock, free lock", 2},
      {"RecursiveLockTryLockPair", "CRecursiveLock TryLock+Unlock, free lock", 2},
      {"RecursiveLockAutoLock", "CAutoLock scope, free lock", 2},
      {"RecursiveLockReLock", "CRecursiveLock re-lock by the owner", 3},
      {"StdRecursiveMutexPair", "std::recursive_mutex lock+unlock", 0},
      {"StdRecursiveMutexReLock", "std::recursive_mutex re-lock by the owner", 0},
      {"StdMutexPair", "std::mutex lock+unlock", 0},
  };
  std::printf("\none fetch_add: %.2f ns\n", rmw);
  for (const Line& line : lines) {
    const double ns = r.Get(line.name);
    if (ns <= 0) continue;
    std::printf("%-44s %6.2f ns per pair = %.1f RMW units", line.what, ns, ns / rmw);
    if (line.rmwByCode > 0) std::printf(", %d RMW by the code", line.rmwByCode);
    std::printf("\n");
  }
  const double ours = r.Get("RecursiveLockPair");
  const double stdRecursive = r.Get("StdRecursiveMutexPair");
  if (ours > 0 && stdRecursive > 0)
    std::printf("CRecursiveLock pair / std::recursive_mutex pair: ratio %.2f\n", ours / stdRecursive);
  std::printf("target (one RMW each for Lock and Unlock) on a free lock: met (1 + 1); "
              "on a re-lock by the owner: Lock makes 2, ratio 2/1\n");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  std::printf("%s\n", kHeader);
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  PrintSummary(reporter);
  return 0;
}
