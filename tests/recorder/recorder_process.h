// Runs veltrane-rec from the test program's folder as a child process and inspects what it
// leaves behind: its output streams, exit code, files, and the frame counts ffprobe reads.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace rectest {

class RecorderProcess {
 public:
  // env: variables to set in the child; VELTRANE_PASSWORD is removed unless given here.
  // fileSizeLimit: the child's limit on the size of a file it writes (RLIMIT_FSIZE), in
  // bytes; 0 = the test's own.
  RecorderProcess(const std::vector<std::string>& args,
                  const std::map<std::string, std::string>& env = {}, long fileSizeLimit = 0);
  // Kills the child if it still runs.
  ~RecorderProcess();
  RecorderProcess(const RecorderProcess&) = delete;
  RecorderProcess& operator=(const RecorderProcess&) = delete;

  // Waits until standard output contains text; false on time-out or when the child ended
  // without printing it.
  bool WaitForOutput(const std::string& text, int timeoutMs);
  // The same for standard error.
  bool WaitForError(const std::string& text, int timeoutMs);
  void Signal(int signal);
  // Exit code, or -1 when the child did not end in time (it is then killed) or ended by a
  // signal.
  int Wait(int timeoutMs);

  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }

 private:
  // Reads what is available for up to timeoutMs; false once both streams have ended.
  bool Pump(int timeoutMs);
  bool WaitFor(const std::string& stream, const std::string& text, int timeoutMs);

  pid_t pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  std::string out_;
  std::string err_;
};

// Runs a command (looked up on PATH unless it has a slash) to its end; its exit code, or -1
// when it did not end normally. Standard output goes to *out, standard error to *errors.
int RunCapture(const std::vector<std::string>& argv, std::string* out, std::string* errors);

// A fresh folder under /tmp, removed with everything in it on destruction.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  // File names in the folder; those that start with a dot only when hidden is true.
  std::vector<std::string> Files(bool hidden = false) const;

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);

// What ffprobe reads from a video file (a .263 file as an H.263 elementary stream).
struct Probe {
  bool ok = false;      // ffprobe ended with 0 and reported no error
  std::string errors;   // its error output
  long frames = -1;     // frames decoded
  double seconds = -1;  // the container's duration; -1 when it states none
  double frameRate = -1;     // the stream's avg_frame_rate, the rate players show
  double realFrameRate = -1;  // its r_frame_rate, ffprobe's guess of the base rate
};
Probe ProbeFile(const std::string& path);

// GET http://127.0.0.1:PORT/metrics with curl: the body and its content type; false (with
// curl's error output in *errors) when the request fails.
bool ScrapeMetrics(int port, std::string* body, std::string* contentType, std::string* errors);

// Frames ffprobe decodes from a video file; -1 when ffprobe fails or reports an error (its
// error output goes to *errors).
long FramesDecoded(const std::string& path, std::string* errors);

struct SegmentSummary {
  std::string file;
  long frames = -1;
  long long bytes = -1;
  bool onDisk = false;
};

struct ChannelSummary {
  int channel = 0;
  std::string file;
  long frames = -1;
  long keyFrames = -1;
  long lostVideo = -1;
  long long bytes = -1;
  double timeToFirstFrameMs = -1;
  long framesDropped = -1;
  int writeFailures = -1;
  std::vector<SegmentSummary> segments;
};

// The per-channel entries of summary.json; empty when it does not parse.
std::vector<ChannelSummary> ReadChannelSummaries(const std::string& summaryJson);

// A TCP port on 127.0.0.1 that nothing listens on (bound and released again).
int ClosedPort();

// A device-type file's text: a two-camera nvs400 with a short network time-out, so that
// giving up on a device takes seconds.
std::string ShortTimeoutDeviceType();

}  // namespace rectest
