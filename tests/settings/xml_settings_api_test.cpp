#include "settings/xml_settings_api.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "settings/settings_document.h"
#include "support/settings_test_files.h"

namespace {

const char kBoschFile[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<bosch>\n"
    "  <cameraCount value=\"4\"/>\n"
    "  <resolutions>\n"
    "    <cif value=\"true\"/>\n"
    "    <cifx value=\"352\"/>\n"
    "  </resolutions>\n"
    "  <framerate><res2 value=\"12\"/></framerate>\n"
    "</bosch>\n";

TEST(XmlSettingsLoad, ReadsValueAttributeAtFormattedKey) {
  TestSettingsFile file(UniqueStem("xs"), kBoschFile);
  CXMLSettingsAPI store;
  ASSERT_EQ(store.Load(file.fileName().c_str()), 0);
  EXPECT_EQ(store.GetValue("%s/%s", "bosch", "cameraCount"), "4");
  EXPECT_EQ(store.GetValue("%s/%s", "bosch", "resolutions/cifx"), "352");
  EXPECT_EQ(store.GetValue("bosch/framerate/res%d", 2), "12");
}

TEST(XmlSettingsLoad, FailsOnZeroLengthFileWithoutParsing) {
  TestSettingsFile file(UniqueStem("xs"), "");
  const std::uint64_t parsesBefore = settings_detail::ParseAttempts();
  CXMLSettingsAPI store;
  EXPECT_EQ(store.Load(file.fileName().c_str()), kSettingsFailure);
  EXPECT_EQ(settings_detail::ParseAttempts(), parsesBefore);
}

TEST(XmlSettingsLoad, FailsOnMissingFile) {
  CXMLSettingsAPI store;
  EXPECT_EQ(store.Load((UniqueStem("xs_missing") + ".xml").c_str()), kSettingsFailure);
  EXPECT_EQ(store.GetValue("%s/%s", "bosch", "cameraCount"), "");
}

TEST(XmlSettingsLoad, FailsOnNullOrEmptyName) {
  CXMLSettingsAPI store;
  EXPECT_EQ(store.Load(nullptr), kSettingsFailure);
  EXPECT_EQ(store.Load(""), kSettingsFailure);
}

template <typename Row>
std::string RowName(const ::testing::TestParamInfo<Row>& info) {
  return info.param.name;
}

struct MalformedFileRow {
  const char* name;
  const char* content;
};

void PrintTo(const MalformedFileRow& row, std::ostream* out) { *out << row.name; }

class XmlSettingsMalformedFile : public ::testing::TestWithParam<MalformedFileRow> {};

// A refused document leaves nothing behind to answer queries from.
TEST_P(XmlSettingsMalformedFile, FailsToLoad) {
  TestSettingsFile file(UniqueStem("xs"), GetParam().content);
  CXMLSettingsAPI store;
  EXPECT_EQ(store.Load(file.fileName().c_str()), kSettingsFailure);
  EXPECT_EQ(store.GetValue("%s/%s", "bosch", "cameraCount"), "");
}

INSTANTIATE_TEST_SUITE_P(
    XmlSettingsLoad, XmlSettingsMalformedFile,
    ::testing::Values(MalformedFileRow{"UnclosedElement", "<bosch><cameraCount value=\"4\"/>"},
                      MalformedFileRow{"DocumentWithoutElement", "<?xml version=\"1.0\"?>\n<!-- nothing here -->\n"},
                      MalformedFileRow{"SecondRootElement", "<bosch/><bosch><cameraCount value=\"4\"/></bosch>"},
                      MalformedFileRow{"TextOutsideRootElement", "<bosch><cameraCount value=\"4\"/></bosch>trailing"},
                      MalformedFileRow{"RepeatedAttribute", "<bosch><cameraCount value=\"4\" value=\"5\"/></bosch>"}),
    RowName<MalformedFileRow>);

TEST(XmlSettingsLoad, RefusesFileNameWithSlash) {
  const std::string folderName = UniqueStem("xs_dir");
  const std::string folder = platform::ExecutableFolder() + folderName;
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  const std::string path = folder + "/inner.xml";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fputs(kBoschFile, f);
  std::fclose(f);

  CXMLSettingsAPI store;
  const std::int32_t result = store.Load((folderName + "/inner.xml").c_str());
  std::remove(path.c_str());
  ::rmdir(folder.c_str());
  EXPECT_EQ(result, kSettingsFailure);
  EXPECT_EQ(store.GetValue("%s/%s", "bosch", "cameraCount"), "");
}

TEST(XmlSettingsLoad, SecondLoadKeepsFirstDocument) {
  TestSettingsFile first(UniqueStem("xs_first"), "<bosch><cameraCount value=\"1\"/></bosch>");
  TestSettingsFile second(UniqueStem("xs_second"), "<bosch><cameraCount value=\"2\"/></bosch>");
  CXMLSettingsAPI store;
  ASSERT_EQ(store.Load(first.fileName().c_str()), 0);
  EXPECT_EQ(store.Load(second.fileName().c_str()), 0);
  EXPECT_EQ(store.GetValue("%s/%s", "bosch", "cameraCount"), "1");
}

TEST(XmlSettingsLoad, SecondLoadOfMissingFileStillSucceeds) {
  TestSettingsFile first(UniqueStem("xs"), kBoschFile);
  CXMLSettingsAPI store;
  ASSERT_EQ(store.Load(first.fileName().c_str()), 0);
  EXPECT_EQ(store.Load((UniqueStem("xs_missing") + ".xml").c_str()), 0);
  EXPECT_EQ(store.GetValue("%s/%s", "bosch", "cameraCount"), "4");
}

TEST(XmlSettingsLoad, LoadsAfterFailedLoad) {
  TestSettingsFile broken(UniqueStem("xs_broken"), "<bosch>");
  TestSettingsFile good(UniqueStem("xs_good"), kBoschFile);
  CXMLSettingsAPI store;
  ASSERT_EQ(store.Load(broken.fileName().c_str()), kSettingsFailure);
  ASSERT_EQ(store.Load(good.fileName().c_str()), 0);
  EXPECT_EQ(store.GetValue("%s/%s", "bosch", "cameraCount"), "4");
}

TEST(XmlSettingsLoad, ReadsUtf16FileAsUtf8) {
  // "<bosch><camera value="Kamera ü"/></bosch>" in UTF-16LE with a byte-order mark.
  const std::u16string text = u"<bosch><camera value=\"Kamera \u00fc\"/></bosch>";
  std::string bytes = "\xFF\xFE";
  for (char16_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  TestSettingsFile file(UniqueStem("xs"), bytes);
  CXMLSettingsAPI store;
  ASSERT_EQ(store.Load(file.fileName().c_str()), 0);
  EXPECT_EQ(store.GetValue("%s/%s", "bosch", "camera"), "Kamera \xC3\xBC");
}

TEST(XmlSettingsQuery, EmptyStoreAnswersEmptyString) {
  CXMLSettingsAPI store;
  EXPECT_EQ(store.GetValue("%s/%s", "bosch", "cameraCount"), "");
  EXPECT_EQ(store.GetValue("bosch"), "");
}

TEST(XmlSettingsQuery, PathsAreCaseSensitive) {
  TestSettingsFile file(UniqueStem("xs"), kBoschFile);
  CXMLSettingsAPI store;
  ASSERT_EQ(store.Load(file.fileName().c_str()), 0);
  EXPECT_EQ(store.GetValue("%s/%s", "bosch", "resolutions/cif"), "true");
  EXPECT_EQ(store.GetValue("%s/%s", "Bosch", "resolutions/cif"), "");
  EXPECT_EQ(store.GetValue("%s/%s", "bosch", "resolutions/CIF"), "");
}

TEST(XmlSettingsQuery, ElementWithoutValueAttributeReadsAsEmpty) {
  TestSettingsFile file(UniqueStem("xs"), "<bosch><cameraCount Value=\"4\" count=\"4\">4</cameraCount></bosch>");
  CXMLSettingsAPI store;
  ASSERT_EQ(store.Load(file.fileName().c_str()), 0);
  EXPECT_EQ(store.GetValue("%s/%s", "bosch", "cameraCount"), "");
}

TEST(XmlSettingsQuery, FirstOfTwoSiblingsWins) {
  TestSettingsFile file(UniqueStem("xs"),
                        "<bosch><cameraCount value=\"3\"/><cameraCount value=\"9\"/></bosch>");
  CXMLSettingsAPI store;
  ASSERT_EQ(store.Load(file.fileName().c_str()), 0);
  EXPECT_EQ(store.GetValue("%s/%s", "bosch", "cameraCount"), "3");
}

TEST(XmlSettingsQuery, FindsFirstMatchInDocumentOrderBeyondDeadEndBranch) {
  TestSettingsFile file(UniqueStem("xs"),
                        "<bosch>"
                        "<resolutions><qcif value=\"true\"/></resolutions>"
                        "<resolutions><cif value=\"second\"/></resolutions>"
                        "<resolutions><cif value=\"third\"/></resolutions>"
                        "</bosch>");
  CXMLSettingsAPI store;
  ASSERT_EQ(store.Load(file.fileName().c_str()), 0);
  EXPECT_EQ(store.GetValue("%s/%s", "bosch", "resolutions/cif"), "second");
}

struct UnmatchedKeyRow {
  const char* name;
  const char* key;
};

void PrintTo(const UnmatchedKeyRow& row, std::ostream* out) { *out << row.name << " \"" << row.key << "\""; }

class XmlSettingsUnmatchedKey : public ::testing::TestWithParam<UnmatchedKeyRow> {};

TEST_P(XmlSettingsUnmatchedKey, SelectsNothing) {
  TestSettingsFile file(UniqueStem("xs"), kBoschFile);
  CXMLSettingsAPI store;
  ASSERT_EQ(store.Load(file.fileName().c_str()), 0);
  EXPECT_EQ(store.GetValue("%s", GetParam().key), "");
}

// The path starts at the root element, and an empty segment anywhere selects nothing.
INSTANTIATE_TEST_SUITE_P(XmlSettingsQuery, XmlSettingsUnmatchedKey,
                         ::testing::Values(UnmatchedKeyRow{"PathWithoutRootElement", "resolutions/cif"},
                                           UnmatchedKeyRow{"BareElementName", "cif"},
                                           UnmatchedKeyRow{"EmptyMiddleSegment", "bosch//cif"},
                                           UnmatchedKeyRow{"EmptyFirstSegment", "/bosch/cameraCount"},
                                           UnmatchedKeyRow{"EmptyLastSegment", "bosch/cameraCount/"},
                                           UnmatchedKeyRow{"EmptyKey", ""}),
                         RowName<UnmatchedKeyRow>);

TEST(XmlSettingsQuery, KeyIsCutAt1023Characters) {
  // "r/" plus a 1,021-character name is exactly 1,023 characters; anything formatted
  // after it must be cut off before matching.
  const std::string name(1021, 'a');
  TestSettingsFile file(UniqueStem("xs"), "<r><" + name + " value=\"found\"/></r>");
  CXMLSettingsAPI store;
  ASSERT_EQ(store.Load(file.fileName().c_str()), 0);
  EXPECT_EQ(store.GetValue("r/%s%s", name.c_str(), "-cut-off-part"), "found");
}

TEST(XmlSettingsQuery, ValueIsNotTreatedAsFormat) {
  TestSettingsFile file(UniqueStem("xs"), "<bosch><camera value=\"%s%n%d\"/></bosch>");
  CXMLSettingsAPI store;
  ASSERT_EQ(store.Load(file.fileName().c_str()), 0);
  EXPECT_EQ(store.GetValue("%s/%s", "bosch", "camera"), "%s%n%d");
}

TEST(XmlSettingsQuery, AnswersQueriesFromSeveralThreads) {
  TestSettingsFile file(UniqueStem("xs"), kBoschFile);
  CXMLSettingsAPI store;
  ASSERT_EQ(store.Load(file.fileName().c_str()), 0);
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&store, &mismatches, t] {
      for (int i = 0; i < 200; ++i) {
        if (store.GetValue("%s/%s", "bosch", t % 2 == 0 ? "cameraCount" : "resolutions/cifx") !=
            (t % 2 == 0 ? "4" : "352")) {
          ++mismatches[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

}  // namespace
