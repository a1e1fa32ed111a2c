// The driver reaches the parser only through the module loader: by the Windows-style
// module name and the decorated export name.
#include <gtest/gtest.h>

#include <cstdint>

#include "platform/platform.h"

namespace {

using ParseFn = int (*)(const unsigned char*, int, int*, int*);

// A CIF intra picture header: PSC, TR 0, PTYPE format 011, then PQUANT.
const unsigned char kCifIntra[] = {0x00, 0x00, 0x80, 0x02, 0x0C, 0x08};

TEST(PictureHeaderModule, LoadsByItsWindowsStyleName) {
  const platform::Module module = platform::Module::Load("VozeDaroruvavuror.dll");
  EXPECT_TRUE(module.Loaded()) << "expected " << platform::ModuleFolder()
                               << "libVozeDaroruvavuror.so";
}

TEST(PictureHeaderModule, DecoratedExportParsesAHeader) {
  const platform::Module module = platform::Module::Load("VozeDaroruvavuror.dll");
  ASSERT_TRUE(module.Loaded());
  auto parse = reinterpret_cast<ParseFn>(module.Symbol("_ParseMpegHeader@16"));
  ASSERT_NE(parse, nullptr);
  int width = 0;
  int height = 0;
  EXPECT_EQ(parse(kCifIntra, sizeof(kCifIntra), &width, &height), 1);
  EXPECT_EQ(width, 352);
  EXPECT_EQ(height, 288);
}

TEST(PictureHeaderModule, KeepsItsInternalsHidden) {
  const platform::Module module = platform::Module::Load("VozeDaroruvavuror.dll");
  ASSERT_TRUE(module.Loaded());
  ASSERT_NE(module.Symbol("ParseMpegHeader"), nullptr);
  EXPECT_EQ(module.Symbol("_ZN14picture_header16ParsePictureSizeESt4spanIKhLm18446744073709551615EE"),
            nullptr);
  EXPECT_EQ(module.Symbol("_ZN14picture_header9BitReader8ReadBitsEi"), nullptr);
}

}  // namespace
