// Without the executable's folder nothing is loaded: a bare file name would otherwise be
// looked up in whatever the working directory happens to be.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "no_executable_path.h"
#include "platform/platform.h"
#include "settings/camera_capabilities.h"
#include "settings/xml_settings_api.h"
#include "support/settings_test_files.h"

namespace {

class WithoutExecutableFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    // The file lies in the working directory, where a relative path would find it.
    char cwd[PATH_MAX];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    previous_ = cwd;
    ASSERT_EQ(::chdir(platform::ExecutableFolder().c_str()), 0);
    file_ = std::make_unique<TestSettingsFile>(
        UniqueStem("nofolder"), "<bosch><cameraCount value=\"4\"/><mode value=\"jpeg\"/></bosch>");
    testfs::HideExecutablePath(true);
    ASSERT_EQ(platform::ExecutableFolder(), "");
  }
  void TearDown() override {
    testfs::HideExecutablePath(false);
    file_.reset();
    ASSERT_EQ(::chdir(previous_.c_str()), 0);
  }

  std::string previous_;
  std::unique_ptr<TestSettingsFile> file_;
};

TEST_F(WithoutExecutableFolder, StoreRefusesToLoad) {
  CXMLSettingsAPI store;
  EXPECT_EQ(store.Load(file_->fileName().c_str()), kSettingsFailure);
  EXPECT_EQ(store.GetValue("%s/%s", "bosch", "cameraCount"), "");
  // Found again once the folder is known.
  testfs::HideExecutablePath(false);
  CXMLSettingsAPI found;
  EXPECT_EQ(found.Load(file_->fileName().c_str()), 0);
  EXPECT_EQ(found.GetValue("%s/%s", "bosch", "cameraCount"), "4");
}

TEST_F(WithoutExecutableFolder, CapabilityReadRefusesToo) {
  CCameraCapabilities caps;
  std::string rootName;
  EXPECT_FALSE(ReadCapabilities(file_->stem().c_str(), caps, rootName));
  EXPECT_TRUE(caps.codecList.empty());
}

}  // namespace
