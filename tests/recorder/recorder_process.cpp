#include "recorder_process.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

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
                                 const std::map<std::string, std::string>& env) {
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
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (out_.find(text) == std::string::npos) {
    const int left = RemainingMs(deadline);
    if (left == 0 || !Pump(left)) return out_.find(text) != std::string::npos;
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
  for (const std::string& name : Files()) std::remove((path_ + "/" + name).c_str());
  ::rmdir(path_.c_str());
}

std::vector<std::string> TempFolder::Files() const {
  std::vector<std::string> names;
  DIR* dir = ::opendir(path_.c_str());
  if (!dir) return names;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
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

long FramesDecoded(const std::string& path, std::string* errors) {
  std::string out;
  const int code = RunCapture({"ffprobe", "-v", "error", "-f", "h263", "-count_frames",
                               "-select_streams", "v:0", "-show_entries",
                               "stream=nb_read_frames", "-of", "csv=p=0", path},
                              &out, errors);
  if (code != 0 || !errors->empty()) return -1;
  char* end = nullptr;
  const long frames = std::strtol(out.c_str(), &end, 10);
  return end == out.c_str() ? -1 : frames;
}

namespace {

// The number after "key": on line, or -1.
long NumberAfter(const std::string& line, const std::string& key) {
  const std::size_t at = line.find("\"" + key + "\": ");
  if (at == std::string::npos) return -1;
  const char* start = line.c_str() + at + key.size() + 4;
  char* end = nullptr;
  const long value = std::strtol(start, &end, 10);
  return end == start ? -1 : value;
}

std::string TextAfter(const std::string& line, const std::string& key) {
  const std::string prefix = "\"" + key + "\": \"";
  const std::size_t at = line.find(prefix);
  if (at == std::string::npos) return "";
  const std::size_t start = at + prefix.size();
  const std::size_t end = line.find('"', start);
  return end == std::string::npos ? "" : line.substr(start, end - start);
}

}  // namespace

std::vector<ChannelSummary> ReadChannelSummaries(const std::string& summaryJson) {
  std::vector<ChannelSummary> channels;
  std::istringstream lines(summaryJson);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.find("{\"channel\": ") == std::string::npos) continue;
    ChannelSummary c;
    c.channel = static_cast<int>(NumberAfter(line, "channel"));
    c.file = TextAfter(line, "file");
    c.frames = NumberAfter(line, "frames");
    c.keyFrames = NumberAfter(line, "key_frames");
    c.lostVideo = NumberAfter(line, "lost_video_events");
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
