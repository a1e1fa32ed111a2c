#include "timer_queue.h"

#include <utility>

namespace devicesim {

TimerQueue::~TimerQueue() { Stop(); }

void TimerQueue::Start() {
  std::lock_guard lock(mutex_);
  if (thread_.joinable()) return;
  stopping_ = false;
  thread_ = std::thread([this] { Run(); });
}

void TimerQueue::Stop() {
  std::thread thread;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    jobs_.clear();
    thread = std::move(thread_);
  }
  wake_.notify_all();
  if (thread.joinable()) thread.join();
  // Jobs posted by a job that was running while we stopped.
  std::lock_guard lock(mutex_);
  jobs_.clear();
}

void TimerQueue::Post(Clock::duration delay, std::function<void()> job) {
  {
    std::lock_guard lock(mutex_);
    jobs_.emplace(Clock::now() + delay, std::move(job));
  }
  wake_.notify_all();
}

void TimerQueue::Run() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (jobs_.empty()) {
      wake_.wait(lock);
      continue;
    }
    auto first = jobs_.begin();
    // A copy: the job may be dropped while we wait.
    const Clock::time_point due = first->first;
    if (due > Clock::now()) {
      wake_.wait_until(lock, due);
      continue;
    }
    std::function<void()> job = std::move(first->second);
    jobs_.erase(first);
    lock.unlock();
    job();
    lock.lock();
  }
}

}  // namespace devicesim
