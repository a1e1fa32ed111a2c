// The simulator's clips, split into pictures the way the simulator splits them: every
// picture's header must give the clip's size, starting with the intra picture the driver
// waits for.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "picture_test_support.h"

namespace {

using picture_test::Parse;
using picture_test::ParseResult;
using picture_test::ReadClip;
using picture_test::SplitPictures;

struct Clip {
  const char* file;
  int width;
  int height;
};

void PrintTo(const Clip& clip, std::ostream* out) { *out << clip.file; }

constexpr int kPicturesPerClip = 50;

class ClipTest : public testing::TestWithParam<Clip> {
 protected:
  void SetUp() override {
    stream_ = ReadClip(GetParam().file);
    ASSERT_FALSE(stream_.empty()) << "cannot read " << GetParam().file << " from " << CLIPS_DIR;
    pictures_ = SplitPictures(stream_);
    ASSERT_FALSE(pictures_.empty());
  }

  std::vector<std::uint8_t> stream_;
  std::vector<std::span<const std::uint8_t>> pictures_;
};

TEST_P(ClipTest, SplitsIntoFiftyPictures) {
  EXPECT_EQ(pictures_.size(), static_cast<std::size_t>(kPicturesPerClip));
  EXPECT_EQ(pictures_.front().data(), stream_.data()) << "the clip must begin with a picture";
}

TEST_P(ClipTest, FirstPictureIsIntra) {
  // PTYPE's coding type bit, or MPPTYPE's picture type when the header has PLUSPTYPE with a
  // full update: the same bits the driver looks at.
  const std::span<const std::uint8_t> first = pictures_.front();
  ASSERT_GE(first.size(), 8u);
  if ((first[4] & 0x1C) == 0x1C) {
    ASSERT_NE(first[5] & 0x80, 0) << "an intra picture carries the full extended PTYPE";
    EXPECT_EQ(first[7] & 0x1C, 0);
  } else {
    EXPECT_EQ(first[4] & 0x02, 0);
  }
}

TEST_P(ClipTest, FirstPictureGivesTheClipSize) {
  const ParseResult result = Parse(pictures_.front());
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.width, GetParam().width);
  EXPECT_EQ(result.height, GetParam().height);
}

TEST_P(ClipTest, EveryPictureGivesTheClipSize) {
  for (std::size_t i = 0; i < pictures_.size(); ++i) {
    const ParseResult result = Parse(pictures_[i]);
    EXPECT_EQ(result.status, 1) << "picture " << i;
    EXPECT_EQ(result.width, GetParam().width) << "picture " << i;
    EXPECT_EQ(result.height, GetParam().height) << "picture " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Clips, ClipTest,
                         testing::Values(Clip{"qcif.263", 176, 144}, Clip{"cif.263", 352, 288},
                                         Clip{"2cif.263", 704, 288}, Clip{"4cif.263", 704, 576}),
                         [](const testing::TestParamInfo<Clip>& info) {
                           std::string name = info.param.file;
                           return "clip_" + name.substr(0, name.find('.'));
                         });

}  // namespace
