#include "options.h"

#include <cerrno>
#include <cstdlib>

namespace recorder {

const char* const kUsageLine =
    "usage: veltrane-rec [--api new|old] [--address HOST --port N[,N...] --type NAME --user U "
    "[--password-file F]] [--channels LIST] [--resolution cif|2cif|4cif] [--interval MS] "
    "[--quality Q] [--duration S] [--out DIR] [--output N=on|off] [--log-level 0|1|2] [--progress FILE] [--discard]";

const char* const kUsageText =
    "Records live video through libveltrane.so (loaded from beside this program).\n"
    "Without --address it plays the device type (default nvs400) in-process on 127.0.0.1.\n"
    "  --api new|old          host interface to drive (default new)\n"
    "  --address HOST         device to record from; needs --port, --type and --user\n"
    "  --port N[,N...]        the device's RCP+ port; with a list, one device per port at\n"
    "                         the same address, type and user. Device d (from 0) camera c\n"
    "                         (from 1) is recording channel d*64+c; --channels applies to\n"
    "                         each device; alarm inputs are numbered the same way, relay\n"
    "                         outputs are those of the first device\n"
    "  --type NAME            device type: NAME.xml beside this program (default nvs400)\n"
    "  --user U               user name; the password comes from --password-file F or the\n"
    "                         VELTRANE_PASSWORD environment variable, never the command line\n"
    "  --password-file F      file whose first line is the password\n"
    "  --channels LIST        cameras to record, from 1, e.g. 1,3 (default: all)\n"
    "  --resolution R         cif, 2cif or 4cif (default cif)\n"
    "  --interval MS          frame interval in milliseconds (default 40)\n"
    "  --quality Q            0 to 100 (default 50)\n"
    "  --duration S           seconds to record, 0 = until Ctrl-C (default 10)\n"
    "  --out DIR              output folder for chNN.263 and summary.json (default recording)\n"
    "  --output N=on|off      switch relay output N (from 1); may be repeated\n"
    "  --log-level L          driver debug lines: 0 none, 1 errors (default), 2 all\n"
    "  --progress FILE        every second one line per channel: monotonic ms, channel\n"
    "                         (from 1), frames so far, state\n"
    "  --discard              count frames but write no video files (summary.json only)\n"
    "Exit codes: 0 success, 1 a channel delivered no frame, 2 bad usage, 3 device not opened.\n";

namespace {

std::optional<long> Number(const std::string& text, long min, long max) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < min || value > max) return std::nullopt;
  return value;
}

// A comma-separated list of distinct numbers from min to max.
bool ParseList(const std::string& text, long min, long max, std::vector<int>& numbers) {
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = text.find(',', start);
    const std::string item =
        text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    const auto number = Number(item, min, max);
    if (!number) return false;
    for (int n : numbers) {
      if (n == *number) return false;
    }
    numbers.push_back(static_cast<int>(*number));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return !numbers.empty();
}

}  // namespace

std::optional<Options> ParseOptions(int argc, char** argv, std::string* error) {
  Options o;
  bool havePort = false;
  bool haveType = false;
  bool haveUser = false;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--help" || flag == "-h") {
      o.help = true;
      continue;
    }
    if (flag == "--discard") {
      o.discard = true;
      continue;
    }
    if (flag == "--password") {
      *error = "the password is not taken from the command line; use --password-file F or "
               "VELTRANE_PASSWORD";
      return std::nullopt;
    }
    if (i + 1 >= argc) {
      *error = flag.rfind("--", 0) == 0 ? "missing value for " + flag : "unknown argument " + flag;
      return std::nullopt;
    }
    const std::string value = argv[++i];
    auto bad = [&]() {
      *error = "bad value for " + flag + ": '" + value + "'";
      return std::nullopt;
    };
    if (flag == "--api") {
      if (value == "new") {
        o.api = Api::kNew;
      } else if (value == "old") {
        o.api = Api::kOld;
      } else {
        return bad();
      }
    } else if (flag == "--address") {
      if (value.empty()) return bad();
      o.address = value;
    } else if (flag == "--port") {
      o.ports.clear();
      if (!ParseList(value, 1, 65535, o.ports)) return bad();
      havePort = true;
    } else if (flag == "--type") {
      if (value.empty() || value.find('/') != std::string::npos) return bad();
      o.deviceType = value;
      haveType = true;
    } else if (flag == "--user") {
      o.user = value;
      haveUser = true;
    } else if (flag == "--password-file") {
      if (value.empty()) return bad();
      o.passwordFile = value;
    } else if (flag == "--channels") {
      if (value != "all" && !ParseList(value, 1, 64, o.channels)) return bad();
    } else if (flag == "--resolution") {
      if (value == "cif") {
        o.resolution = {"cif", 2};
      } else if (value == "2cif") {
        o.resolution = {"2cif", 3};
      } else if (value == "4cif") {
        o.resolution = {"4cif", 4};
      } else {
        return bad();
      }
    } else if (flag == "--interval") {
      const auto n = Number(value, 1, 60000);
      if (!n) return bad();
      o.frameIntervalMs = static_cast<int>(*n);
    } else if (flag == "--quality") {
      const auto n = Number(value, 0, 100);
      if (!n) return bad();
      o.quality = static_cast<int>(*n);
    } else if (flag == "--duration") {
      const auto n = Number(value, 0, 7 * 24 * 3600);
      if (!n) return bad();
      o.durationSeconds = static_cast<int>(*n);
    } else if (flag == "--out") {
      if (value.empty()) return bad();
      o.outputFolder = value;
    } else if (flag == "--output") {
      const auto eq = value.find('=');
      if (eq == std::string::npos) return bad();
      const auto n = Number(value.substr(0, eq), 1, 64);
      const std::string state = value.substr(eq + 1);
      if (!n || (state != "on" && state != "off")) return bad();
      o.outputs.emplace_back(static_cast<int>(*n), state == "on");
    } else if (flag == "--log-level") {
      const auto n = Number(value, 0, 2);
      if (!n) return bad();
      o.logLevel = static_cast<int>(*n);
    } else if (flag == "--progress") {
      if (value.empty()) return bad();
      o.progressFile = value;
    } else if (flag == "--format") {
      if (value == "mkv") {
        o.format = Format::kMkv;
      } else if (value == "h263") {
        o.format = Format::kH263;
      } else {
        return bad();
      }
    } else if (flag == "--segment-seconds") {
      const auto n = Number(value, 1, 7 * 24 * 3600);
      if (!n) return bad();
      o.segmentSeconds = static_cast<int>(*n);
    } else if (flag == "--keep-days") {
      const auto n = Number(value, 0, 100000);
      if (!n) return bad();
      o.keepDays = static_cast<int>(*n);
    } else if (flag == "--max-gib") {
      char* end = nullptr;
      const double gib = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0' || !(gib >= 0) || gib > 1e6) return bad();
      o.maxGib = gib;
    } else if (flag == "--config") {
      if (value.empty()) return bad();
      o.configFile = value;
    } else if (flag == "--metrics") {
      if (value.find(':') == std::string::npos) return bad();
      o.metricsAddress = value;
    } else {
      *error = "unknown option " + flag;
      return std::nullopt;
    }
  }
  if (!o.address.empty() && (!havePort || !haveType || !haveUser)) {
    *error = "--address needs --port, --type and --user";
    return std::nullopt;
  }
  if (o.address.empty() && havePort) {
    *error = "--port needs --address";
    return std::nullopt;
  }
  return o;
}

}  // namespace recorder
