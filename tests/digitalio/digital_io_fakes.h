// A driver handler and a host event sink for the digital I/O suites, plus access to the
// object's private state (support/digital_io_test_peer.h). Both fakes are called from
// library threads and the worker thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "digitalio/bosch_digital_io.h"
#include "support/fake_handler.h"
#include "support/digital_io_test_peer.h"
#include "veltrane/host.h"

namespace digitalio_testing {

// The handler of the shared fakes, on the loopback device with the given credentials and
// input and output counts.
class FakeHandler final : public fakes::FakeHandler {
 public:
  FakeHandler(std::uint16_t port, std::string user, std::string password, int inputs,
              int outputs)
      : fakes::FakeHandler("127.0.0.1", port, "Veltrane") {
    SetCredentials(std::move(user), std::move(password));
    config().inputCount = inputs;
    config().outputCount = outputs;
  }
};

class FakeSink final : public corvane::ICaptureIOEventSink {
 public:
  // One call, in arrival order: input -1 stands for OnConnectionLost.
  struct Event {
    int input;
    int state;
  };
  static constexpr int kLost = -1;

  void OnInputChanged(int input, int state) override;
  void OnConnectionLost() override;

  std::vector<Event> Events() const;
  int LostCount() const;
  // Reports of one input with one state.
  int CountReports(int input, int state) const;
  // Input reports after the n-th loss (n = 0: all of them).
  int ReportsAfterLoss(int n) const;
  bool WaitUntil(const std::function<bool(const std::vector<Event>&)>& condition,
                 int timeoutMs) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Event> events_;
};

// Polls condition until it holds or timeoutMs have passed.
bool Eventually(const std::function<bool()>& condition, int timeoutMs);

}  // namespace digitalio_testing
