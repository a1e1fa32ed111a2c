#include "recorder_process.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "platform/platform.h"
#include "support/deadline.h"

extern char** environ;

namespace rectest {

namespace {

using Clock = std::chrono::steady_clock;

using testutil::RemainingMs;

}  // namespace

int RunCapture(const std::vector<std::string>& argv, std::string* out, std::string* errors) {
  int outPipe[2];
  int errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0) return -1;
  if (::pipe2(errPipe, O_CLOEXEC) != 0) {
    ::close(outPipe[0]);
    ::close(outPipe[1]);
    return -1;
  }
  // Nothing is allocated between fork and exec: other threads may hold the heap's lock.
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(outPipe[1], 1);
    ::dup2(errPipe[1], 2);
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  int open = 2;
  char buffer[4096];
  while (open > 0 && ::poll(fds, 2, 30000) > 0) {
    for (pollfd& p : fds) {
      if (p.fd < 0 || !(p.revents & (POLLIN | POLLHUP))) continue;
      const ssize_t n = ::read(p.fd, buffer, sizeof buffer);
      if (n <= 0) {
        ::close(p.fd);
        p.fd = -1;
        --open;
      } else {
        (&p == &fds[0] ? *out : *errors).append(buffer, static_cast<std::size_t>(n));
      }
    }
  }
  for (pollfd& p : fds) {
    if (p.fd >= 0) ::close(p.fd);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

RecorderProcess::RecorderProcess(const std::vector<std::string>& args,
                                 const std::map<std::string, std::string>& env,
                                 long fileSizeLimit) {
  const std::string program = platform::ExecutableFolder() + "veltrane-rec";
  std::vector<std::string> environment;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    if (entry.rfind("VELTRANE_PASSWORD=", 0) == 0) continue;
    environment.push_back(entry);
  }
  for (const auto& [name, value] : env) environment.push_back(name + "=" + value);

  int outPipe[2];
  int errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) return;
  // Nothing is allocated between fork and exec: other threads may hold the heap's lock.
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const auto& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(outPipe[1], 1);
    ::dup2(errPipe[1], 2);
    if (fileSizeLimit > 0) {
      const rlimit limit{static_cast<rlim_t>(fileSizeLimit), static_cast<rlim_t>(fileSizeLimit)};
      ::setrlimit(RLIMIT_FSIZE, &limit);
      // A write past the limit fails with EFBIG instead of killing the child.
      ::signal(SIGXFSZ, SIG_IGN);
    }
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  outFd_ = outPipe[0];
  errFd_ = errPipe[0];
}

RecorderProcess::~RecorderProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (outFd_ >= 0) ::close(outFd_);
  if (errFd_ >= 0) ::close(errFd_);
}

bool RecorderProcess::Pump(int timeoutMs) {
  pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
  if (outFd_ < 0 && errFd_ < 0) return false;
  if (::poll(fds, 2, timeoutMs) <= 0) return true;
  char buffer[4096];
  for (pollfd& p : fds) {
    if (p.fd < 0 || !(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
    const ssize_t n = ::read(p.fd, buffer, sizeof buffer);
    int& fd = &p == &fds[0] ? outFd_ : errFd_;
    if (n <= 0) {
      ::close(fd);
      fd = -1;
    } else {
      (&p == &fds[0] ? out_ : err_).append(buffer, static_cast<std::size_t>(n));
    }
  }
  return outFd_ >= 0 || errFd_ >= 0;
}

bool RecorderProcess::WaitForOutput(const std::string& text, int timeoutMs) {
  return WaitFor(out_, text, timeoutMs);
}

bool RecorderProcess::WaitForError(const std::string& text, int timeoutMs) {
  return WaitFor(err_, text, timeoutMs);
}

bool RecorderProcess::WaitFor(const std::string& stream, const std::string& text, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (stream.find(text) == std::string::npos) {
    const int left = RemainingMs(deadline);
    if (left == 0 || !Pump(left)) return stream.find(text) != std::string::npos;
  }
  return true;
}

void RecorderProcess::Signal(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
}

int RecorderProcess::Wait(int timeoutMs) {
  if (pid_ <= 0) return -1;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (RemainingMs(deadline) > 0 && Pump(RemainingMs(deadline))) {
  }
  int status = 0;
  pid_t ended = 0;
  while ((ended = ::waitpid(pid_, &status, WNOHANG)) == 0 && RemainingMs(deadline) > 0) {
    ::usleep(10000);
  }
  if (ended != pid_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return -1;
  }
  pid_ = -1;
  while (Pump(0)) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TempFolder::TempFolder() {
  char pattern[] = "/tmp/veltrane-rec-test-XXXXXX";
  if (::mkdtemp(pattern)) path_ = pattern;
}

TempFolder::~TempFolder() {
  if (path_.empty()) return;
  for (const std::string& name : Files(true)) std::remove((path_ + "/" + name).c_str());
  ::rmdir(path_.c_str());
}

std::vector<std::string> TempFolder::Files(bool hidden) const {
  std::vector<std::string> names;
  DIR* dir = ::opendir(path_.c_str());
  if (!dir) return names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (hidden || name[0] != '.') names.push_back(name);
  }
  ::closedir(dir);
  return names;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool ScrapeMetrics(int port, std::string* body, std::string* contentType, std::string* errors) {
  std::string out;
  const int code = RunCapture({"curl", "-s", "-S", "-f", "--max-time", "5", "-w",
                               "\n%{content_type}",
                               "http://127.0.0.1:" + std::to_string(port) + "/metrics"},
                              &out, errors);
  const std::size_t split = out.rfind('\n');
  if (code != 0 || split == std::string::npos) return false;
  *contentType = out.substr(split + 1);
  *body = out.substr(0, split);
  return true;
}

Probe ProbeFile(const std::string& path) {
  std::vector<std::string> argv{"ffprobe", "-v", "error"};
  if (path.size() > 4 && path.compare(path.size() - 4, 4, ".263") == 0) {
    argv.insert(argv.end(), {"-f", "h263"});
  }
  argv.insert(argv.end(), {"-count_frames", "-select_streams", "v:0", "-show_entries",
                           "stream=nb_read_frames,r_frame_rate,avg_frame_rate:format=duration",
                           "-of", "json", path});
  Probe probe;
  std::string out;
  const int code = RunCapture(argv, &out, &probe.errors);
  const nlohmann::json j = nlohmann::json::parse(out, nullptr, false);
  if (code != 0 || !probe.errors.empty() || j.is_discarded()) return probe;
  // ffprobe writes its numbers as strings; a missing one stays -1.
  const auto number = [](const nlohmann::json& value) {
    return value.is_string() ? std::strtod(value.get<std::string>().c_str(), nullptr) : -1.0;
  };
  const nlohmann::json stream = j.value("streams", nlohmann::json::array()).empty()
                                    ? nlohmann::json::object()
                                    : j["streams"][0];
  probe.frames = static_cast<long>(number(stream.value("nb_read_frames", nlohmann::json())));
  probe.seconds =
      number(j.value("format", nlohmann::json::object()).value("duration", nlohmann::json()));
  const auto rate = [&stream](const char* key) {
    const std::string text = stream.value(key, std::string());
    const std::size_t slash = text.find('/');
    const double den =
        slash == std::string::npos ? 0 : std::strtod(text.c_str() + slash + 1, nullptr);
    return den > 0 ? std::strtod(text.c_str(), nullptr) / den : -1.0;
  };
  probe.frameRate = rate("avg_frame_rate");
  probe.realFrameRate = rate("r_frame_rate");
  probe.ok = probe.frames >= 0;
  return probe;
}

long FramesDecoded(const std::string& path, std::string* errors) {
  const Probe probe = ProbeFile(path);
  *errors = probe.errors;
  return probe.ok ? probe.frames : -1;
}

std::vector<ChannelSummary> ReadChannelSummaries(const std::string& summaryJson) {
  std::vector<ChannelSummary> channels;
  const nlohmann::json j = nlohmann::json::parse(summaryJson, nullptr, false);
  if (j.is_discarded() || !j.contains("channels")) return channels;
  for (const nlohmann::json& entry : j["channels"]) {
    ChannelSummary c;
    c.channel = entry.value("channel", 0);
    const nlohmann::json file = entry.value("file", nlohmann::json());
    c.file = file.is_string() ? file.get<std::string>() : "";
    c.frames = entry.value("frames", -1L);
    c.keyFrames = entry.value("key_frames", -1L);
    c.lostVideo = entry.value("lost_video_events", -1L);
    c.bytes = entry.value("bytes", -1LL);
    const nlohmann::json first = entry.value("time_to_first_frame_ms", nlohmann::json());
    c.timeToFirstFrameMs = first.is_number() ? first.get<double>() : -1;
    c.framesDropped = entry.value("frames_dropped", -1L);
    c.writeFailures = entry.value("write_failures", -1);
    for (const nlohmann::json& segment : entry.value("segments", nlohmann::json::array())) {
      c.segments.push_back({segment.value("file", std::string()), segment.value("frames", -1L),
                            segment.value("bytes", -1LL), segment.value("on_disk", false)});
    }
    channels.push_back(c);
  }
  return channels;
}

int ClosedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = -1;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  return port;
}

// nvs400 with a short network time-out, so that giving up on a device takes seconds.
std::string ShortTimeoutDeviceType() {
  return "<?xml version=\"1.0\"?>\n<bosch>\n"
         "  <cameraCount value=\"2\"/>\n  <mode value=\"mpeg4\"/>\n"
         "  <framerate><max value=\"25\"/></framerate>\n"
         "  <quality><min value=\"1\"/><low value=\"2\"/><medium value=\"3\"/>"
         "<high value=\"4\"/><max value=\"5\"/></quality>\n"
         "  <resolutions><cif value=\"true\"/><cifx value=\"352\"/><cify value=\"288\"/>"
         "</resolutions>\n"
         "  <networktimeout value=\"800\"/>\n</bosch>\n";
}

}  // namespace rectest
