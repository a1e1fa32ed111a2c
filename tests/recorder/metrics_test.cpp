// The metrics text and its server: exposition format, label escaping, the process figures,
// and a real HTTP client (curl) against the server.
#include "metrics.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "recorder_process.h"

namespace recorder {
namespace {

TEST(RecorderMetricsText, EscapesLabelValues) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"gate", "gate"},
      {"a\"b", "a\\\"b"},
      {"a\\b", "a\\\\b"},
      {"line\nfeed", "line\\nfeed"},
      {"\\\"\n", "\\\\\\\"\\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(EscapeLabel(c.in), c.out) << c.in;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

MetricsSnapshot TwoChannels(Clock::time_point now) {
  MetricsSnapshot s;
  s.channels.push_back({"gate", 1, 120, 5, 40000, 1, 0, now - std::chrono::milliseconds(1500)});
  s.channels.push_back({"ya\"rd", 3, 7, 1, 900, 0, 4, now - std::chrono::seconds(12)});
  s.devices.push_back({"gate", true, {{1, false}, {3, true}}});
  s.devices.push_back({"ya\"rd", false, {}});
  return s;
}

TEST(RecorderMetricsText, EverySampleBelongsToAFamilyDeclaredBeforeIt) {
  const auto now = Clock::now();
  const std::string text = RenderMetrics(TwoChannels(now), {12, 4096}, now);
  std::string family;
  int samples = 0;
  for (const std::string& line : Lines(text)) {
    ASSERT_FALSE(line.empty());
    if (line.rfind("# HELP ", 0) == 0) {
      family = line.substr(7, line.find(' ', 7) - 7);
      continue;
    }
    if (line.rfind("# TYPE ", 0) == 0) {
      EXPECT_EQ(line.substr(7, family.size() + 1), family + " ") << line;
      const std::string type = line.substr(8 + family.size());
      EXPECT_TRUE(type == "counter" || type == "gauge") << line;
      continue;
    }
    EXPECT_EQ(line.rfind(family, 0), 0u) << line << " outside " << family;
    EXPECT_EQ(family.rfind("veltrane_rec_", 0), 0u) << family;
    const char next = line[family.size()];
    EXPECT_TRUE(next == '{' || next == ' ') << line;
    ++samples;
  }
  // 4 counters and 1 gauge for each channel, 5 states each, 2 devices, 2 inputs, 2 process.
  EXPECT_EQ(samples, 2 * 5 + 2 * 5 + 2 + 2 + 2) << text;
}

TEST(RecorderMetricsText, SamplesCarryTheSnapshotsFigures) {
  const auto now = Clock::now();
  const std::string text = RenderMetrics(TwoChannels(now), {12, 4096}, now);
  for (const char* expected : {
           "veltrane_rec_frames_total{device=\"gate\",channel=\"1\"} 120\n",
           "veltrane_rec_key_frames_total{device=\"gate\",channel=\"1\"} 5\n",
           "veltrane_rec_bytes_total{device=\"gate\",channel=\"1\"} 40000\n",
           "veltrane_rec_lost_video_total{device=\"gate\",channel=\"1\"} 1\n",
           "veltrane_rec_frames_total{device=\"ya\\\"rd\",channel=\"3\"} 7\n",
           "veltrane_rec_seconds_since_last_frame{device=\"gate\",channel=\"1\"} 1.500\n",
           "veltrane_rec_seconds_since_last_frame{device=\"ya\\\"rd\",channel=\"3\"} 12.000\n",
           "veltrane_rec_channel_state{device=\"gate\",channel=\"1\",state=\"video\"} 1\n",
           "veltrane_rec_channel_state{device=\"gate\",channel=\"1\",state=\"no_video\"} 0\n",
           "veltrane_rec_channel_state{device=\"ya\\\"rd\",channel=\"3\",state=\"no_video\"} 1\n",
           "veltrane_rec_channel_state{device=\"ya\\\"rd\",channel=\"3\",state=\"video\"} 0\n",
           "veltrane_rec_device_up{device=\"gate\"} 1\n",
           "veltrane_rec_device_up{device=\"ya\\\"rd\"} 0\n",
           "veltrane_rec_alarm_input_active{device=\"gate\",input=\"1\"} 0\n",
           "veltrane_rec_alarm_input_active{device=\"gate\",input=\"3\"} 1\n",
           "veltrane_rec_process_open_fds 12\n",
           "veltrane_rec_process_resident_memory_bytes 4096\n",
       }) {
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "in\n" << text;
  }
  // One state at a time per channel.
  std::size_t ones = 0;
  for (const std::string& line : Lines(text)) {
    ones += line.rfind("veltrane_rec_channel_state{", 0) == 0 && line.back() == '1';
  }
  EXPECT_EQ(ones, 2u);
}

TEST(RecorderMetricsProcess, CountsDescriptorsAsTheyOpen) {
  const ProcessSample before = ReadProcessSample();
  ASSERT_GT(before.openDescriptors, 0);
  EXPECT_GT(before.residentBytes, 0);
  std::vector<int> fds;
  for (int i = 0; i < 5; ++i) fds.push_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  const ProcessSample during = ReadProcessSample();
  for (int fd : fds) ::close(fd);
  EXPECT_EQ(during.openDescriptors, before.openDescriptors + 5);
  EXPECT_EQ(ReadProcessSample().openDescriptors, before.openDescriptors);
}

std::string Curl(int port, std::string* contentType) {
  std::string body;
  std::string errors;
  EXPECT_TRUE(rectest::ScrapeMetrics(port, &body, contentType, &errors)) << errors;
  return body;
}

TEST(RecorderMetricsServer, ServesThePublishedSnapshotToCurl) {
  MetricsServer server;
  std::string error;
  ASSERT_TRUE(server.Start("127.0.0.1:0", &error)) << error;
  ASSERT_GT(server.port(), 0);
  EXPECT_EQ(server.host(), "127.0.0.1");
  std::string type;
  EXPECT_EQ(Curl(server.port(), &type).find("veltrane_rec_frames_total{"), std::string::npos);
  const auto now = Clock::now();
  server.Publish(TwoChannels(now));
  const std::string body = Curl(server.port(), &type);
  EXPECT_EQ(type, "text/plain; version=0.0.4; charset=utf-8");
  EXPECT_NE(body.find("veltrane_rec_frames_total{device=\"gate\",channel=\"1\"} 120\n"),
            std::string::npos)
      << body;
  EXPECT_NE(body.find("veltrane_rec_process_open_fds "), std::string::npos) << body;
  server.Stop();
  std::string out;
  std::string errors;
  EXPECT_NE(rectest::RunCapture({"curl", "-s", "http://127.0.0.1:" +
                                                   std::to_string(server.port()) + "/metrics"},
                                &out, &errors),
            0)
      << "still served after Stop: " << out;
}

TEST(RecorderMetricsServer, RefusesBadAndTakenAddresses) {
  MetricsServer first;
  std::string error;
  ASSERT_TRUE(first.Start("127.0.0.1:0", &error)) << error;
  for (const std::string& address :
       {std::string("127.0.0.1"), std::string("127.0.0.1:65536"), std::string(":80"),
        std::string("127.0.0.1:x"), "127.0.0.1:" + std::to_string(first.port())}) {
    MetricsServer second;
    error.clear();
    EXPECT_FALSE(second.Start(address, &error)) << address;
    EXPECT_NE(error.find(address), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace recorder
