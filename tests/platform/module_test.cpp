#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

namespace {

using platform::Module;
using CombineFn = int (*)(int, int, int, int);
using NameFn = const char* (*)();

TEST(Module, LoadsAWindowsStyleNameFromTheLibraryFolder) {
  Module module = Module::Load("platformprobe.dll");
  EXPECT_TRUE(module.Loaded());
}

TEST(Module, LooksUpADecoratedExportByItsPlainName) {
  Module module = Module::Load("platformprobe.dll");
  ASSERT_TRUE(module.Loaded());
  auto combine = reinterpret_cast<CombineFn>(module.Symbol("_ProbeCombine@16"));
  ASSERT_NE(combine, nullptr);
  EXPECT_EQ(combine(1, 2, 3, 4), ((1 * 31 + 2) * 31 + 3) * 31 + 4);
}

TEST(Module, LooksUpAnUndecoratedNameAsItIs) {
  Module module = Module::Load("platformprobe.dll");
  ASSERT_TRUE(module.Loaded());
  auto name = reinterpret_cast<NameFn>(module.Symbol("ProbeName"));
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(std::string(name()), "platformprobe");
}

TEST(Module, MissingExportGivesNull) {
  Module module = Module::Load("platformprobe.dll");
  ASSERT_TRUE(module.Loaded());
  EXPECT_EQ(module.Symbol("_NoSuchExport@16"), nullptr);
  EXPECT_EQ(module.Symbol("NoSuchExport"), nullptr);
}

TEST(Module, MissingFileGivesAnEmptyModule) {
  Module module = Module::Load("nosuchprobemodule.dll");
  EXPECT_FALSE(module.Loaded());
  EXPECT_EQ(module.Symbol("_ProbeCombine@16"), nullptr);
}

TEST(Module, OtherNamesAreFileNamesInTheLibraryFolder) {
  Module module = Module::Load("libplatformprobe.so");
  EXPECT_TRUE(module.Loaded());
}

TEST(Module, NamesWithAFolderAreRefused) {
  const std::string full = platform::ModuleFolder() + "libplatformprobe.so";
  EXPECT_FALSE(Module::Load(full.c_str()).Loaded());
  EXPECT_FALSE(Module::Load("./libplatformprobe.so").Loaded());
}

TEST(Module, NullOrEmptyNameGivesAnEmptyModule) {
  EXPECT_FALSE(Module::Load(nullptr).Loaded());
  EXPECT_FALSE(Module::Load("").Loaded());
}

TEST(Module, MovedModuleKeepsTheLibraryLoaded) {
  Module source = Module::Load("platformprobe.dll");
  ASSERT_TRUE(source.Loaded());
  Module target;
  target = std::move(source);
  EXPECT_FALSE(source.Loaded());  // NOLINT(bugprone-use-after-move)
  auto combine = reinterpret_cast<CombineFn>(target.Symbol("_ProbeCombine@16"));
  ASSERT_NE(combine, nullptr);
  EXPECT_EQ(combine(0, 0, 0, 7), 7);
}

}  // namespace
