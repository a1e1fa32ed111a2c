#include "summary.h"

#include <sys/stat.h>

#include <cmath>

#include <nlohmann/json.hpp>

namespace recorder {

namespace {

struct ChannelFigures {
  double fps = 0;
  double kbps = 0;
  double firstFrameMs = -1;  // -1: no frame
};

ChannelFigures Figures(const ChannelRecord& record, const ChannelRecord::Stats& s,
                       Clock::time_point stopped) {
  ChannelFigures f;
  if (!s.haveFirstFrame) return f;
  f.firstFrameMs =
      std::chrono::duration<double, std::milli>(s.firstFrame - record.startTime()).count();
  // Frames over the time between the first and the last one; bytes over the time from the
  // first frame to the stop.
  const double span = std::chrono::duration<double>(s.lastFrame - s.firstFrame).count();
  if (s.frames > 1 && span > 0) f.fps = static_cast<double>(s.frames - 1) / span;
  const double seconds = std::chrono::duration<double>(stopped - s.firstFrame).count();
  if (seconds > 0) f.kbps = static_cast<double>(s.bytes) * 8 / 1000 / seconds;
  return f;
}

// Rounded for people who read the file; NaN and infinities, which JSON has not, become 0.
double Rounded(double value, int decimals) {
  if (!std::isfinite(value)) return 0;
  const double scale = std::pow(10.0, decimals);
  return std::round(value * scale) / scale;
}

nlohmann::ordered_json ChannelJson(const ChannelRecord& record, const SummaryInput& summary) {
  const ChannelRecord::Stats s = record.stats();
  const ChannelFigures f = Figures(record, s, summary.stopped);
  std::vector<Segment> segments = record.segments();
  // A device of a configuration file records into a folder of its own below the output
  // folder.
  const std::string& folder = record.folder();
  const std::string below = summary.outputFolder + "/";
  const std::string prefix =
      folder.rfind(below, 0) == 0 ? folder.substr(below.size()) + "/" : std::string();
  nlohmann::ordered_json files = nlohmann::ordered_json::array();
  for (Segment& segment : segments) {
    // Retention may have deleted it since it was complete.
    struct stat st {};
    const bool onDisk = ::stat((folder + "/" + segment.file).c_str(), &st) == 0;
    segment.file = prefix + segment.file;
    files.push_back({{"file", segment.file},
                     {"frames", segment.frames},
                     {"bytes", segment.bytes},
                     {"on_disk", onDisk}});
  }
  nlohmann::ordered_json channel = {
      {"channel", record.number()},
      {"file", summary.discarded || segments.empty()
                   ? nlohmann::ordered_json(nullptr)
                   : nlohmann::ordered_json(segments.front().file)},
      {"started", record.started()},
      {"frames", s.frames},
      {"key_frames", s.keyFrames},
      {"bytes", s.bytes},
      {"bytes_received", s.bytesReceived},
      {"average_fps", Rounded(f.fps, 2)},
      {"average_kbps", Rounded(f.kbps, 1)},
      {"lost_video_events", s.lostVideo},
      {"time_to_first_frame_ms", f.firstFrameMs >= 0
                                     ? nlohmann::ordered_json(Rounded(f.firstFrameMs, 0))
                                     : nlohmann::ordered_json(nullptr)},
      {"frames_skipped_before_key_frame", s.skippedBeforeKeyFrame},
      {"frames_dropped", s.droppedFrames},
      {"write_failures", s.writeFailures},
      {"segments", files}};
  return channel;
}

// "ch01-20261209T061500Z.mkv", or "ch01-….mkv and 3 more".
std::string FilesText(const ChannelRecord& record) {
  const std::vector<Segment> segments = record.segments();
  if (segments.empty()) return "no file";
  std::string text = segments.front().file;
  if (segments.size() > 1) text += " and " + std::to_string(segments.size() - 1) + " more";
  return text;
}

}  // namespace

void PrintSummary(std::FILE* out, const SummaryInput& summary) {
  std::fprintf(out, "Summary: %.1f s%s, %s interface, device type %s%s\n", summary.seconds,
               summary.interrupted ? " (interrupted)" : "", summary.api.c_str(),
               summary.deviceType.c_str(), summary.simulated ? " (simulated)" : "");
  for (const ChannelRecord* record : summary.records) {
    const ChannelRecord::Stats s = record->stats();
    const ChannelFigures f = Figures(*record, s, summary.stopped);
    std::fprintf(out, "  ch%02d  %llu frames (%llu key), %llu bytes, %.1f fps, %.1f kbit/s, "
                      "lost video %d, ",
                 record->number(), static_cast<unsigned long long>(s.frames),
                 static_cast<unsigned long long>(s.keyFrames),
                 static_cast<unsigned long long>(s.bytes), f.fps, f.kbps, s.lostVideo);
    if (f.firstFrameMs >= 0) {
      std::fprintf(out, "first frame after %.0f ms -> %s", f.firstFrameMs,
                   summary.discarded ? "(discarded)" : FilesText(*record).c_str());
      if (s.droppedFrames > 0 || s.writeFailures > 0) {
        std::fprintf(out, ", %llu frames dropped, writing failed %d time(s)",
                     static_cast<unsigned long long>(s.droppedFrames), s.writeFailures);
      }
      std::fprintf(out, "\n");
    } else {
      std::fprintf(out, "no frame%s\n", record->started() ? "" : " (not started)");
    }
  }
  int inputEvents = 0;
  for (const AlarmEvent& e : summary.alarms) inputEvents += e.input > 0 ? 1 : 0;
  std::fprintf(out, "  alarm input events: %d\n", inputEvents);
  std::fflush(out);
}

bool WriteSummaryJson(const std::string& path, const SummaryInput& summary) {
  nlohmann::ordered_json channels = nlohmann::ordered_json::array();
  for (const ChannelRecord* record : summary.records) {
    channels.push_back(ChannelJson(*record, summary));
  }
  nlohmann::ordered_json events = nlohmann::ordered_json::array();
  int connectionLost = 0;
  for (const AlarmEvent& e : summary.alarms) {
    if (e.input == 0) {
      ++connectionLost;
      continue;
    }
    events.push_back({{"time_s", Rounded(e.seconds, 3)},
                      {"input", e.input},
                      {"state", e.state == 2 ? "active" : e.state == 1 ? "inactive" : "unknown"}});
  }
  const nlohmann::ordered_json j = {{"api", summary.api},
                            {"device_type", summary.deviceType},
                            {"simulated", summary.simulated},
                            {"resolution", summary.resolution},
                            {"frame_interval_ms", summary.frameIntervalMs},
                            {"quality", summary.quality},
                            {"duration_s", Rounded(summary.seconds, 3)},
                            {"interrupted", summary.interrupted},
                            {"stop_ms", Rounded(summary.stopSeconds * 1000, 1)},
                            {"files_written", !summary.discarded},
                            {"channels", channels},
                            {"alarm_input_events", events},
                            {"alarm_connection_lost", connectionLost}};
  // ordered_json: keys stay in the order above, as people read them.
  const std::string text = j.dump(2) + "\n";
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  return std::fclose(file) == 0 && written;
}

}  // namespace recorder
