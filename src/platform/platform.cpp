#include "platform/platform.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <linux/futex.h>
#include <netdb.h>
#include <pthread.h>
#include <sched.h>
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
#include <mutex>
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

// ---- waits --------------------------------------------------------------------------------

// A wait that cannot be carried out means a caller passed a handle it does not own (never
// made, closed or moved from under it): treating that as a time-out would hide the bug behind
// a silent retry loop, so the process stops here.
[[noreturn]] void WaitOnInvalidHandle(std::size_t index) {
  std::fprintf(stderr,
               "platform: wait on an invalid handle (entry %zu: never made, closed or moved "
               "from)\n",
               index);
  std::abort();
}

[[noreturn]] void WaitFailed(int error) {
  std::fprintf(stderr, "platform: futex wait failed: %s\n", std::strerror(error));
  std::abort();
}

// State of one wait in progress, the futex word its thread sleeps on. A signal hands itself to
// the wait by changing kWaiting into the index of its object; a wait whose time is up changes
// kWaiting into kGaveUp. The first change wins and is final, so a signal is taken by exactly
// one wait or stays on its object, and a time-out never loses one.
constexpr std::int32_t kWaiting = -1;
constexpr std::int32_t kGaveUp = -2;

struct Waiter {
  std::atomic<std::int32_t> state{kWaiting};
};
static_assert(std::atomic<std::int32_t>::is_always_lock_free &&
                  sizeof(std::atomic<std::int32_t>) == sizeof(std::int32_t),
              "the futex word must be a plain 32-bit integer");

// A wait's entry in the list of one of its objects, on the waiting thread's stack.
struct Registration {
  Waiter* waiter = nullptr;
  std::int32_t index = 0;
  Registration* prev = nullptr;
  Registration* next = nullptr;
};

std::atomic<long> liveObjects{0};

// Sleeps while *word holds expected, until the absolute CLOCK_MONOTONIC deadline (null: for
// ever). 0 when woken (or the word had changed), else the errno.
int FutexWait(std::atomic<std::int32_t>* word, std::int32_t expected, const timespec* deadline) {
  const long rc = syscall(SYS_futex, reinterpret_cast<std::int32_t*>(word),
                          FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, expected, deadline, nullptr,
                          FUTEX_BITSET_MATCH_ANY);
  return rc == 0 ? 0 : errno;
}

// Wakes the thread sleeping on word, if any. Only the address reaches the kernel, so the word
// may already be gone (its wait returned): that wakes nobody, or some futex user that looks
// again and sleeps on.
void FutexWake(std::atomic<std::int32_t>* word) {
  syscall(SYS_futex, reinterpret_cast<std::int32_t*>(word), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, 1,
          nullptr, nullptr, 0);
}

// ---- thread ids and exit notifiers -------------------------------------------------------

// gettid is a system call; the lock asks for the id on every acquisition, so it is cached.
thread_local std::uint32_t tlsThreadId = 0;

void ForgetThreadIdInChild() { tlsThreadId = 0; }

// Signalled when the calling thread's thread-local objects are destroyed, i.e. when the
// thread ends, however it was created. Holds one reference to the thread's exit object.
struct ExitNotifier {
  WaitObject* object = nullptr;
  // Set once the notifier has been destroyed (a later thread-local destructor may still ask).
  bool ended = false;
  ~ExitNotifier();
};

thread_local ExitNotifier tlsExitNotifier;

// Everything a new thread needs; shared because the creator waits for the thread's id.
struct StartBlock {
  std::function<void()> fn;
  Handle exit;  // the thread's own reference to its exit object
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

// ---- waitable objects ------------------------------------------------------------------

// Lives as long as a handle (or a Set, a thread's notifier) holds a reference. Invariant,
// under mutex: while signalled is 1, every registered wait has already been decided (its
// state is no longer kWaiting). So a Set either hands its signal to a registered wait or
// leaves the object signalled, and a wait either finds the signal or is registered before it
// comes.
struct WaitObject {
  enum class Kind : std::uint8_t { kEvent, kThreadExit };

  explicit WaitObject(Kind k) : kind(k) { liveObjects.fetch_add(1, std::memory_order_relaxed); }
  ~WaitObject() { liveObjects.fetch_sub(1, std::memory_order_relaxed); }
  WaitObject(const WaitObject&) = delete;
  WaitObject& operator=(const WaitObject&) = delete;

  const Kind kind;
  std::atomic<std::int32_t> references{1};
  // 1 while signalled. Becomes 1 only under mutex; an event's signal is taken (back to 0) by a
  // zero-time-out look without the lock, or by a registering wait under it.
  std::atomic<std::uint32_t> signalled{0};
  std::mutex mutex;
  // Registered waits, oldest first; a Set hands its signal to the oldest undecided one.
  Registration* first = nullptr;
  Registration* last = nullptr;
};

struct HandleAccess {
  static WaitObject* Object(const Handle& handle) { return handle.object_; }
  static WaitObject* Object(const WaitRef& ref) { return ref.object_; }
  static Handle Adopt(WaitObject* object) { return Handle(object); }
  static WaitObject* Release(Handle& handle) { return std::exchange(handle.object_, nullptr); }
};

namespace {

void AddReference(WaitObject* object) {
  object->references.fetch_add(1, std::memory_order_relaxed);
}

void DropReference(WaitObject* object) {
  if (object->references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete object;
}

// Takes the signal when the object has one, without the lock: an event's is consumed, a
// thread's end stays for the next wait.
bool TakeSignal(WaitObject* object) {
  if (object->signalled.load(std::memory_order_acquire) == 0) return false;
  if (object->kind == WaitObject::Kind::kThreadExit) return true;
  return object->signalled.exchange(0, std::memory_order_acquire) != 0;
}

enum class Registered { kQueued, kTaken, kDecided };

// Registers a wait on an object, or gives it the object's signal when it has one. kDecided:
// the wait had already been given another object's signal, so this one's stays where it is.
Registered Register(WaitObject* object, Registration* entry) {
  std::lock_guard<std::mutex> guard(object->mutex);
  if (object->signalled.load(std::memory_order_relaxed) != 0) {
    // Given an earlier object's signal meanwhile: this one's is left alone.
    if (entry->waiter->state.load(std::memory_order_acquire) != kWaiting) {
      return Registered::kDecided;
    }
    const bool event = object->kind == WaitObject::Kind::kEvent;
    // A look without the lock may take an event's signal at any moment: take it first.
    if (event && object->signalled.exchange(0, std::memory_order_acquire) == 0) {
      // Gone to such a look; the object is unsignalled now and the wait is registered below.
    } else {
      std::int32_t expected = kWaiting;
      if (entry->waiter->state.compare_exchange_strong(expected, entry->index,
                                                       std::memory_order_acq_rel,
                                                       std::memory_order_acquire)) {
        return Registered::kTaken;
      }
      // Decided just now by an earlier object's Set: give the signal back.
      if (event) object->signalled.store(1, std::memory_order_release);
      return Registered::kDecided;
    }
  }
  entry->prev = object->last;
  entry->next = nullptr;
  (object->last != nullptr ? object->last->next : object->first) = entry;
  object->last = entry;
  return Registered::kQueued;
}

void Unregister(WaitObject* object, Registration* entry) {
  std::lock_guard<std::mutex> guard(object->mutex);
  (entry->prev != nullptr ? entry->prev->next : object->first) = entry->next;
  (entry->next != nullptr ? entry->next->prev : object->last) = entry->prev;
}

// Hands the end of a thread to every registered wait and leaves the object signalled for
// ever. The caller holds a reference.
void SignalExit(WaitObject* object) {
  std::lock_guard<std::mutex> guard(object->mutex);
  object->signalled.store(1, std::memory_order_release);
  for (Registration* entry = object->first; entry != nullptr; entry = entry->next) {
    std::int32_t expected = kWaiting;
    // Woken under the lock: the wait cannot unregister, and so return, before that.
    if (entry->waiter->state.compare_exchange_strong(expected, entry->index,
                                                     std::memory_order_acq_rel,
                                                     std::memory_order_relaxed)) {
      FutexWake(&entry->waiter->state);
    }
  }
}

// Shared by Wait and WaitAny: index of the consumed object, -1 time-out.
int WaitOn(std::span<const WaitRef> refs, int timeout_ms) {
  if (refs.empty()) {
    std::fputs("platform: wait on an empty list of handles\n", stderr);
    std::abort();
  }
  // Waits on a few objects (the lock's hand-off, a worker's events) allocate nothing.
  constexpr std::size_t kOnStack = 16;
  WaitObject* objectsOnStack[kOnStack];
  std::vector<WaitObject*> objectsOnHeap;
  if (refs.size() > kOnStack) objectsOnHeap.resize(refs.size());
  WaitObject** const objects = refs.size() > kOnStack ? objectsOnHeap.data() : objectsOnStack;
  for (std::size_t i = 0; i < refs.size(); ++i) {
    objects[i] = HandleAccess::Object(refs[i]);
    if (objects[i] == nullptr) WaitOnInvalidHandle(i);
  }
  for (std::size_t i = 0; i < refs.size(); ++i) {
    if (TakeSignal(objects[i])) return static_cast<int>(i);
  }
  if (timeout_ms == 0) return -1;

  const bool forever = timeout_ms < 0;
  const timespec deadline = AddMs(MonotonicNow(), forever ? 0 : timeout_ms);
  Waiter waiter;
  Registration entriesOnStack[kOnStack];
  std::vector<Registration> entriesOnHeap;
  if (refs.size() > kOnStack) entriesOnHeap.resize(refs.size());
  Registration* const entries = refs.size() > kOnStack ? entriesOnHeap.data() : entriesOnStack;
  std::size_t queued = 0;
  // Stops at the first object that decides the wait (a signal found, or one handed over to
  // the entries already queued).
  for (; queued < refs.size(); ++queued) {
    if (waiter.state.load(std::memory_order_relaxed) != kWaiting) break;
    entries[queued].waiter = &waiter;
    entries[queued].index = static_cast<std::int32_t>(queued);
    if (Register(objects[queued], &entries[queued]) != Registered::kQueued) break;
  }
  while (waiter.state.load(std::memory_order_acquire) == kWaiting) {
    const int error = FutexWait(&waiter.state, kWaiting, forever ? nullptr : &deadline);
    if (error == ETIMEDOUT) {
      std::int32_t expected = kWaiting;
      // Whoever changes the state first decides: a signal that came just now is ours.
      waiter.state.compare_exchange_strong(expected, kGaveUp, std::memory_order_acq_rel,
                                           std::memory_order_acquire);
    } else if (error != 0 && error != EINTR && error != EAGAIN) {
      WaitFailed(error);
    }
  }
  for (std::size_t i = 0; i < queued; ++i) Unregister(objects[i], &entries[i]);
  const std::int32_t state = waiter.state.load(std::memory_order_acquire);
  return state >= 0 ? state : -1;
}

}  // namespace

long LiveWaitObjects() { return liveObjects.load(std::memory_order_relaxed); }

// ---- Handle -------------------------------------------------------------------------------

Handle& Handle::operator=(Handle&& other) noexcept {
  if (this != &other) {
    Close();
    object_ = std::exchange(other.object_, nullptr);
  }
  return *this;
}

Handle Handle::Duplicate() const {
  if (object_ == nullptr) return Handle();
  AddReference(object_);
  return Handle(object_);
}

void Handle::Close() {
  if (object_ != nullptr) DropReference(std::exchange(object_, nullptr));
}

// ---- waits --------------------------------------------------------------------------------

WaitResult Wait(WaitRef object, int timeout_ms) {
  return WaitOn(std::span<const WaitRef>(&object, 1), timeout_ms) == 0 ? WaitResult::kSignalled
                                                                        : WaitResult::kTimeout;
}

int WaitAny(std::span<const WaitRef> objects, int timeout_ms) {
  return WaitOn(objects, timeout_ms);
}

// ---- Event --------------------------------------------------------------------------------

Event::Event() : handle_(HandleAccess::Adopt(new WaitObject(WaitObject::Kind::kEvent))) {}

void Event::Set() {
  WaitObject* const object = HandleAccess::Object(handle_);
  if (object == nullptr) return;
  // Already signalled: nothing changes.
  if (object->signalled.load(std::memory_order_acquire) != 0) return;
  // The wait that gets the signal may return and destroy the event before this call is done
  // with the object.
  AddReference(object);
  std::atomic<std::int32_t>* woken = nullptr;
  {
    std::lock_guard<std::mutex> guard(object->mutex);
    if (object->signalled.load(std::memory_order_relaxed) == 0) {
      for (Registration* entry = object->first; entry != nullptr; entry = entry->next) {
        std::int32_t expected = kWaiting;
        if (entry->waiter->state.compare_exchange_strong(expected, entry->index,
                                                         std::memory_order_acq_rel,
                                                         std::memory_order_relaxed)) {
          woken = &entry->waiter->state;
          break;
        }
      }
      if (woken == nullptr) object->signalled.store(1, std::memory_order_release);
    }
  }
  // Outside the lock, so the woken wait does not run into it at once when it unregisters.
  if (woken != nullptr) FutexWake(woken);
  DropReference(object);
}

void Event::Reset() {
  WaitObject* const object = HandleAccess::Object(handle_);
  if (object != nullptr) object->signalled.store(0, std::memory_order_relaxed);
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

namespace {

ExitNotifier::~ExitNotifier() {
  if (object != nullptr) {
    SignalExit(object);
    DropReference(std::exchange(object, nullptr));
  }
  ended = true;
}

}  // namespace

Handle CurrentThreadHandle() {
  ExitNotifier& notifier = tlsExitNotifier;
  if (notifier.object == nullptr) {
    if (notifier.ended) return Handle();
    notifier.object = new WaitObject(WaitObject::Kind::kThreadExit);
  }
  AddReference(notifier.object);
  return HandleAccess::Adopt(notifier.object);
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
  notifier.object = HandleAccess::Release(block->exit);
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
  if (platform::Wait(handle_, 0) == WaitResult::kSignalled) {
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
  Handle handle = HandleAccess::Adopt(new WaitObject(WaitObject::Kind::kThreadExit));
  // The thread keeps its own reference, so that CurrentThreadHandle works inside it too.
  block->exit = handle.Duplicate();
  auto* arg = new std::shared_ptr<StartBlock>(block);
  pthread_t tid{};
  if (pthread_create(&tid, nullptr, &ThreadEntry, arg) != 0) {
    delete arg;
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
  if (platform::Wait(handle_, timeout_ms) != WaitResult::kSignalled) return false;
  // The notifier is signalled while the thread is finishing; the join itself is short.
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

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

void File::Close() {
  if (fd_ >= 0) close(std::exchange(fd_, -1));
}

File OpenFileForRead(const char* path) {
  if (path == nullptr || *path == '\0') return File();
  File file(open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!file.Valid()) return file;
  // A folder opens read-only on Linux, but it is not a file the callers could read.
  struct stat st {};
  if (fstat(file.fd(), &st) != 0 || S_ISDIR(st.st_mode)) return File();
  return file;
}

long long FileSize(const File& file) {
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
