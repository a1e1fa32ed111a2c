// The entry points as a host sees them: the shared library loaded at run time.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "veltrane/veltrane.h"

namespace {

class Exports : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string path = platform::ExecutableFolder() + "libveltrane.so";
    library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library_, nullptr) << dlerror();
    create_ = reinterpret_cast<decltype(create_)>(dlsym(library_, "CreateCapture"));
    delete_ = reinterpret_cast<decltype(delete_)>(dlsym(library_, "DeleteCapture"));
    createIP_ = reinterpret_cast<decltype(createIP_)>(dlsym(library_, "CreateIPCapture"));
    deleteIP_ = reinterpret_cast<decltype(deleteIP_)>(dlsym(library_, "DeleteIPCapture"));
    ASSERT_TRUE(create_ && delete_ && createIP_ && deleteIP_);
  }
  void TearDown() override {
    if (library_) dlclose(library_);
  }

  void* library_ = nullptr;
  decltype(&CreateCapture) create_ = nullptr;
  decltype(&DeleteCapture) delete_ = nullptr;
  decltype(&CreateIPCapture) createIP_ = nullptr;
  decltype(&DeleteIPCapture) deleteIP_ = nullptr;
};

TEST_F(Exports, CreateAndDeleteCapture) {
  CCaptureAPI* api = create_(0);
  ASSERT_NE(api, nullptr);
  std::int32_t value = 0;
  EXPECT_EQ(api->GetProperty("isIPCamera", &value, 4), 1);
  EXPECT_EQ(value, 1);
  EXPECT_TRUE(delete_(&api));
  EXPECT_EQ(api, nullptr);
}

TEST_F(Exports, DeleteCaptureRefusesNull) {
  CCaptureAPI* api = nullptr;
  EXPECT_FALSE(delete_(&api));
  EXPECT_FALSE(delete_(nullptr));
}

TEST_F(Exports, DeleteIPCaptureIgnoresNull) {
  deleteIP_(nullptr);
  SUCCEED();
}

TEST_F(Exports, InternalSymbolsAreHidden) {
  EXPECT_EQ(dlsym(library_, "_ZN7corvane9CVeltraneC1Ev"), nullptr);
  EXPECT_EQ(dlsym(library_, "_ZN8platform15ExecutableFolderB5cxx11Ev"), nullptr);
}

}  // namespace
