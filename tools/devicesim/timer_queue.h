// Runs jobs at a later time on one thread of its own: delayed replies and input toggling.
// Jobs run one at a time, in order of their due time, without any lock of the queue held,
// so a job may post further jobs.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace devicesim {

class TimerQueue {
 public:
  using Clock = std::chrono::steady_clock;

  TimerQueue() = default;
  // Stops the thread; pending jobs are dropped.
  ~TimerQueue();
  TimerQueue(const TimerQueue&) = delete;
  TimerQueue& operator=(const TimerQueue&) = delete;

  // Starts the thread; jobs posted before run once it has started. Starting twice does nothing.
  void Start();
  // Drops every pending job, waits for a running job to end and joins the thread. Must not be
  // called from a job.
  void Stop();
  // Runs job once delay has passed (at once for zero or negative delays).
  void Post(Clock::duration delay, std::function<void()> job);

 private:
  void Run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::multimap<Clock::time_point, std::function<void()>> jobs_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace devicesim
