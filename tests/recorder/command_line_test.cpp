// Both programs' command lines as a user meets them: --help, and bad usage that
// ends with exit code 2, the program's name and its usage line on standard
// error, before anything starts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "recorder_process.h"

namespace {

struct Invocation {
  const char* name;
  const char* program;
  std::vector<std::string> args;
  int exitCode;
  // Expected on standard output after --help, on standard error otherwise.
  std::vector<std::string> texts;

  friend void PrintTo(const Invocation& row, std::ostream* os) { *os << row.name; }
};

const std::string kRecUsage = "usage: veltrane-rec ";
const std::string kSimUsage = "usage: veltrane-devicesim ";

class CommandLine : public ::testing::TestWithParam<Invocation> {};

TEST_P(CommandLine, AnswersWithTheExitCodeAndText) {
  const Invocation& row = GetParam();
  std::vector<std::string> argv{platform::ExecutableFolder() + row.program};
  argv.insert(argv.end(), row.args.begin(), row.args.end());
  std::string out;
  std::string err;
  EXPECT_EQ(rectest::RunCapture(argv, &out, &err), row.exitCode) << out << err;
  const std::string& shown = row.exitCode == 0 ? out : err;
  for (const std::string& text : row.texts) {
    EXPECT_NE(shown.find(text), std::string::npos) << "missing '" << text << "' in:\n" << shown;
  }
  if (row.exitCode == 0) {
    EXPECT_EQ(err, "");
  } else {
    EXPECT_EQ(out, "") << "bad usage starts nothing";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Programs, CommandLine,
    ::testing::Values(
        Invocation{"RecorderHelp", "veltrane-rec", {"--help"}, 0,
                   {"--segment-seconds", "--config", "--metrics", "--format", "Exit codes"}},
        Invocation{"RecorderShortHelp", "veltrane-rec", {"-h"}, 0, {"--keep-days"}},
        Invocation{"RecorderFormat", "veltrane-rec", {"--format", "avi"}, 2,
                   {"veltrane-rec: ", "--format", kRecUsage}},
        Invocation{"RecorderNegativeSize", "veltrane-rec", {"--max-gib", "-1"}, 2,
                   {"--max-gib", kRecUsage}},
        Invocation{"RecorderSegmentOfNothing", "veltrane-rec", {"--segment-seconds", "0"}, 2,
                   {"--segment-seconds", kRecUsage}},
        Invocation{"RecorderMetricsWithoutPort", "veltrane-rec", {"--metrics", "localhost"}, 2,
                   {"--metrics", kRecUsage}},
        Invocation{"RecorderStrayArgument", "veltrane-rec", {"record"}, 2, {"record", kRecUsage}},
        Invocation{"RecorderCameraTwice", "veltrane-rec", {"--channels", "2,2"}, 2,
                   {"--channels", kRecUsage}},
        Invocation{"SimulatorHelp", "veltrane-devicesim", {"--help"}, 0,
                   {kSimUsage, "--type", "--chaos", "--close-video-after", "Exit codes"}},
        Invocation{"SimulatorWithoutType", "veltrane-devicesim", {}, 2,
                   {"veltrane-devicesim: ", kSimUsage}},
        Invocation{"SimulatorUnknownOption", "veltrane-devicesim",
                   {"--type", "nvs400", "--bogus"}, 2, {"--bogus", kSimUsage}},
        Invocation{"SimulatorPortTooHigh", "veltrane-devicesim",
                   {"--type", "nvs400", "--port", "65536"}, 2, {"--port", kSimUsage}},
        Invocation{"SimulatorBadPair", "veltrane-devicesim",
                   {"--type", "nvs400", "--delay", "0x01DB0830:soon"}, 2, {"--delay", kSimUsage}},
        Invocation{"SimulatorErrorCodeTooWide", "veltrane-devicesim",
                   {"--type", "nvs400", "--error", "0x01DB0830:256"}, 2, {"--error", kSimUsage}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
