// Fakes of the recorder host's objects: a capture user that records frames, lost channels
// and log lines, and a video allocator whose messages record every call made on them.
// Thread-safe: the driver calls them from its own threads.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "veltrane/host.h"

namespace fakes {

class FakeVideoMessage final : public CVideoMessage {
 public:
  FakeVideoMessage(std::uint32_t fourcc, std::int32_t bufferSize);

  int MessageOperation01() override { return 0; }
  unsigned char* GetBuffer() override;
  int MessageOperation03() override { return 0; }
  void SetDataLength(std::uint32_t bytes) override;
  void Finish() override;
  int MessageOperation06() override { return 0; }
  int MessageOperation07() override { return 0; }
  int MessageOperation08() override { return 0; }
  int MessageOperation09() override { return 0; }
  void SetFourCC(std::uint32_t code) override;
  int MessageOperation11() override { return 0; }
  void SetHeight(std::int32_t height) override;
  int MessageOperation13() override { return 0; }
  void SetWidth(std::int32_t width) override;
  int MessageOperation15() override { return 0; }
  void SetSizeClass(std::int32_t sizeClass) override;

  // What the driver did, in order, e.g. "GetBuffer", "SetDataLength(5000)", "Finish".
  std::vector<std::string> calls;
  std::vector<unsigned char> buffer;
  std::uint32_t allocFourCC;
  std::uint32_t fourcc = 0;
  std::uint32_t dataLength = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t sizeClass = 0;
  bool finished = false;
};

class FakeAllocator final : public CVideoAllocator {
 public:
  struct Request {
    std::uint32_t fourcc;
    std::int32_t size;
    std::string owner;
  };

  ~FakeAllocator() override;
  int AllocatorOperation01() override { return 0; }
  CVideoMessage* AllocVideoMsg(std::uint32_t fourcc, std::int32_t bufferSize,
                               const char* owner) override;
  int AllocatorOperation03() override { return 0; }
  int AllocatorOperation04() override { return 0; }
  int AllocatorOperation05() override { return 0; }
  void ReleaseVideoMsg(CVideoMessage* message) override;

  // Makes AllocVideoMsg answer null while set.
  void FailAllocations(bool fail) { fail_ = fail; }
  std::vector<Request> Requests() const;
  int Released() const { return released_; }
  // Messages handed out and not yet released.
  int Outstanding() const;

 private:
  mutable std::mutex mutex_;
  std::vector<Request> requests_;
  std::vector<FakeVideoMessage*> live_;
  std::atomic<bool> fail_{false};
  std::atomic<int> released_{0};
};

class FakeCaptureUser final : public CCaptureAPIUser {
 public:
  struct Frame {
    std::uint32_t channel;
    bool messageWasNull;  // the driver passes its message as the extended one
    std::vector<unsigned char> data;
    std::uint32_t fourcc;
    std::int32_t width;
    std::int32_t height;
    std::int32_t sizeClass;
    std::vector<std::string> callsBefore;  // message calls made before OnVideoFrame
  };
  struct Line {
    int level;
    std::string text;
  };

  std::int32_t OnVideoFrame(std::uint32_t channel, CVideoMessage* message,
                            CVideoMessage* extendedMessage) override;
  std::int32_t OnChannelLost(std::int32_t channel) override;
  void UserOperation3(std::int32_t) override {}
  std::int32_t OnDebugInfo(CDebugInfoIf* info) override;

  // Answer of OnVideoFrame (below 1 refuses the frame).
  void SetFrameResult(std::int32_t result) { frameResult_ = result; }
  // Runs inside OnDebugInfo, after the line has been recorded.
  void SetDebugInfoHook(std::function<void()> hook);
  // Runs inside OnVideoFrame, after the frame has been recorded and before it answers.
  void SetVideoFrameHook(std::function<void()> hook);

  std::vector<Frame> Frames() const;
  std::vector<Line> Lines() const;
  std::vector<std::int32_t> LostChannels() const;
  bool HasLine(const std::string& text) const;
  // Wait with a deadline; true when the condition held in time.
  bool WaitForFrames(std::size_t count, int timeoutMs) const;
  bool WaitForLost(std::size_t count, int timeoutMs) const;
  bool WaitForLine(const std::string& substring, int timeoutMs) const;

 private:
  template <typename Predicate>
  bool WaitUntil(Predicate predicate, int timeoutMs) const;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Frame> frames_;
  std::vector<Line> lines_;
  std::vector<std::int32_t> lost_;
  std::function<void()> debugInfoHook_;
  std::function<void()> videoFrameHook_;
  std::atomic<std::int32_t> frameResult_{1};
};

}  // namespace fakes
