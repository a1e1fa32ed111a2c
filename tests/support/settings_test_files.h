// Settings files written beside the test program for the length of one test.
#pragma once

#include <string>

// "<prefix>_<current test name>_<pid>": unique per test and per process.
std::string UniqueStem(const std::string& prefix);

// Writes stem + ".xml" with the given bytes into the executable's folder and removes it
// again on destruction.
class TestSettingsFile {
 public:
  TestSettingsFile(std::string stem, const std::string& content);
  ~TestSettingsFile();
  TestSettingsFile(const TestSettingsFile&) = delete;
  TestSettingsFile& operator=(const TestSettingsFile&) = delete;

  // Device-type name: the file name without ".xml".
  const std::string& stem() const { return stem_; }
  // Name as Load takes it.
  std::string fileName() const { return stem_ + ".xml"; }
  // Full path.
  std::string path() const;

 private:
  std::string stem_;
};
