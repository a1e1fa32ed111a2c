#include "options.h"

#include <algorithm>
#include <map>

#include <CLI/CLI.hpp>

namespace recorder {

const char* const kUsageLine =
    "usage: veltrane-rec [--api new|old] [--address HOST --port N[,N...] --type NAME --user U "
    "[--password-file F]] [--config FILE] [--channels LIST] [--resolution cif|2cif|4cif] "
    "[--interval MS] [--quality Q] [--duration S] [--out DIR] [--format mkv|h263] "
    "[--segment-seconds N] [--keep-days D] [--max-gib G] [--output N=on|off] "
    "[--log-level 0|1|2] [--progress FILE] [--metrics ADDR:PORT] [--discard]";

namespace {

const char* const kDescription =
    "Records live video through libveltrane.so (loaded from beside this program, or else from "
    "the library path).\nWithout --address or --config it plays the device type (default "
    "nvs400) in-process on 127.0.0.1.";

const char* const kFooter =
    "The password comes from --password-file F or the VELTRANE_PASSWORD environment variable, "
    "never the command line.\nWith a list of ports, device d (from 0) camera c (from 1) is "
    "recording channel d*64+c; --channels applies to each device; alarm inputs are numbered the "
    "same way, relay outputs are those of the first device.\nThe configuration file's keys: "
    "examples/recorder.toml and the README's \"Configuration file\".\nExit codes: 0 success, 1 "
    "a channel delivered no frame, 2 bad usage, 3 device not opened.";

// A comma-separated list of distinct numbers from min to max; the reason when it is not one.
// A number given twice is the caller's mistake: a camera is not recorded twice, nor is one
// port two devices.
std::string ParseList(const std::string& text, int min, int max, std::vector<int>* numbers) {
  std::vector<int> parsed;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    const std::string item = text.substr(start, comma == std::string::npos ? comma : comma - start);
    int n = 0;
    if (item.empty() || item[0] == '-' || !CLI::detail::lexical_cast(item, n) || n < min ||
        n > max) {
      return "expected numbers from " + std::to_string(min) + " to " + std::to_string(max) +
             ", not '" + item + "'";
    }
    if (std::find(parsed.begin(), parsed.end(), n) != parsed.end()) {
      return std::to_string(n) + " is given twice";
    }
    parsed.push_back(n);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (numbers) *numbers = std::move(parsed);
  return "";
}

CLI::Validator ListOf(int min, int max, bool allowAll) {
  return CLI::Validator(
      [=](const std::string& v) {
        return allowAll && v == "all" ? std::string() : ParseList(v, min, max, nullptr);
      },
      "");
}

CLI::Validator NotEmpty() {
  return CLI::Validator([](const std::string& v) { return v.empty() ? "empty" : ""; }, "");
}

// "N=on|off" with N a relay output from 1.
std::string CheckOutput(const std::string& v) {
  const auto eq = v.find('=');
  int n = 0;
  if (eq == std::string::npos || !CLI::detail::lexical_cast(v.substr(0, eq), n) || n < 1 ||
      n > 64) {
    return "expected N=on|off with N from 1 to 64";
  }
  const std::string state = v.substr(eq + 1);
  return state == "on" || state == "off" ? "" : "expected N=on|off";
}

// "ADDR:PORT"; port 0 asks for any free port.
std::string CheckListenAddress(const std::string& v) {
  const auto colon = v.rfind(':');
  int port = -1;
  const bool good = colon != std::string::npos && colon > 0 &&
                    CLI::detail::lexical_cast(v.substr(colon + 1), port) && port >= 0 &&
                    port <= 65535;
  return good ? "" : "expected ADDR:PORT";
}

// The whole command line, declared once for parsing and for --help. Values that need more
// than a conversion (lists, relay switches) are kept as text and converted after the parse.
struct CommandLine {
  explicit CommandLine(Options& o) : app(kDescription, "veltrane-rec") {
    app.footer(kFooter);
    app.set_help_flag("-h,--help", "print this help and exit");
    app.add_option("--api", o.api, "host interface to drive (default new)")
        ->type_name("new|old")
        ->transform(CLI::CheckedTransformer(std::map<std::string, Api>{{"new", Api::kNew},
                                                                       {"old", Api::kOld}})
                        .description(""));
    address = app.add_option("--address", o.address, "device to record from")
                  ->type_name("HOST")
                  ->check(NotEmpty());
    port = app.add_option("--port", ports,
                          "the device's RCP+ port; with a list, one device per port at the same "
                          "address, type and user")
               ->type_name("N[,N...]")
               ->check(ListOf(1, 65535, false));
    type = app.add_option("--type", o.deviceType,
                          "device type: NAME.xml beside this program (default nvs400)")
               ->type_name("NAME")
               ->check(CLI::Validator(
                   [](const std::string& v) {
                     return v.empty() || v.find('/') != std::string::npos ? "not a device type"
                                                                          : "";
                   },
                   ""));
    user = app.add_option("--user", o.user, "user name")->type_name("U");
    app.add_option("--password-file", o.passwordFile, "file whose first line is the password")
        ->type_name("FILE")
        ->check(NotEmpty());
    app.add_option("--password", password)->group("");  // refused, with the reason
    app.add_option("--config", o.configFile,
                   "devices, channels and recording settings from a TOML file")
        ->type_name("FILE")
        ->check(NotEmpty());
    app.add_option("--channels", channels, "cameras to record, from 1, e.g. 1,3 (default: all)")
        ->type_name("LIST")
        ->check(ListOf(1, 64, true));
    app.add_option("--resolution", resolution, "cif, 2cif or 4cif (default cif)")
        ->type_name("R")
        ->check(CLI::IsMember({"cif", "2cif", "4cif"}).description(""));
    app.add_option("--interval", o.frameIntervalMs, "frame interval in milliseconds (default 40)")
        ->check(CLI::Range(1, 60000));
    app.add_option("--quality", o.quality, "0 to 100 (default 50)")->check(CLI::Range(0, 100));
    app.add_option("--duration", o.durationSeconds,
                   "seconds to record, 0 = until Ctrl-C or SIGTERM (default 10)")
        ->check(CLI::Range(0, 7 * 24 * 3600));
    app.add_option("--out", o.outputFolder,
                   "output folder for the video files and summary.json (default recording)")
        ->type_name("DIR")
        ->check(NotEmpty());
    app.add_option("--format", o.format,
                   "mkv: Matroska with a time stamp per frame (default); h263: the bare H.263 "
                   "stream")
        ->type_name("mkv|h263")
        ->transform(CLI::CheckedTransformer(std::map<std::string, Format>{
                                                {"mkv", Format::kMkv}, {"h263", Format::kH263}})
                        .description(""));
    app.add_option("--segment-seconds", o.segmentSeconds,
                   "a new file at the first key frame after this many seconds (default 600)")
        ->check(CLI::Range(1, 7 * 24 * 3600));
    app.add_option("--keep-days", o.keepDays,
                   "delete complete files older than this many days (default 0: keep)")
        ->check(CLI::Range(0, 100000));
    app.add_option("--max-gib", o.maxGib,
                   "delete the oldest complete files while all take more (default 0: no limit)")
        ->check(CLI::Range(0.0, 1e6));
    app.add_option("--output", outputs, "switch relay output N (from 1); may be repeated")
        ->type_name("N=on|off")
        ->check(CLI::Validator(CheckOutput, ""));
    app.add_option("--log-level", o.logLevel,
                   "driver debug lines: 0 none, 1 errors (default), 2 all")
        ->check(CLI::Range(0, 2));
    app.add_option("--progress", o.progressFile,
                   "every second one line per channel: monotonic ms, channel (from 1), frames "
                   "so far, state")
        ->type_name("FILE")
        ->check(NotEmpty());
    app.add_option("--metrics", o.metricsAddress,
                   "serve Prometheus metrics on http://ADDR:PORT/metrics (port 0: any free one)")
        ->type_name("ADDR:PORT")
        ->check(CLI::Validator(CheckListenAddress, ""));
    app.add_flag("--discard", o.discard,
                 "count frames but write no video files (summary.json only)");
    address->needs(port)->needs(type)->needs(user);
    port->needs(address);
  }

  CLI::App app;
  CLI::Option* address = nullptr;
  CLI::Option* port = nullptr;
  CLI::Option* type = nullptr;
  CLI::Option* user = nullptr;
  std::string password;
  std::string ports;
  std::string channels;
  std::string resolution = "cif";
  std::vector<std::string> outputs;
};

}  // namespace

std::string HelpText() {
  Options o;
  CommandLine line(o);
  return line.app.help();
}

std::optional<Options> ParseOptions(int argc, char** argv, std::string* error) {
  Options o;
  CommandLine line(o);
  try {
    line.app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    o.help = true;
    return o;
  } catch (const CLI::ParseError& e) {
    *error = e.what();
    return std::nullopt;
  }
  if (line.app.count("--password") > 0) {
    *error = "the password is not taken from the command line; use --password-file F or "
             "VELTRANE_PASSWORD";
    return std::nullopt;
  }
  for (const CLI::Option* option : line.app.get_options()) {
    if (option->count() == 0) continue;
    for (const std::string& name : option->get_lnames()) o.given.insert("--" + name);
  }
  // Checked while parsing, so these only convert.
  if (!line.ports.empty()) ParseList(line.ports, 1, 65535, &o.ports);
  if (!line.channels.empty() && line.channels != "all") {
    ParseList(line.channels, 1, 64, &o.channels);
  }
  for (const Resolution& r : kResolutions) {
    if (line.resolution == r.name) o.resolution = r;
  }
  for (const std::string& output : line.outputs) {
    const auto eq = output.find('=');
    o.outputs.emplace_back(std::stoi(output.substr(0, eq)), output.substr(eq + 1) == "on");
  }
  return o;
}

}  // namespace recorder
