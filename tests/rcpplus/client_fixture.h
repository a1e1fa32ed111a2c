// Shared pieces of the client suites: a simulated device on loopback and callback recorders.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device_sim.h"
#include "rcpplus/rcpplus.h"

namespace rcpplus::testing {

using namespace std::chrono_literals;

constexpr unsigned long kInputCount = 0x01DB0830;   // reply: 4-byte count
constexpr unsigned long kInputState = 0x01C00030;   // reply: 1 byte; also a message
constexpr unsigned long kOutputFlags = 0x00930130;  // sent without awaiting an answer
constexpr unsigned long kRegister = 0xFF000C31;
constexpr unsigned long kConnectionLost = 0x00120020;
constexpr const char* kUser = "ops";
constexpr const char* kPassword = "s3cr3t-pass";

struct Call {
  RcpHeader header{};
  std::vector<unsigned char> payload;
  std::string address;
  std::thread::id thread;
};

// Records every call it gets; tests wait on it with deadlines.
class Recorder {
 public:
  static void Callback(void* context, RcpHeader& header, RcpInputStream& payload) {
    static_cast<Recorder*>(context)->Add(header, payload);
  }

  void Add(const RcpHeader& header, RcpInputStream& payload) {
    Call call;
    call.header = header;
    while (payload.available() > 0) call.payload.push_back(payload.readOctet());
    call.address = header.connectionAddress != nullptr ? header.connectionAddress : "";
    call.thread = std::this_thread::get_id();
    {
      std::lock_guard lock(mutex_);
      calls_.push_back(std::move(call));
    }
    changed_.notify_all();
  }

  bool WaitForCount(std::size_t count, std::chrono::milliseconds timeout = 5000ms) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return calls_.size() >= count; });
  }

  std::size_t Count() const {
    std::lock_guard lock(mutex_);
    return calls_.size();
  }

  std::vector<Call> Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Call> calls_;
};

inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = 5000ms) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    devicesim::DeviceSimOptions options;
    options.cameraCount = 1;
    options.inputCount = 4;
    options.outputCount = 2;
    options.user = kUser;
    options.password = kPassword;
    sim_ = std::make_unique<devicesim::DeviceSim>(options);
    ASSERT_TRUE(sim_->Start()) << sim_->LastError();
    address_ = sim_->Address(kUser, kPassword);
  }

  void TearDown() override {
    // Every owed callback is made before the recorders go away.
    System::terminate();
    RcpClient::setConnectTimeout(0);
    sim_->Stop();
  }

  Recorder& NewRecorder() { return *recorders_.emplace_back(std::make_unique<Recorder>()); }

  // Keeps test state alive until every callback has been made (TearDown terminates first).
  template <typename T, typename... Args>
  T& Keep(Args&&... args) {
    auto owned = std::make_shared<T>(std::forward<Args>(args)...);
    T& ref = *owned;
    kept_.push_back(std::move(owned));
    return ref;
  }

  // Sends a request that the device answers and waits for the answer.
  Call RoundTrip(RcpClient& client, unsigned long command = kInputCount) {
    Recorder& recorder = NewRecorder();
    RcpOutputStream out;
    out.writeOctet(0);
    client.sendRequest(5000, command, out, Recorder::Callback, &recorder);
    EXPECT_TRUE(recorder.WaitForCount(1));
    const auto calls = recorder.Calls();
    return calls.empty() ? Call{} : calls.front();
  }

  std::unique_ptr<devicesim::DeviceSim> sim_;
  std::string address_;
  std::deque<std::unique_ptr<Recorder>> recorders_;
  std::vector<std::shared_ptr<void>> kept_;
};

}  // namespace rcpplus::testing
