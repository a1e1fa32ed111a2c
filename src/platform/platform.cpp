#include "platform/platform.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <thread>
#include <utility>
#include <vector>


namespace platform {

static_assert(sizeof(pthread_t) <= sizeof(unsigned long), "pthread_t must fit the stored id");

namespace {

// ---- time ---------------------------------------------------------------------------------

timespec MonotonicNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

timespec AddMs(timespec t, int ms) {
  t.tv_sec += ms / 1000;
  t.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (t.tv_nsec >= 1000000000L) {
    t.tv_sec += 1;
    t.tv_nsec -= 1000000000L;
  }
  return t;
}

// Time left until deadline; false once it has passed.
bool Remaining(const timespec& deadline, timespec* left) {
  const timespec now = MonotonicNow();
  long long ns = (static_cast<long long>(deadline.tv_sec) - now.tv_sec) * 1000000000LL +
                 (deadline.tv_nsec - now.tv_nsec);
  if (ns <= 0) return false;
  left->tv_sec = static_cast<time_t>(ns / 1000000000LL);
  left->tv_nsec = static_cast<long>(ns % 1000000000LL);
  return true;
}

// ---- waits --------------------------------------------------------------------------------

// A wait that cannot be carried out means a caller passed a handle it does not own (never
// made, or closed under it): treating that as a time-out would hide the bug behind a silent
// retry loop, so the process stops here.
[[noreturn]] void WaitOnInvalidHandle(const char* what, int fd, int error) {
  std::fprintf(stderr, "platform: wait on an invalid handle: %s (fd %d)%s%s\n", what, fd,
               error != 0 ? ": " : "", error != 0 ? std::strerror(error) : "");
  std::abort();
}

// poll itself names no descriptor; EINVAL there is a list longer than the descriptor limit.
[[noreturn]] void WaitFailed(std::size_t count, int error) {
  std::fprintf(stderr, "platform: wait on %zu handles failed: %s\n", count, std::strerror(error));
  std::abort();
}

enum class Take { kTaken, kGone };

// Called when poll reported fd ready. An eventfd is consumed by reading its counter; a
// thread handle reads EOF and stays signalled. EAGAIN means a waiter elsewhere took the
// signal first.
Take TakeSignal(int fd) {
  std::uint64_t value = 0;
  for (;;) {
    const ssize_t n = read(fd, &value, sizeof value);
    if (n >= 0) return Take::kTaken;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Take::kGone;
    WaitOnInvalidHandle("read failed", fd, errno);
  }
}

constexpr short kReady = POLLIN | POLLHUP | POLLERR;

// Shared by Wait and WaitAny: index of the consumed object, -1 time-out.
int WaitOn(std::span<const int> fds, int timeout_ms) {
  if (fds.empty()) {
    std::fputs("platform: wait on an empty list of handles\n", stderr);
    std::abort();
  }
  // Waits on a few objects (the lock's hand-off, a worker's events) allocate nothing.
  constexpr std::size_t kOnStack = 16;
  pollfd onStack[kOnStack];
  std::vector<pollfd> onHeap;
  if (fds.size() > kOnStack) onHeap.resize(fds.size());
  const std::span<pollfd> pfds =
      fds.size() > kOnStack ? std::span<pollfd>(onHeap) : std::span<pollfd>(onStack, fds.size());
  for (std::size_t i = 0; i < fds.size(); ++i) {
    if (fds[i] < 0) WaitOnInvalidHandle("negative descriptor", fds[i], 0);
    pfds[i] = pollfd{fds[i], POLLIN, 0};
  }
  const bool forever = timeout_ms < 0;
  const timespec deadline = AddMs(MonotonicNow(), forever ? 0 : timeout_ms);
  for (;;) {
    timespec left{0, 0};
    // Once the deadline has passed, one last poll without waiting.
    const bool last = !forever && !Remaining(deadline, &left);
    const int ready = ppoll(pfds.data(), pfds.size(), forever ? nullptr : &left, nullptr);
    if (ready < 0) {
      if (errno == EINTR) continue;
      WaitFailed(pfds.size(), errno);
    }
    if (ready == 0) return -1;
    for (std::size_t i = 0; i < pfds.size(); ++i) {
      const short rev = pfds[i].revents;
      if (rev & POLLNVAL) WaitOnInvalidHandle("not an open descriptor", pfds[i].fd, 0);
      if (!(rev & kReady)) continue;
      if (TakeSignal(pfds[i].fd) == Take::kTaken) return static_cast<int>(i);
    }
    // Every ready object was taken by another waiter: wait on for the time that remains.
    if (last) return -1;
  }
}

// ---- thread ids and exit notifiers -------------------------------------------------------

// gettid is a system call; the lock asks for the id on every acquisition, so it is cached.
thread_local std::uint32_t tlsThreadId = 0;

void ForgetThreadIdInChild() { tlsThreadId = 0; }

// Closed when the calling thread's thread-local objects are destroyed, i.e. when the thread
// ends, however it was created. Holding the write end keeps every read end unsignalled;
// closing it makes them all read EOF for ever.
struct ExitNotifier {
  int readFd = -1;
  int writeFd = -1;
  ~ExitNotifier() {
    if (writeFd >= 0) close(writeFd);
    if (readFd >= 0) close(readFd);
  }
};

thread_local ExitNotifier tlsExitNotifier;

bool MakeNotifierPipe(int* readFd, int* writeFd) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  *readFd = fds[0];
  *writeFd = fds[1];
  return true;
}

// Everything a new thread needs; shared because the creator waits for the thread's id.
struct StartBlock {
  std::function<void()> fn;
  int readFd = -1;
  int writeFd = -1;
  std::atomic<std::uint32_t> id{0};
};

// ---- modules ------------------------------------------------------------------------------

bool EndsWithDll(const std::string& name) {
  if (name.size() < 4) return false;
  const std::string tail = name.substr(name.size() - 4);
  return strcasecmp(tail.c_str(), ".dll") == 0;
}

std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return std::string();
  return path.substr(0, slash + 1);
}

// "_Name@16" → "Name"; anything else unchanged.
std::string UndecoratedName(const char* name) {
  std::string s(name);
  if (s.size() < 3 || s[0] != '_') return s;
  const auto at = s.rfind('@');
  if (at == std::string::npos || at < 2 || at + 1 == s.size()) return s;
  for (std::size_t i = at + 1; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return s;
  }
  return s.substr(1, at - 1);
}

}  // namespace

// ---- Handle -------------------------------------------------------------------------------

Handle& Handle::operator=(Handle&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.Release();
  }
  return *this;
}

Handle Handle::Duplicate() const {
  if (fd_ < 0) return Handle();
  return Handle(fcntl(fd_, F_DUPFD_CLOEXEC, 0));
}

void Handle::Close() {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
}

int Handle::Release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

// ---- waits --------------------------------------------------------------------------------

WaitResult Wait(int fd, int timeout_ms) {
  const int fds[1] = {fd};
  return WaitOn(fds, timeout_ms) == 0 ? WaitResult::kSignalled : WaitResult::kTimeout;
}

int WaitAny(std::span<const int> fds, int timeout_ms) {
  return WaitOn(fds, timeout_ms);
}

// ---- Event --------------------------------------------------------------------------------

Event::Event() : handle_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

void Event::Set() {
  if (!handle_.Valid()) return;
  const std::uint64_t one = 1;
  // A full counter (EAGAIN) is still signalled, which is all Set promises.
  while (write(handle_.fd(), &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void Event::Reset() {
  if (!handle_.Valid()) return;
  std::uint64_t value = 0;
  while (read(handle_.fd(), &value, sizeof value) < 0 && errno == EINTR) {
  }
}

// ---- threads ------------------------------------------------------------------------------

std::uint32_t CurrentThreadId() {
  if (tlsThreadId == 0) {
    // A forked child keeps the parent's thread-local values; drop the stale id there.
    static const bool atforkInstalled = [] {
      pthread_atfork(nullptr, nullptr, &ForgetThreadIdInChild);
      return true;
    }();
    (void)atforkInstalled;
    tlsThreadId = static_cast<std::uint32_t>(syscall(SYS_gettid));
  }
  return tlsThreadId;
}

Handle CurrentThreadHandle() {
  ExitNotifier& notifier = tlsExitNotifier;
  if (notifier.readFd < 0) {
    if (!MakeNotifierPipe(&notifier.readFd, &notifier.writeFd)) return Handle();
  }
  return Handle(fcntl(notifier.readFd, F_DUPFD_CLOEXEC, 0));
}

namespace {

void* ThreadEntry(void* arg) {
  std::shared_ptr<StartBlock> block;
  {
    std::unique_ptr<std::shared_ptr<StartBlock>> holder(
        static_cast<std::shared_ptr<StartBlock>*>(arg));
    block = std::move(*holder);
  }
  // The notifier goes first, so it is the last thread-local to be destroyed and the handle
  // is signalled only after everything the function left behind has been cleaned up.
  ExitNotifier& notifier = tlsExitNotifier;
  notifier.readFd = block->readFd;
  notifier.writeFd = block->writeFd;
  std::function<void()> fn = std::move(block->fn);
  block->id.store(CurrentThreadId(), std::memory_order_release);
  block->id.notify_all();
  block.reset();
  fn();
  return nullptr;
}

}  // namespace

Thread::~Thread() {
  if (joined_) return;
  if (platform::Wait(handle_.fd(), 0) == WaitResult::kSignalled) {
    pthread_join(static_cast<pthread_t>(pthread_), nullptr);
  } else {
    pthread_detach(static_cast<pthread_t>(pthread_));
  }
}

Thread::Thread(Thread&& other) noexcept
    : handle_(std::move(other.handle_)),
      id_(std::exchange(other.id_, 0)),
      pthread_(std::exchange(other.pthread_, 0)),
      joined_(std::exchange(other.joined_, true)) {}

Thread& Thread::operator=(Thread&& other) noexcept {
  if (this != &other) {
    Thread old(std::move(*this));  // reaps or detaches what this held
    handle_ = std::move(other.handle_);
    id_ = std::exchange(other.id_, 0);
    pthread_ = std::exchange(other.pthread_, 0);
    joined_ = std::exchange(other.joined_, true);
  }
  return *this;
}

bool Thread::Start(std::function<void()> fn) {
  if (handle_.Valid() || !fn) return false;
  auto block = std::make_shared<StartBlock>();
  block->fn = std::move(fn);
  int readFd = -1;
  if (!MakeNotifierPipe(&readFd, &block->writeFd)) return false;
  Handle handle(readFd);
  // The thread keeps its own read end so that CurrentThreadHandle works inside it too.
  block->readFd = fcntl(readFd, F_DUPFD_CLOEXEC, 0);
  if (block->readFd < 0) {
    close(block->writeFd);
    return false;
  }
  auto* arg = new std::shared_ptr<StartBlock>(block);
  pthread_t tid{};
  if (pthread_create(&tid, nullptr, &ThreadEntry, arg) != 0) {
    delete arg;
    close(block->readFd);
    close(block->writeFd);
    return false;
  }
  block->id.wait(0, std::memory_order_acquire);
  handle_ = std::move(handle);
  id_ = block->id.load(std::memory_order_acquire);
  pthread_ = static_cast<unsigned long>(tid);
  joined_ = false;
  return true;
}

bool Thread::Join(int timeout_ms) {
  if (joined_) return true;
  if (platform::Wait(handle_.fd(), timeout_ms) != WaitResult::kSignalled) return false;
  // The notifier closes while the thread is finishing; the join itself is short.
  pthread_join(static_cast<pthread_t>(pthread_), nullptr);
  joined_ = true;
  return true;
}

void Thread::Abandon() {
  if (joined_) return;
  // Never cancelled: a thread may hold a lock or run a destructor at any moment. Detached, it
  // ends whenever it gets out of whatever holds it.
  pthread_detach(static_cast<pthread_t>(pthread_));
  handle_ = Handle();
  id_ = 0;
  pthread_ = 0;
  joined_ = true;
}

void SleepMs(int ms) {
  if (ms <= 0) {
    sched_yield();
    return;
  }
  const timespec deadline = AddMs(MonotonicNow(), ms);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

unsigned ProcessorCount() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n);
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  if (online > 0) return static_cast<unsigned>(online);
  const unsigned hw = std::thread::hardware_concurrency();
  return hw > 0 ? hw : 1;
}

// ---- Module -------------------------------------------------------------------------------

Module::~Module() {
  if (handle_ != nullptr) dlclose(handle_);
}

Module::Module(Module&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}

Module& Module::operator=(Module&& other) noexcept {
  if (this != &other) {
    if (handle_ != nullptr) dlclose(handle_);
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

Module Module::Load(const char* name) {
  Module module;
  if (name == nullptr || *name == '\0') return module;
  std::string file(name);
  if (file.find('/') != std::string::npos) return module;  // a bare file name only
  if (EndsWithDll(file)) file = "lib" + file.substr(0, file.size() - 4) + ".so";
  const std::string folder = ModuleFolder();
  // Without a folder dlopen would search the library path, which we never do.
  if (folder.empty()) return module;
  module.handle_ = dlopen((folder + file).c_str(), RTLD_NOW | RTLD_LOCAL);
  return module;
}

void* Module::Symbol(const char* name) const {
  if (handle_ == nullptr || name == nullptr) return nullptr;
  return dlsym(handle_, UndecoratedName(name).c_str());
}

// ---- files and names ----------------------------------------------------------------------

std::string ExecutableFolder() {
  std::vector<char> buf(PATH_MAX);
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return std::string();
    if (static_cast<std::size_t>(n) < buf.size()) return FolderOf(std::string(buf.data(), n));
    buf.resize(buf.size() * 2);
  }
}

std::string ModuleFolder() {
  Dl_info info{};
  link_map* map = nullptr;
  if (dladdr1(reinterpret_cast<void*>(&ModuleFolder), &info, reinterpret_cast<void**>(&map),
              RTLD_DL_LINKMAP) == 0 ||
      map == nullptr) {
    return ExecutableFolder();
  }
  // The main program's link map has an empty name; dladdr then reports argv[0].
  if (map->l_name == nullptr || map->l_name[0] == '\0') return ExecutableFolder();
  std::unique_ptr<char, decltype(&free)> real(realpath(map->l_name, nullptr), &free);
  return FolderOf(real ? std::string(real.get()) : std::string(map->l_name));
}

Handle OpenFileForRead(const char* path) {
  if (path == nullptr || *path == '\0') return Handle();
  Handle file(open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!file.Valid()) return file;
  // A folder opens read-only on Linux, but it is not a file the callers could read.
  struct stat st {};
  if (fstat(file.fd(), &st) != 0 || S_ISDIR(st.st_mode)) return Handle();
  return file;
}

long long FileSize(const Handle& file) {
  if (!file.Valid()) return -1;
  struct stat st {};
  if (fstat(file.fd(), &st) != 0) return -1;
  return static_cast<long long>(st.st_size);
}

std::string ResolveIPv4(const char* name) {
  if (name == nullptr || *name == '\0') return std::string();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &result) != 0 || result == nullptr) return std::string();
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owner(result, &freeaddrinfo);
  for (const addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET || ai->ai_addr == nullptr) continue;
    char text[INET_ADDRSTRLEN] = {};
    const auto* sin = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
    if (inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text) != nullptr) return text;
  }
  return std::string();
}

}  // namespace platform
