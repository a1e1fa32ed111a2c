// Connection properties changed while the driver is open: camera sessions read them on their
// own threads at every connection, so the host may set them at any time and a change takes
// effect at the next connection.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "e2e_support.h"
#include "platform/eventually.h"

namespace e2e {
namespace {

using std::chrono::milliseconds;
using testutil::Eventually;

const void* PortValue(std::uint16_t port) {
  return reinterpret_cast<const void*>(static_cast<std::uintptr_t>(port));
}

// Connection attempts of the sessions that failed, from discovery or from the video connect
// (logged, throttled after 14 per session).
int FailedAttempts(const fakes::FakeCaptureUser& user) {
  int count = 0;
  for (const auto& line : user.Lines()) {
    if (line.text.rfind("CBoschIPCameraInfo", 0) == 0 &&
        line.text.find("failed") != std::string::npos)
      ++count;
  }
  return count;
}

TEST(PropertiesWhileOpen, HostSetsThemWhileSessionsReconnect) {
  DriverOnDevice fixture("props_race", 2, 100);
  fixture.device().RefuseConnections(true);
  ASSERT_TRUE(fixture.Open());
  ASSERT_EQ(fixture.driver().StartChannel(0, 1000, 2, 50), 1);
  ASSERT_EQ(fixture.driver().StartChannel(1, 1000, 2, 50), 1);

  // Every attempt builds its address from the properties while this thread rewrites them.
  std::atomic<bool> done{false};
  std::atomic<int> rounds{0};
  std::thread host([&] {
    const std::uint16_t port = fixture.device().port();
    const std::string longName(40, 'u');  // too long for the short-string buffer
    for (int i = 0; !done; ++i) {
      corvane::CVeltrane& driver = fixture.driver();
      driver.SetProperty("IPSERVERADDRESS", "127.0.0.1", 0);
      driver.SetProperty("IPSERVERUSERNAME", i % 2 ? "service" : longName.c_str(), 0);
      driver.SetProperty("IPSERVERPASSWORD", i % 2 ? "a" : longName.c_str(), 0);
      driver.SetProperty("IPSERVERPORT", PortValue(port), 0);
      driver.SetProperty("IPSERVERTYPE", "unused-after-open", 0);
      char address[32];
      driver.GetProperty("ipAddress", address, sizeof address);
      ++rounds;
    }
  });
  const int before = FailedAttempts(fixture.user());
  const bool reconnected =
      Eventually([&] { return FailedAttempts(fixture.user()) >= before + 6; }, milliseconds(20000));
  done = true;
  host.join();
  ASSERT_TRUE(reconnected);
  EXPECT_GT(rounds.load(), 0);

  // The sessions still reach the device once it answers again.
  fixture.driver().SetProperty("IPSERVERADDRESS", "127.0.0.1", 0);
  fixture.driver().SetProperty("IPSERVERUSERNAME", "", 0);
  fixture.driver().SetProperty("IPSERVERPASSWORD", "", 0);
  fixture.device().RefuseConnections(false);
  EXPECT_TRUE(fixture.device().WaitForRequests(kCmdAnnounceSession, 2, 20000));
}

TEST(PropertiesWhileOpen, PortChangeReachesTheNextConnection) {
  DriverOnDevice fixture("props_port", 1, 300);
  devicesim::DeviceSimOptions options;
  options.cameraCount = 1;
  options.inputCount = 0;
  options.outputCount = 0;
  devicesim::DeviceSim second(options);
  ASSERT_TRUE(second.Start()) << second.LastError();

  ASSERT_TRUE(fixture.Open());
  ASSERT_EQ(fixture.driver().StartChannel(0, 40, 2, 50), 1);
  ASSERT_TRUE(fixture.device().WaitForRequests(kCmdAnnounceSession, 1, 10000));
  EXPECT_EQ(second.Requests().size(), 0u);

  fixture.driver().SetProperty("IPSERVERPORT", PortValue(second.port()), 0);
  EXPECT_EQ(fixture.driver().GetServerPort(), second.port());
  // The running connection stays where it is until the first device lets it go.
  fixture.device().RefuseConnections(true);
  fixture.device().DropAllConnections();
  EXPECT_TRUE(second.WaitForRequests(kCmdAnnounceSession, 1, 30000));
  EXPECT_TRUE(Eventually([&] { return second.ActiveVideoSessions() == 1; }, milliseconds(10000)));
  EXPECT_EQ(fixture.CountRequests(kCmdAnnounceSession), 1);
}

}  // namespace
}  // namespace e2e
