#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace {

// A scratch folder of this test, removed with everything in it.
class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "platformfilesXXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern + "/";
  }
  void TearDown() override {
    for (const std::string& f : created_) unlink(f.c_str());
    rmdir(dir_.c_str());
  }
  std::string Write(const char* name, const std::string& content) {
    const std::string path = dir_ + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    if (f == nullptr) return path;
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
    created_.push_back(path);
    return path;
  }
  std::string dir_;
  std::vector<std::string> created_;
};

TEST_F(FilesTest, FileSizeOfAnOpenFileIsItsLength) {
  const std::string path = Write("data.xml", std::string(1234, 'x'));
  platform::File file = platform::OpenFileForRead(path.c_str());
  ASSERT_TRUE(file.Valid());
  EXPECT_EQ(platform::FileSize(file), 1234);
}

TEST_F(FilesTest, EmptyFileOpensWithSizeZero) {
  const std::string path = Write("empty.xml", "");
  platform::File file = platform::OpenFileForRead(path.c_str());
  ASSERT_TRUE(file.Valid());
  EXPECT_EQ(platform::FileSize(file), 0);
}

TEST_F(FilesTest, MissingFileIsNotOpenedAndNotCreated) {
  const std::string path = dir_ + "missing.xml";
  EXPECT_FALSE(platform::OpenFileForRead(path.c_str()).Valid());
  EXPECT_NE(access(path.c_str(), F_OK), 0);
}

TEST_F(FilesTest, FolderIsNotOpenedAsAFile) {
  EXPECT_FALSE(platform::OpenFileForRead(dir_.c_str()).Valid());
}

TEST(Files, NullOrEmptyPathIsNotOpened) {
  EXPECT_FALSE(platform::OpenFileForRead(nullptr).Valid());
  EXPECT_FALSE(platform::OpenFileForRead("").Valid());
}

TEST(Files, FileSizeOfAnInvalidFileFails) {
  EXPECT_EQ(platform::FileSize(platform::File()), -1);
}

TEST(Folders, ExecutableFolderHoldsTheRunningProgram) {
  const std::string folder = platform::ExecutableFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.front(), '/');
  EXPECT_EQ(folder.back(), '/');
  EXPECT_EQ(access((folder + program_invocation_short_name).c_str(), X_OK), 0);
}

TEST(Folders, ModuleFolderOfCodeLinkedIntoTheProgramIsTheProgramFolder) {
  EXPECT_EQ(platform::ModuleFolder(), platform::ExecutableFolder());
}

TEST(ResolveIPv4, LocalhostGivesTheLoopbackAddress) {
  EXPECT_EQ(platform::ResolveIPv4("localhost"), "127.0.0.1");
}

TEST(ResolveIPv4, DottedAddressGivesItself) {
  EXPECT_EQ(platform::ResolveIPv4("127.0.0.1"), "127.0.0.1");
}

TEST(ResolveIPv4, InvalidNameGivesTheEmptyString) {
  EXPECT_EQ(platform::ResolveIPv4("bad..name"), "");
  EXPECT_EQ(platform::ResolveIPv4("256.1.1.1"), "");
}

TEST(ResolveIPv4, NullOrEmptyNameGivesTheEmptyString) {
  EXPECT_EQ(platform::ResolveIPv4(nullptr), "");
  EXPECT_EQ(platform::ResolveIPv4(""), "");
}

}  // namespace
