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
#include <vector>

#include "digitalio/bosch_digital_io.h"
#include "foundation/ipcapture_io_base_handler_if.h"
#include "support/digital_io_test_peer.h"
#include "veltrane/host.h"

namespace digitalio_testing {

class FakeHandler final : public corvane::CIPCaptureIOBaseHandlerIf {
 public:
  struct Line {
    int level;
    std::string text;
  };

  FakeHandler(std::uint16_t port, std::string user, std::string password, int inputs,
              int outputs);

  const char* GetModuleName() override { return "Veltrane"; }
  std::uint16_t GetServerPort() override { return port_; }
  const std::string& GetServerAddress() override { return address_; }
  const std::string& GetServerUserName() override { return user_; }
  const std::string& GetServerPassword() override { return password_; }
  corvane::DeviceConfig* GetDeviceConfig() override { return &config_; }
  void Log(int level, const char* format, ...) override __attribute__((format(printf, 3, 4)));

  std::vector<Line> Lines() const;
  int CountLines(const std::string& text) const;
  // Lines that contain text.
  int CountLinesContaining(const std::string& text) const;
  bool WaitForLineContaining(const std::string& text, int count, int timeoutMs) const;

 private:
  const std::uint16_t port_;
  const std::string address_ = "127.0.0.1";
  const std::string user_;
  const std::string password_;
  corvane::DeviceConfig config_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Line> lines_;
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
