#include "summary.h"

#include <cmath>

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
  f.firstFrameMs = std::chrono::duration<double, std::milli>(s.firstFrame - record.startTime()).count();
  // Frames over the time between the first and the last one; bytes over the time from the
  // first frame to the stop.
  const double span = std::chrono::duration<double>(s.lastFrame - s.firstFrame).count();
  if (s.frames > 1 && span > 0) f.fps = static_cast<double>(s.frames - 1) / span;
  const double seconds = std::chrono::duration<double>(stopped - s.firstFrame).count();
  if (seconds > 0) f.kbps = static_cast<double>(s.bytes) * 8 / 1000 / seconds;
  return f;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string Number(double value, int decimals) {
  if (!std::isfinite(value)) return "0";
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string FileName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

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
      std::fprintf(out, "first frame after %.0f ms -> %s\n", f.firstFrameMs,
                   summary.discarded ? "(discarded)" : record->path().c_str());
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
  std::string j = "{\n";
  j += "  \"api\": " + JsonString(summary.api) + ",\n";
  j += "  \"device_type\": " + JsonString(summary.deviceType) + ",\n";
  j += "  \"simulated\": " + std::string(summary.simulated ? "true" : "false") + ",\n";
  j += "  \"resolution\": " + JsonString(summary.resolution) + ",\n";
  j += "  \"frame_interval_ms\": " + std::to_string(summary.frameIntervalMs) + ",\n";
  j += "  \"quality\": " + std::to_string(summary.quality) + ",\n";
  j += "  \"duration_s\": " + Number(summary.seconds, 3) + ",\n";
  j += "  \"interrupted\": " + std::string(summary.interrupted ? "true" : "false") + ",\n";
  j += "  \"stop_ms\": " + Number(summary.stopSeconds * 1000, 1) + ",\n";
  j += "  \"files_written\": " + std::string(summary.discarded ? "false" : "true") + ",\n";
  j += "  \"channels\": [";
  bool first = true;
  for (const ChannelRecord* record : summary.records) {
    const ChannelRecord::Stats s = record->stats();
    const ChannelFigures f = Figures(*record, s, summary.stopped);
    j += first ? "\n" : ",\n";
    first = false;
    j += "    {\"channel\": " + std::to_string(record->number()) +
         ", \"file\": " +
         (summary.discarded ? std::string("null") : JsonString(FileName(record->path()))) +
         ", \"started\": " + (record->started() ? "true" : "false") +
         ", \"frames\": " + std::to_string(s.frames) +
         ", \"key_frames\": " + std::to_string(s.keyFrames) +
         ", \"bytes\": " + std::to_string(s.bytes) +
         ", \"average_fps\": " + Number(f.fps, 2) +
         ", \"average_kbps\": " + Number(f.kbps, 1) +
         ", \"lost_video_events\": " + std::to_string(s.lostVideo) +
         ", \"time_to_first_frame_ms\": " +
         (f.firstFrameMs >= 0 ? Number(f.firstFrameMs, 0) : std::string("null")) +
         ", \"frames_skipped_before_key_frame\": " + std::to_string(s.skippedBeforeKeyFrame) + "}";
  }
  j += summary.records.empty() ? "],\n" : "\n  ],\n";
  int inputEvents = 0;
  int connectionLost = 0;
  std::string events;
  for (const AlarmEvent& e : summary.alarms) {
    if (e.input == 0) {
      ++connectionLost;
      continue;
    }
    events += inputEvents == 0 ? "\n" : ",\n";
    ++inputEvents;
    events += "    {\"time_s\": " + Number(e.seconds, 3) + ", \"input\": " +
              std::to_string(e.input) + ", \"state\": " +
              JsonString(e.state == 2 ? "active" : e.state == 1 ? "inactive" : "unknown") + "}";
  }
  j += "  \"alarm_input_events\": [" + events + (inputEvents ? "\n  ]" : "]") + ",\n";
  j += "  \"alarm_connection_lost\": " + std::to_string(connectionLost) + "\n}\n";

  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  const bool written = std::fwrite(j.data(), 1, j.size(), file) == j.size();
  return std::fclose(file) == 0 && written;
}

}  // namespace recorder
