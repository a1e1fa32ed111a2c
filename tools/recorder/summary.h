// The recording's summary: printed at the end and written as summary.json.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "recording.h"

namespace recorder {

struct SummaryInput {
  std::string api;
  std::string deviceType;
  bool simulated = false;
  std::string resolution;
  int frameIntervalMs = 0;
  int quality = 0;
  double seconds = 0;  // from the start of recording to the stop request
  bool interrupted = false;
  Clock::time_point stopped{};
  double stopSeconds = 0;  // from the stop request to the end of the driver's Close
  bool discarded = false;  // frames were counted, not written
  // Where summary.json goes: the files it lists are named from there.
  std::string outputFolder;
  std::vector<ChannelRecord*> records;
  std::vector<AlarmEvent> alarms;
};

void PrintSummary(std::FILE* out, const SummaryInput& summary);
bool WriteSummaryJson(const std::string& path, const SummaryInput& summary);

}  // namespace recorder
