#include "support/settings_test_files.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>

#include <gtest/gtest.h>

#include "platform/platform.h"

std::string UniqueStem(const std::string& prefix) {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info != nullptr ? info->name() : "none";
  // Parameterised tests carry a '/' in their names; file names must not.
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  return prefix + "_" + name + "_" + std::to_string(::getpid());
}

TestSettingsFile::TestSettingsFile(std::string stem, const std::string& content) : stem_(std::move(stem)) {
  std::ofstream out(path(), std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.close();
  EXPECT_TRUE(out.good()) << "cannot write " << path();
}

TestSettingsFile::~TestSettingsFile() { std::remove(path().c_str()); }

std::string TestSettingsFile::path() const { return platform::ExecutableFolder() + fileName(); }
