// Starting from a device-type file, the port, stopping with clients connected, restarting.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "raw_client.h"

namespace devicesim::testing {
namespace {

namespace fs = std::filesystem;

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "devicesim-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  void Write(const std::string& name, const std::string& text) const {
    std::ofstream(fs::path(path_) / name) << text;
  }

 private:
  std::string path_;
};

constexpr const char* kFourCameras =
    "<bosch>\n"
    "  <cameraCount value=\"4\"/>\n"
    "  <io><input value=\"8\"/><output value=\"3\"/></io>\n"
    "</bosch>\n";

DeviceSimOptions FromFile(const TempFolder& folder, const std::string& type) {
  DeviceSimOptions options;
  options.deviceType = type;
  options.deviceTypeFolder = folder.path();
  return options;
}

TEST(DeviceSimLifecycle, ReadsCountsFromDeviceTypeFile) {
  TempFolder folder;
  folder.Write("cam4.xml", kFourCameras);
  DeviceSim sim(FromFile(folder, "cam4"));
  ASSERT_TRUE(sim.Start()) << sim.LastError();
  EXPECT_EQ(sim.cameraCount(), 4);
  EXPECT_EQ(sim.inputCount(), 8);
  EXPECT_EQ(sim.outputCount(), 3);
  RawClient client(sim.port());
  ASSERT_TRUE(client.RegisterOk());
  auto inputs = client.Request(kInputCount, 0, {0});
  ASSERT_TRUE(inputs.has_value());
  EXPECT_EQ(rcpwire::GetU32(inputs->payload.data()), 8u);
}

TEST(DeviceSimLifecycle, AcceptsFolderWithTrailingSlash) {
  TempFolder folder;
  folder.Write("cam4.xml", kFourCameras);
  DeviceSimOptions options = FromFile(folder, "cam4");
  options.deviceTypeFolder += "/";
  DeviceSim sim(options);
  EXPECT_TRUE(sim.Start()) << sim.LastError();
}

TEST(DeviceSimLifecycle, CountOverridesWinOverFile) {
  TempFolder folder;
  folder.Write("cam4.xml", kFourCameras);
  DeviceSimOptions options = FromFile(folder, "cam4");
  options.cameraCount = 1;
  options.outputCount = 0;
  DeviceSim sim(options);
  ASSERT_TRUE(sim.Start()) << sim.LastError();
  EXPECT_EQ(sim.cameraCount(), 1);
  EXPECT_EQ(sim.inputCount(), 8);
  EXPECT_EQ(sim.outputCount(), 0);
}

TEST(DeviceSimLifecycle, MissingKeysReadAsZero) {
  TempFolder folder;
  folder.Write("bare.xml", "<bosch><cameraCount value=\"2\"/></bosch>");
  DeviceSim sim(FromFile(folder, "bare"));
  ASSERT_TRUE(sim.Start()) << sim.LastError();
  EXPECT_EQ(sim.cameraCount(), 2);
  EXPECT_EQ(sim.inputCount(), 0);
}

TEST(DeviceSimLifecycle, StartFailsWithoutDeviceTypeFile) {
  TempFolder folder;
  DeviceSim sim(FromFile(folder, "nosuch"));
  EXPECT_FALSE(sim.Start());
  EXPECT_NE(sim.LastError().find("nosuch.xml"), std::string::npos);
}

TEST(DeviceSimLifecycle, StartFailsOnMalformedDeviceTypeFile) {
  TempFolder folder;
  folder.Write("broken.xml", "<bosch><cameraCount value=\"2\"></bosch>");
  DeviceSim sim(FromFile(folder, "broken"));
  EXPECT_FALSE(sim.Start());
  EXPECT_FALSE(sim.LastError().empty());
}

TEST(DeviceSimLifecycle, StartFailsOnCameraCountAboveDeviceLimit) {
  DeviceSimOptions options;
  options.cameraCount = 65;
  options.inputCount = 0;
  options.outputCount = 0;
  DeviceSim sim(options);
  EXPECT_FALSE(sim.Start());
  EXPECT_FALSE(sim.LastError().empty());
}

TEST(DeviceSimLifecycle, StartFailsWhenPortIsTaken) {
  auto first = StartSim();
  DeviceSimOptions options;
  options.port = first->port();
  options.cameraCount = options.inputCount = options.outputCount = 1;
  DeviceSim clash(options);
  EXPECT_FALSE(clash.Start());
  EXPECT_NE(clash.LastError().find(std::to_string(first->port())), std::string::npos);
}

TEST(DeviceSimLifecycle, SecondStartWhileRunningFails) {
  auto sim = StartSim();
  EXPECT_FALSE(sim->Start());
  EXPECT_FALSE(sim->LastError().empty());
}

TEST(DeviceSimLifecycle, AddressNamesCredentialsAndPort) {
  auto sim = StartSim();
  const auto address = rcpwire::ParseDeviceAddress(sim->Address("user", "pa:ss@"));
  ASSERT_TRUE(address.has_value());
  EXPECT_EQ(address->user, "user");
  EXPECT_EQ(address->password, "pa:ss@");
  EXPECT_EQ(address->host, "127.0.0.1");
  EXPECT_EQ(address->port, sim->port());
}

TEST(DeviceSimLifecycle, ConnectionCountFollowsClients) {
  auto sim = StartSim();
  auto waitFor = [&](int count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kArrivalMs);
    while (sim->ConnectionCount() != count && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return sim->ConnectionCount() == count;
  };
  {
    RawClient first(sim->port());
    RawClient second(sim->port());
    ASSERT_TRUE(first.Read() && second.Read());
    EXPECT_TRUE(waitFor(2));
  }
  EXPECT_TRUE(waitFor(0));
}

TEST(DeviceSimLifecycle, StopWithClientsConnectedClosesThemAndReturns) {
  auto sim = StartSim();
  RawClient registered(sim->port());
  RawClient fresh(sim->port());
  ASSERT_TRUE(registered.RegisterOk());
  ASSERT_TRUE(fresh.Read().has_value());
  sim->DelayReplies(kInputCount, 60000);
  ASSERT_TRUE(registered.SendRequest(kInputCount, 0, {0}));
  ASSERT_TRUE(sim->WaitForRequests(kInputCount, 1, kArrivalMs));
  sim->ToggleInputEvery(1, 5);
  sim->Stop();
  EXPECT_TRUE(registered.WaitClosed());
  EXPECT_TRUE(fresh.WaitClosed());
  EXPECT_EQ(sim->ConnectionCount(), 0);
  RawClient late(sim->port());
  EXPECT_FALSE(late.connected());
}

TEST(DeviceSimLifecycle, RestartServesOnSamePortWithStateKept) {
  auto sim = StartSim();
  const std::uint16_t port = sim->port();
  sim->SetInput(2, true);
  sim->Stop();
  ASSERT_TRUE(sim->Start()) << sim->LastError();
  EXPECT_EQ(sim->port(), port);
  RawClient client(port);
  ASSERT_TRUE(client.RegisterOk());
  auto state = client.Request(kInputState, 2, {0});
  ASSERT_TRUE(state.has_value());
  ASSERT_EQ(state->payload.size(), 1u);
  EXPECT_EQ(state->payload[0], 1);
}

TEST(DeviceSimLifecycle, DestructorStopsRunningDevice) {
  std::uint16_t port = 0;
  {
    auto sim = StartSim();
    port = sim->port();
    RawClient client(port);
    ASSERT_TRUE(client.RegisterOk());
  }
  RawClient late(port);
  EXPECT_FALSE(late.connected());
}

}  // namespace
}  // namespace devicesim::testing
