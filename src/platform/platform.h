// The small set of operating-system services the driver is written against: waitable
// handles, auto-reset events, threads whose end can be waited on from any thread, module
// loading, and a few file and name look-ups. Call sites carry no #ifdef; this is the only
// place that talks to Linux directly.
//
// Waitable objects live in process memory, not in the kernel's descriptor table: a driver
// with many cameras holds thousands of them, far more than the usual limit of open files.
// An object is reference-counted; a Handle owns one reference (Duplicate takes another,
// Close drops it, and the object goes with its last reference). There are two kinds:
//   - an Event is auto-reset: a wait that reports it consumes the signal;
//   - a thread's exit object is signalled once, when the thread ends, and stays signalled
//     for ever; waits never consume it.
// A wait registers itself on every object it waits on and sleeps on a futex of its own; a
// signal hands itself to one registered wait (an event) or to all of them (a thread's end),
// or stays on the object when nobody waits. A zero time-out only looks at the objects.
// File descriptors remain for sockets and files only (File below).
//
// A failure that can only mean a bug aborts with a short message on stderr: a wait on an
// invalid handle (never made, closed, moved from) or on an empty list. Expected outcomes
// (time-out, busy, not found) are return values. A wait interrupted by a signal goes on for
// the time that remains. Every time-out is measured on CLOCK_MONOTONIC.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace platform {

// Time-out value that waits for ever. Any negative time-out means the same.
constexpr int kInfinite = -1;

// The shared waitable object behind handles and events; defined in platform.cpp.
struct WaitObject;
// Reaches the object behind a Handle; defined in platform.cpp.
struct HandleAccess;

// Owns one reference to a waitable object. Move-only; drops the reference on destruction.
class Handle {
 public:
  Handle() = default;
  ~Handle() { Close(); }
  Handle(Handle&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
  Handle& operator=(Handle&& other) noexcept;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  bool Valid() const { return object_ != nullptr; }

  // A second handle of the same object (one more reference). The copy stays usable after
  // this handle is closed. Duplicating an invalid handle gives an invalid handle.
  Handle Duplicate() const;
  // Drops the reference now; the handle becomes invalid. Closing an invalid handle does
  // nothing.
  void Close();

  // True when both handles are valid and refer to one object (a handle and its duplicates).
  bool SameObject(const Handle& other) const {
    return object_ != nullptr && object_ == other.object_;
  }

 private:
  friend struct HandleAccess;
  friend class WaitRef;
  explicit Handle(WaitObject* adopted) : object_(adopted) {}
  WaitObject* object_ = nullptr;
};

class Event;

// Names one object in a wait: made from a Handle or an Event, owns nothing. The handle or
// event must stay open for as long as the wait lasts.
class WaitRef {
 public:
  // NOLINTNEXTLINE(google-explicit-constructor): a handle names itself in a wait list
  WaitRef(const Handle& handle) : object_(handle.object_) {}
  // NOLINTNEXTLINE(google-explicit-constructor)
  inline WaitRef(const Event& event);

 private:
  friend struct HandleAccess;
  WaitObject* object_;
};

enum class WaitResult { kSignalled, kTimeout };

// Waits until the object is signalled or timeout_ms have passed. A time-out of 0 only polls;
// a negative one waits for ever (and so returns only kSignalled). An event reported as
// signalled has been reset by this call. Aborts when the handle is invalid.
WaitResult Wait(WaitRef object, int timeout_ms);

// Waits until one of the objects is signalled and returns its index (the lowest index when
// several are), or -1 on time-out. Exactly one object is consumed per return: when a waiter
// elsewhere consumed an event first, the wait goes on for the time that remains. Aborts
// when the list is empty or names an invalid handle.
int WaitAny(std::span<const WaitRef> objects, int timeout_ms);

// Auto-reset event, created non-signalled. Set wakes exactly one waiter; with no waiter the
// event stays signalled until one wait consumes it. Setting an already signalled event
// changes nothing. The owner may destroy the event as soon as a wait has reported it, even
// while the Set that signalled it is still returning: Set holds its own reference.
class Event {
 public:
  Event();
  ~Event() = default;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  // Always true: making an event takes no descriptor and cannot fail short of running out
  // of memory (which throws).
  bool Valid() const { return handle_.Valid(); }
  // The event's object, e.g. to duplicate for a waiter that may outlive this event.
  const Handle& handle() const { return handle_; }
  void Set();
  // Clears a pending signal, if any, without waiting.
  void Reset();
  // Wait on this event alone (see Wait above).
  WaitResult Wait(int timeout_ms) { return platform::Wait(*this, timeout_ms); }

 private:
  Handle handle_;
};

WaitRef::WaitRef(const Event& event) : WaitRef(event.handle()) {}

// Number of waitable objects alive in the process (events, thread exit objects). For checks
// that a close gave back what a start took.
long LiveWaitObjects();

// Id of the calling thread as the kernel knows it (gettid); never 0.
std::uint32_t CurrentThreadId();

// A new handle that becomes signalled when the calling thread ends, whoever created the
// thread (ours, the RCP+ library's, the host's). The thread's exit object is made on the
// first call and signalled by the thread's thread-local clean-up; every call returns a
// reference to that one object. Invalid only when called from the thread's own clean-up
// after its exit object was signalled.
Handle CurrentThreadHandle();

// A thread started by us. Its handle is signalled once the thread function has returned
// (or the thread was terminated); any thread may wait on it or duplicate it.
class Thread {
 public:
  Thread() = default;
  // Stops nothing: a thread that is still running is detached, one that has ended is
  // reaped. Owners stop and join their threads before they let go of them.
  ~Thread();
  Thread(Thread&& other) noexcept;
  Thread& operator=(Thread&& other) noexcept;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts fn on a new thread and returns once the thread's id is known. Returns false (and
  // stays as it was) when fn is empty, this object already holds a thread, or the thread
  // could not start.
  bool Start(std::function<void()> fn);

  bool Valid() const { return handle_.Valid(); }
  const Handle& handle() const { return handle_; }
  std::uint32_t id() const { return id_; }

  // Waits up to timeout_ms for the thread to end; true when it has ended (and has been
  // reaped). An empty Thread counts as ended.
  bool Join(int timeout_ms);

  // Gives up on a thread that did not end in time: detaches it and lets it run on. It is
  // never cancelled, since it may hold a lock or be inside a destructor; its owner keeps alive
  // whatever the thread may still touch. Afterwards this object is empty; a duplicate of the
  // handle taken before still tells when the thread ends.
  void Abandon();

 private:
  struct Start;
  Handle handle_;
  std::uint32_t id_ = 0;
  unsigned long pthread_ = 0;
  bool joined_ = true;
};

// Sleeps for ms milliseconds; 0 or less gives up the processor once.
void SleepMs(int ms);

// Number of processors the process may run on; at least 1.
unsigned ProcessorCount();

// A shared object loaded at run time. Move-only; unloads on destruction.
class Module {
 public:
  Module() = default;
  ~Module();
  Module(Module&& other) noexcept;
  Module& operator=(Module&& other) noexcept;
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // Loads a module by its Windows-style name: "X.dll" is looked for as "libX.so" in the
  // folder of the shared object that contains this platform layer (the driver library),
  // never on the search path. Any other name is used as a file name in that folder; a name
  // with a '/' is refused. Returns an empty module when the file is missing or cannot be
  // loaded.
  static Module Load(const char* name);

  bool Loaded() const { return handle_ != nullptr; }
  // Looks up an export. A decorated name "_Name@16" is looked up as "Name"; other names
  // as they are. Null when missing or when nothing is loaded.
  void* Symbol(const char* name) const;

 private:
  void* handle_ = nullptr;
};

// The folder of the running executable, with its trailing '/', from /proc/self/exe.
// A path without '/' gives the empty string.
std::string ExecutableFolder();

// The folder of the shared object (or executable) that contains this platform layer,
// with its trailing '/'.
std::string ModuleFolder();

// An owned descriptor of an open file. Move-only; closes the descriptor on destruction.
class File {
 public:
  File() = default;
  explicit File(int fd) : fd_(fd) {}
  ~File() { Close(); }
  File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  bool Valid() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // Closes the descriptor now; closing an invalid file does nothing.
  void Close();

 private:
  int fd_ = -1;
};

// Opens an existing file for reading; never creates one. Invalid when it is missing, is a
// folder, or cannot be opened.
File OpenFileForRead(const char* path);

// Size in bytes of an open file; -1 on failure.
long long FileSize(const File& file);

// Looks name up as an IPv4 host name and returns the dotted form of its first address,
// or the empty string when it does not resolve.
std::string ResolveIPv4(const char* name);

}  // namespace platform
