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
  RecorderProcess(const std::vector<std::string>& args,
                  const std::map<std::string, std::string>& env = {});
  // Kills the child if it still runs.
  ~RecorderProcess();
  RecorderProcess(const RecorderProcess&) = delete;
  RecorderProcess& operator=(const RecorderProcess&) = delete;

  // Waits until standard output contains text; false on time-out or when the child ended
  // without printing it.
  bool WaitForOutput(const std::string& text, int timeoutMs);
  void Signal(int signal);
  // Exit code, or -1 when the child did not end in time (it is then killed) or ended by a
  // signal.
  int Wait(int timeoutMs);

  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }

 private:
  // Reads what is available for up to timeoutMs; false once both streams have ended.
  bool Pump(int timeoutMs);

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
  // File names in the folder.
  std::vector<std::string> Files() const;

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);

// Runs a command (looked up on PATH) to its end: its standard output in *out, its standard
// error in *errors. The exit code, or -1 when it could not run or ended by a signal.
int RunCapture(const std::vector<std::string>& argv, std::string* out, std::string* errors);

// GET http://127.0.0.1:PORT/metrics with curl: the body and its content type; false (with
// curl's error output in *errors) when the request fails.
bool ScrapeMetrics(int port, std::string* body, std::string* contentType, std::string* errors);

// Frames ffprobe decodes from an H.263 elementary stream; -1 when ffprobe fails or reports
// an error (its error output goes to *errors).
long FramesDecoded(const std::string& path, std::string* errors);

struct ChannelSummary {
  int channel = 0;
  std::string file;
  long frames = -1;
  long keyFrames = -1;
  long lostVideo = -1;
};

// The per-channel entries of summary.json (one entry per line, as the recorder writes them).
std::vector<ChannelSummary> ReadChannelSummaries(const std::string& summaryJson);

// A TCP port on 127.0.0.1 that nothing listens on (bound and released again).
int ClosedPort();

// A device-type file's text: a two-camera nvs400 with a short network time-out, so that
// giving up on a device takes seconds.
std::string ShortTimeoutDeviceType();

}  // namespace rectest
