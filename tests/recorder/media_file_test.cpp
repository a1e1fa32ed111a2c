// The recorder's file writer on its own: the simulator's H.263 pictures with made-up arrival
// times, into Matroska and bare H.263, complete, abandoned, and cut short by a size limit.
#include "media_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "picture_header/picture_test_support.h"
#include "recorder_process.h"

namespace {

using recorder::Format;
using recorder::MediaFile;
using recorder::MediaFileParams;

// The picture coding type bit of PTYPE, after the 22-bit start code and 8-bit temporal
// reference and 8 more PTYPE bits: 0 = intra.
bool IsIntra(std::span<const std::uint8_t> picture) {
  return picture.size() > 4 && ((picture[4] >> 1) & 1) == 0;
}

class Pictures {
 public:
  Pictures()
      : clip_(picture_test::ReadClip("cif.263")), pictures_(picture_test::SplitPictures(clip_)) {}
  std::size_t size() const { return pictures_.size(); }
  std::span<const std::uint8_t> operator[](std::size_t i) const {
    return pictures_[i % pictures_.size()];
  }

 private:
  std::vector<std::uint8_t> clip_;
  std::vector<std::span<const std::uint8_t>> pictures_;
};

// Writes count pictures spaced intervalMs apart, from the clip's start (an intra picture);
// the errno value of the first failure, or 0.
int WritePictures(MediaFile& file, const Pictures& pictures, int count, int intervalMs) {
  for (int i = 0; i < count; ++i) {
    const auto picture = pictures[static_cast<std::size_t>(i)];
    if (const int error = file.Write(picture.data(), picture.size(), IsIntra(picture),
                                     5000 + static_cast<std::int64_t>(i) * intervalMs)) {
      return error;
    }
  }
  return 0;
}

long long FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

MediaFileParams Params(Format format, int intervalMs) {
  MediaFileParams params;
  params.format = format;
  params.width = 352;
  params.height = 288;
  params.frameIntervalMs = intervalMs;
  return params;
}

// Sets the process's file size limit for its lifetime; a write past it fails with EFBIG.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    previous_ = ::signal(SIGXFSZ, SIG_IGN);
    Set(bytes);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, previous_);
  }
  void Set(rlim_t bytes) {
    const rlimit limit{bytes, saved_.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  }
  void Lift() { Set(saved_.rlim_max); }

 private:
  rlimit saved_{};
  void (*previous_)(int) = nullptr;
};

// The only file in the folder is the closed one, under its final name, of the size and with
// the frames that Close stated, and it plays.
void ExpectOnlyTheClosedFile(const rectest::TempFolder& out, const std::string& name,
                             const MediaFile::Closed& closed, rectest::Probe* probe) {
  EXPECT_EQ(out.Files(true), std::vector<std::string>{name});
  EXPECT_EQ(FileSize(out / name), static_cast<long long>(closed.bytes));
  *probe = rectest::ProbeFile(out / name);
  EXPECT_TRUE(probe->ok) << probe->errors;
  EXPECT_EQ(probe->frames, static_cast<long>(closed.frames));
}

struct FormatCase {
  const char* name;
  Format format;
  const char* file;
};

class MediaFileFormats : public ::testing::TestWithParam<FormatCase> {};

TEST_P(MediaFileFormats, ClosedFileHasItsFinalNameAndEveryFrame) {
  const FormatCase& c = GetParam();
  const Pictures pictures;
  ASSERT_GT(pictures.size(), 25u);
  rectest::TempFolder out;
  int error = 0;
  auto file = MediaFile::Open(out.path(), c.file, Params(c.format, 40), &error);
  ASSERT_TRUE(file) << std::strerror(error);
  EXPECT_EQ(out.Files(true), std::vector<std::string>{std::string(".") + c.file + ".part"});
  ASSERT_EQ(WritePictures(*file, pictures, 60, 40), 0);
  // The recording ended 15 ms after the last frame arrived: so does the file.
  const MediaFile::Closed closed = file->Close(5000 + 59 * 40 + 15);
  EXPECT_EQ(closed.error, 0);
  EXPECT_TRUE(closed.kept);
  EXPECT_EQ(closed.frames, 60u);
  rectest::Probe probe;
  ExpectOnlyTheClosedFile(out, c.file, closed, &probe);
  if (c.format == Format::kMkv) {
    EXPECT_NEAR(probe.seconds, 59 * 0.040 + 0.015, 0.0015);
    EXPECT_NEAR(probe.frameRate, 25, 0.001);
  }
}

// A file that is never closed (the recorder stopped without completing it) leaves nothing.
TEST_P(MediaFileFormats, AbandonedFileLeavesNothing) {
  const FormatCase& c = GetParam();
  const Pictures pictures;
  rectest::TempFolder out;
  int error = 0;
  auto file = MediaFile::Open(out.path(), c.file, Params(c.format, 40), &error);
  ASSERT_TRUE(file) << std::strerror(error);
  ASSERT_EQ(WritePictures(*file, pictures, 30, 40), 0);
  file.reset();
  EXPECT_TRUE(out.Files(true).empty());
}

// Cut short by the file size limit, the file keeps what reached its last commit point and
// still plays; the frames it states are the frames in it.
TEST_P(MediaFileFormats, FailedWriteIsCutBackToAWholeFile) {
  const FormatCase& c = GetParam();
  const Pictures pictures;
  rectest::TempFolder out;
  int error = 0;
  MediaFile::Closed closed;
  {
    FileSizeLimit limit(60 * 1024);
    auto file = MediaFile::Open(out.path(), c.file, Params(c.format, 100), &error);
    ASSERT_TRUE(file) << std::strerror(error);
    EXPECT_EQ(WritePictures(*file, pictures, 400, 100), EFBIG);
    // Every later frame fails the same way.
    EXPECT_EQ(file->Write(pictures[0].data(), pictures[0].size(), true, 100000), EFBIG);
    closed = file->Close();
    EXPECT_LT(file->committedFrames(), file->frames());
  }
  EXPECT_EQ(closed.error, EFBIG);
  ASSERT_TRUE(closed.kept);
  EXPECT_GT(closed.frames, 0u);
  rectest::Probe probe;
  ExpectOnlyTheClosedFile(out, c.file, closed, &probe);
}

// Room made on the first failure: the write is tried once more and nothing is lost.
TEST_P(MediaFileFormats, WriteIsRetriedOnceRoomWasMade) {
  const FormatCase& c = GetParam();
  const Pictures pictures;
  rectest::TempFolder out;
  FileSizeLimit limit(60 * 1024);
  int calls = 0;
  MediaFileParams params = Params(c.format, 100);
  params.makeRoom = [&] {
    ++calls;
    limit.Lift();
    return true;
  };
  int error = 0;
  auto file = MediaFile::Open(out.path(), c.file, params, &error);
  ASSERT_TRUE(file) << std::strerror(error);
  EXPECT_EQ(WritePictures(*file, pictures, 120, 100), 0);
  const MediaFile::Closed closed = file->Close();
  EXPECT_EQ(closed.error, 0);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(closed.frames, 120u);
  rectest::Probe probe;
  ExpectOnlyTheClosedFile(out, c.file, closed, &probe);
}

INSTANTIATE_TEST_SUITE_P(Formats, MediaFileFormats,
                         ::testing::Values(FormatCase{"Matroska", Format::kMkv, "ch01-a.mkv"},
                                           FormatCase{"H263", Format::kH263, "ch01-a.263"}),
                         [](const ::testing::TestParamInfo<FormatCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
