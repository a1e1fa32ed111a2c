#include "settings/pellow_file_base.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "support/settings_test_files.h"

namespace {

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

TEST(PellowFileBase, RefusesNullAndEmptyNames) {
  CPellowFileBase file;
  EXPECT_FALSE(file.OpenForRead(nullptr));
  EXPECT_FALSE(file.OpenForRead(""));
  EXPECT_FALSE(file.IsOpen());
}

TEST(PellowFileBase, OpensExistingFileAndReportsItsSize) {
  TestSettingsFile written(UniqueStem("pfb"), "twelve bytes");
  CPellowFileBase file;
  ASSERT_TRUE(file.OpenForRead(written.path().c_str()));
  EXPECT_EQ(file.GetSize(), 12);
  EXPECT_EQ(file.fileName(), written.path());
}

TEST(PellowFileBase, FailsOnMissingFileWithoutCreatingIt) {
  const std::string path = TestSettingsFile(UniqueStem("pfb"), "x").path();  // removed again
  ASSERT_FALSE(Exists(path));
  CPellowFileBase file;
  EXPECT_FALSE(file.OpenForRead(path.c_str()));
  EXPECT_FALSE(file.IsOpen());
  EXPECT_FALSE(Exists(path));
}

TEST(PellowFileBase, ReportsNoSizeOnceClosed) {
  TestSettingsFile written(UniqueStem("pfb"), "abc");
  CPellowFileBase file;
  ASSERT_TRUE(file.OpenForRead(written.path().c_str()));
  file.Close();
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(file.GetSize(), -1);
}

}  // namespace
