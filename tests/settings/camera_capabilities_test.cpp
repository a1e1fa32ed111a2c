#include "settings/camera_capabilities.h"

#include <ostream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "settings/xml_settings_api.h"
#include "support/settings_test_files.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::ValuesIn;

// Device types are derived from the test names, so these avoid the word that makes a device
// type count as MPEG-4 coded; the one test that wants it passes it in the prefix.

// Capability file under the given root element name with the given body.
std::string CapabilityFile(const std::string& root, const std::string& body) {
  return "<?xml version=\"1.0\"?>\n<" + root + ">" + body + "</" + root + ">\n";
}

ResolutionInfo Info(std::int32_t code, std::uint16_t width, std::uint16_t height) {
  ResolutionInfo r;
  r.resolutionCode = code;
  r.width = width;
  r.height = height;
  return r;
}

::testing::Matcher<const ResolutionInfo&> Entry(std::int32_t code, std::uint16_t width, std::uint16_t height) {
  return ::testing::AllOf(::testing::Field("resolutionCode", &ResolutionInfo::resolutionCode, code),
                          ::testing::Field("width", &ResolutionInfo::width, width),
                          ::testing::Field("height", &ResolutionInfo::height, height));
}

const char kCifRow[] = "<resolutions><cif value=\"true\"/><cifx value=\"352\"/><cify value=\"288\"/></resolutions>";

struct ReadResult {
  bool ok = false;
  CCameraCapabilities caps;
  std::string rootName;
};

ReadResult ReadFile(const std::string& root, const std::string& body, const std::string& prefix = "caps") {
  TestSettingsFile file(UniqueStem(prefix), CapabilityFile(root, body));
  ReadResult result;
  result.ok = ReadCapabilities(file.stem().c_str(), result.caps, result.rootName);
  return result;
}

// Table rows print and name themselves by what they check. Row names become part of the
// device type, so they keep clear of that word as well.
template <typename Row>
std::string RowName(const ::testing::TestParamInfo<Row>& info) {
  return info.param.name;
}

// ----- value readers

class CapabilityValueReaders : public ::testing::Test {
 protected:
  void LoadBody(const std::string& body) {
    file_ = std::make_unique<TestSettingsFile>(UniqueStem("caps"), CapabilityFile("unit", body));
    ASSERT_EQ(store_.Load(file_->fileName().c_str()), 0);
  }
  std::unique_ptr<TestSettingsFile> file_;
  CXMLSettingsAPI store_;
  const std::string root_ = "unit";
};

TEST_F(CapabilityValueReaders, ReadStringReadsUnderGivenRoot) {
  LoadBody("<mode value=\"jpeg\"/>");
  std::string text;
  EXPECT_TRUE(ReadString(store_, root_, "mode", text));
  EXPECT_EQ(text, "jpeg");
  EXPECT_FALSE(ReadString(store_, "bosch", "mode", text));
  EXPECT_EQ(text, "");
}

TEST_F(CapabilityValueReaders, ReadStringReportsEmptyValueAsFalse) {
  LoadBody("<mode value=\"\"/>");
  std::string text = "stale";
  EXPECT_FALSE(ReadString(store_, root_, "mode", text));
  EXPECT_EQ(text, "");
}

TEST_F(CapabilityValueReaders, ReadIntTakesLeadingNumberAfterBlanksAndSign) {
  LoadBody("<a value=\"  -12px\"/><b value=\"+7\"/>");
  std::int32_t value = 0;
  EXPECT_TRUE(ReadInt(store_, root_, "a", value));
  EXPECT_EQ(value, -12);
  EXPECT_TRUE(ReadInt(store_, root_, "b", value));
  EXPECT_EQ(value, 7);
}

TEST_F(CapabilityValueReaders, ReadIntAcceptsZeroOnlyWhenTextStartsWithZero) {
  LoadBody("<a value=\"0\"/><b value=\" 0\"/>");
  std::int32_t value = 5;
  EXPECT_TRUE(ReadInt(store_, root_, "a", value));
  EXPECT_EQ(value, 0);
  value = 5;
  EXPECT_FALSE(ReadInt(store_, root_, "b", value));
  EXPECT_EQ(value, 0);
}

TEST_F(CapabilityValueReaders, ReadIntWritesZeroForTextWithoutDigits) {
  LoadBody("<a value=\"many\"/>");
  std::int32_t value = 5;
  EXPECT_FALSE(ReadInt(store_, root_, "a", value));
  EXPECT_EQ(value, 0);
}

TEST_F(CapabilityValueReaders, ReadIntLeavesValueUntouchedWhenMissing) {
  LoadBody("<a value=\"3\"/>");
  std::int32_t value = 5;
  EXPECT_FALSE(ReadInt(store_, root_, "b", value));
  EXPECT_EQ(value, 5);
}

// ----- root name and camera count

TEST(CameraCapabilities, UsesRootElementNameAsKeyPrefix) {
  const ReadResult r = ReadFile("unit", std::string("<cameraCount value=\"3\"/>") + kCifRow);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.rootName, "unit");
  EXPECT_EQ(r.caps.cameraCount, 3);
  EXPECT_THAT(r.caps.resolutionTable, ElementsAre(Entry(kResolutionCif, 352, 288)));
}

struct CameraCountRow {
  const char* name;
  std::string body;
  std::int32_t cameraCount;
};

void PrintTo(const CameraCountRow& row, std::ostream* out) { *out << row.name; }

class CameraCountFile : public ::testing::TestWithParam<CameraCountRow> {};

TEST_P(CameraCountFile, IsRead) {
  const ReadResult r = ReadFile("bosch", GetParam().body);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.caps.cameraCount, GetParam().cameraCount);
}

const CameraCountRow kCameraCountRows[] = {
    {"SkipsZeroForLaterSpelling", "<cameraCount value=\"0\"/><CameraCount value=\"8\"/>", 8},
    {"PrefersFirstSpelling", "<CameraCount value=\"8\"/><cameracount value=\"5\"/><cameraCount value=\"2\"/>", 2},
    {"DefaultsToOne", kCifRow, 1},
};
INSTANTIATE_TEST_SUITE_P(CameraCapabilities, CameraCountFile, ValuesIn(kCameraCountRows), RowName<CameraCountRow>);

// ----- resolution table

struct ResolutionTableRow {
  const char* name;
  std::string body;
  std::vector<ResolutionInfo> table;
};

void PrintTo(const ResolutionTableRow& row, std::ostream* out) { *out << row.name; }

class ResolutionTableFile : public ::testing::TestWithParam<ResolutionTableRow> {};

TEST_P(ResolutionTableFile, IsRead) {
  const ReadResult r = ReadFile("bosch", GetParam().body);
  ASSERT_TRUE(r.ok);
  std::vector<::testing::Matcher<const ResolutionInfo&>> entries;
  for (const ResolutionInfo& info : GetParam().table) {
    entries.push_back(Entry(info.resolutionCode, info.width, info.height));
  }
  EXPECT_THAT(r.caps.resolutionTable, ElementsAreArray(entries));
}

const ResolutionTableRow kResolutionTableRows[] = {
    {"ReadsAllThreeRowsInOrder",
     "<resolutions>"
     "<cif4 value=\"true\"/><cif4x value=\"704\"/><cif4y value=\"576\"/>"
     "<cif value=\"true\"/><cifx value=\"352\"/><cify value=\"288\"/>"
     "<cif2 value=\"true\"/><cif2x value=\"704\"/><cif2y value=\"288\"/>"
     "</resolutions>",
     {Info(kResolutionCif, 352, 288), Info(kResolution2Cif, 704, 288), Info(kResolution4Cif, 704, 576)}},
    {"CapitalisedTrueDoesNotEnableRow",
     "<resolutions><cif value=\"True\"/><cifx value=\"352\"/><cify value=\"288\"/></resolutions>",
     {}},
    {"RowWithoutHeightIsSkippedAndNextRowStillRead",
     "<resolutions>"
     "<cif value=\"true\"/><cifx value=\"352\"/>"
     "<cif2 value=\"true\"/><cif2x value=\"704\"/><cif2y value=\"288\"/>"
     "</resolutions>",
     {Info(kResolution2Cif, 704, 288)}},
    {"RowWithNonNumericWidthIsSkipped",
     "<resolutions><cif value=\"true\"/><cifx value=\"wide\"/><cify value=\"288\"/></resolutions>",
     {}},
    {"ZeroSizedEntriesAreKeptAndNeverMerged",
     "<resolutions>"
     "<cif value=\"true\"/><cifx value=\"0\"/><cify value=\"0\"/>"
     "<cif2 value=\"true\"/><cif2x value=\"0\"/><cif2y value=\"0\"/>"
     "</resolutions>",
     {Info(kResolutionCif, 0, 0), Info(kResolution2Cif, 0, 0)}},
    {"SizesAreCutToLow16Bits",
     "<resolutions><cif value=\"true\"/><cifx value=\"65888\"/><cify value=\"65824\"/></resolutions>",
     {Info(kResolutionCif, 352, 288)}},
};
INSTANTIATE_TEST_SUITE_P(CameraCapabilities, ResolutionTableFile, ValuesIn(kResolutionTableRows),
                         RowName<ResolutionTableRow>);

// Also looks the size up, so it stays a test of its own.
TEST(CameraCapabilities, SameSizeInTwoRowsKeepsFirstRow) {
  const ReadResult r = ReadFile("bosch",
                                "<resolutions>"
                                "<cif value=\"true\"/><cifx value=\"352\"/><cify value=\"288\"/>"
                                "<cif2 value=\"true\"/><cif2x value=\"352\"/><cif2y value=\"288\"/>"
                                "</resolutions>");
  ASSERT_TRUE(r.ok);
  EXPECT_THAT(r.caps.resolutionTable, ElementsAre(Entry(kResolutionCif, 352, 288)));
  CCameraCapabilities caps = r.caps;
  EXPECT_EQ(FindResolutionCode(caps, 352, 288), kResolutionCif);
}

// ----- codec list

struct CodecListRow {
  const char* name;
  std::string body;
  std::string prefix;
  std::vector<std::int32_t> codecs;
};

void PrintTo(const CodecListRow& row, std::ostream* out) { *out << row.name; }

class CodecListFile : public ::testing::TestWithParam<CodecListRow> {};

TEST_P(CodecListFile, IsRead) {
  const ReadResult r = ReadFile("bosch", GetParam().body, GetParam().prefix);
  ASSERT_TRUE(r.ok);
  EXPECT_THAT(r.caps.codecList, ElementsAreArray(GetParam().codecs));
}

const CodecListRow kCodecListRows[] = {
    {"ModeWithBothWordsListsBothCodings", "<mode value=\"jpeg+mpeg4\"/>", "caps", {kCodecMpeg4, kCodecJpeg}},
    {"ModeJpegListsJpegOnly", "<mode value=\"jpeg\"/><mpeg4/>", "caps", {kCodecJpeg}},
    {"ModeInCapitalsListsNothing", "<mode value=\"MPEG4 JPEG\"/>", "caps", {}},
    {"ChildElementSelectsCodingWhenModeMissing", "<mpeg4><protocol value=\"RTP\"/></mpeg4>", "caps", {kCodecMpeg4}},
    {"OnlyDirectChildOfRootSelectsCoding", "<video><mpeg4/></video>", "caps", {kCodecJpeg}},
    {"DeviceTypeNameInCapitalsSelectsCodingWhenModeMissing", kCifRow, "caps_MPEG", {kCodecMpeg4}},
    {"FallsBackToJpegWithoutAnyHint", std::string("<mode value=\"\"/>") + kCifRow, "caps", {kCodecJpeg}},
};
INSTANTIATE_TEST_SUITE_P(CameraCapabilities, CodecListFile, ValuesIn(kCodecListRows), RowName<CodecListRow>);

// ----- failures

TEST(CameraCapabilities, MissingFileLeavesRecordAsItWas) {
  CCameraCapabilities caps;
  caps.cameraCount = 5;
  caps.codecList = {kCodecJpeg};
  std::string rootName = "before";
  EXPECT_FALSE(ReadCapabilities(UniqueStem("caps_missing").c_str(), caps, rootName));
  EXPECT_EQ(caps.cameraCount, 5);
  EXPECT_THAT(caps.codecList, ElementsAre(kCodecJpeg));
  EXPECT_THAT(caps.resolutionTable, IsEmpty());
}

struct UnreadableFileRow {
  const char* name;
  std::string content;
};

void PrintTo(const UnreadableFileRow& row, std::ostream* out) { *out << row.name; }

class UnreadableCapabilityFile : public ::testing::TestWithParam<UnreadableFileRow> {};

TEST_P(UnreadableCapabilityFile, Fails) {
  TestSettingsFile file(UniqueStem("caps"), GetParam().content);
  CCameraCapabilities caps;
  std::string rootName;
  EXPECT_FALSE(ReadCapabilities(file.stem().c_str(), caps, rootName));
  EXPECT_EQ(caps.cameraCount, 0);
  EXPECT_THAT(caps.codecList, IsEmpty());
}

const UnreadableFileRow kUnreadableFileRows[] = {
    {"EmptyFile", ""},
    {"MalformedFile", "<bosch><cameraCount value=\"2\"></bosch>"},
};
INSTANTIATE_TEST_SUITE_P(CameraCapabilities, UnreadableCapabilityFile, ValuesIn(kUnreadableFileRows),
                         RowName<UnreadableFileRow>);

TEST(CameraCapabilities, DeviceTypeWithSlashIsRefused) {
  CCameraCapabilities caps;
  std::string rootName;
  EXPECT_FALSE(ReadCapabilities("../bin/nvc100", caps, rootName));
  EXPECT_FALSE(ReadCapabilities(nullptr, caps, rootName));
  EXPECT_THAT(caps.codecList, IsEmpty());
}

// ----- repeated reads and walks

TEST(CameraCapabilities, SecondReadAppendsCodecsButNoKnownSizes) {
  TestSettingsFile file(UniqueStem("caps"), CapabilityFile("bosch", std::string("<mode value=\"jpeg\"/>") + kCifRow));
  CCameraCapabilities caps;
  std::string rootName;
  ASSERT_TRUE(ReadCapabilities(file.stem().c_str(), caps, rootName));
  ASSERT_TRUE(ReadCapabilities(file.stem().c_str(), caps, rootName));
  EXPECT_THAT(caps.codecList, ElementsAre(kCodecJpeg, kCodecJpeg));
  EXPECT_THAT(caps.resolutionTable, ElementsAre(Entry(kResolutionCif, 352, 288)));
}

TEST(CameraCapabilities, CodecWalkReturnsEntriesThenZero) {
  CCameraCapabilities caps;
  caps.codecList = {kCodecMpeg4, kCodecJpeg};
  EXPECT_EQ(caps.FirstCodec(), kCodecMpeg4);
  EXPECT_EQ(caps.NextCodec(), kCodecJpeg);
  EXPECT_EQ(caps.NextCodec(), 0);
  EXPECT_EQ(caps.FirstCodec(), kCodecMpeg4);
}

TEST(CameraCapabilities, CodecWalkOnEmptyListReturnsZero) {
  CCameraCapabilities caps;
  EXPECT_EQ(caps.FirstCodec(), 0);
  EXPECT_EQ(caps.NextCodec(), 0);
}

TEST(CameraCapabilities, FindResolutionCodeReturnsZeroForUnknownSize) {
  CCameraCapabilities caps;
  caps.resolutionTable = {Info(kResolutionCif, 352, 288), Info(kResolution4Cif, 704, 576)};
  EXPECT_EQ(FindResolutionCode(caps, 704, 288), 0);
  EXPECT_EQ(FindResolutionCode(caps, 352, 576), 0);
}

TEST(CameraCapabilities, FindResolutionCodeRestartsWalk) {
  CCameraCapabilities caps;
  caps.resolutionTable = {Info(kResolutionCif, 352, 288), Info(kResolution4Cif, 704, 576)};
  while (caps.NextResolution() != nullptr) {
  }
  EXPECT_EQ(FindResolutionCode(caps, 352, 288), kResolutionCif);
  EXPECT_EQ(FindResolutionCode(caps, 704, 576), kResolution4Cif);
}

}  // namespace
