// What a streamer shares with the threads that serve it: its message callback, its video
// attempt, its media connection, its receiver and the packets held for it.
//
// The library's own callbacks on the streamer's control connection get a token as context,
// never a pointer: a token whose streamer is gone resolves to nothing, so a late answer or
// message cannot reach freed memory.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "media_connection.h"
#include "media_sink.h"
#include "rcp_wire.h"
#include "rcpplus/rcpplus.h"

namespace rcpplus::detail {

// Packets that arrive before the first receiver is registered. When it is full the oldest
// packet makes room. Slots keep their storage while in use, so holding allocates only while
// the slots grow.
class HeldPackets {
 public:
  static constexpr std::size_t kCapacity = 512;

  void Push(std::span<const std::uint8_t> packet);
  // Views the oldest packet and removes it; the view stays valid until the next Push.
  bool PopFront(std::span<const std::uint8_t>& packet);
  void Clear() { first_ = count_ = 0; }
  // Gives the slots' storage back; only when no view of them is in use.
  void Release();
  bool empty() const { return count_ == 0; }
  std::size_t size() const { return count_; }

 private:
  std::array<std::vector<std::uint8_t>, kCapacity> slots_;
  std::size_t first_ = 0;
  std::size_t count_ = 0;
};

class StreamerState final : public MediaSink,
                            public std::enable_shared_from_this<StreamerState> {
 public:
  static std::shared_ptr<StreamerState> Create(std::string address);
  ~StreamerState();
  StreamerState(const StreamerState&) = delete;
  StreamerState& operator=(const StreamerState&) = delete;

  const std::string& address() const { return address_; }
  // Context of the subscription that takes every message of the control connection.
  void* messageToken() const;

  void SetVideoTimeout(int timeoutMs);
  // Starts a video attempt with this message callback; gives the attempt's token (context of
  // the connect request and of the loss watch), or null once the streamer is shut down. A
  // previous attempt's media connection is closed without being reported. descriptors are
  // for the attempt's media connection.
  void* BeginVideo(RcpCallback messageCallback, void* context, std::uint16_t line,
                   MediaDescriptors descriptors);
  // Closes the descriptors kept for the current attempt's media connection, which will not
  // be made.
  void DropMediaDescriptors();
  // Ends the attempt: its media connection closes silently, its packets are no longer
  // delivered, and nothing more of it is reported. Waits for the media thread unless called
  // on a library thread.
  void EndVideo();

  // Stops message calls to context (made with callback, or any callback when null) and
  // returns when none runs, unless called on a library thread.
  void StopMessages(RcpCallback callback, void* context);
  // (true, callback, context) delivers packets; anything else drops them. Returns when no
  // call to the previous receiver runs or will start (unless called from that receiver).
  void SetReceiver(bool enable, RtpReceiverCallback callback, void* context);
  void StopReceiverTo(void* context);
  // Everything stops: video, messages, receiver. Nothing is called back afterwards.
  void Shutdown();

  // The library's callbacks on the control connection; context is a token.
  static void OnControlMessage(void* token, RcpHeader& header, RcpInputStream& payload);
  static void OnConnectAnswer(void* token, RcpHeader& header, RcpInputStream& payload);
  static void OnControlLost(void* token, RcpHeader& header, RcpInputStream& payload);

  // What the media connection of attempt token delivers (see MediaSink).
  void MediaLost(std::uint64_t token, std::uint32_t code) override;
  void MediaOpenRefused(std::uint64_t token, RcpHeader& header) override;
  void TakePackets(MediaPackets& packets) override;
  bool AwaitingReceiver(const MediaPackets& packets) override;
  bool HoldsPackets(const MediaPackets& packets) override;

 private:
  explicit StreamerState(std::string address);

  // Reports the loss of attempt token's video once, unless the attempt is over.
  void ReportLoss(std::uint64_t token, std::uint32_t code);

  void HandleConnectAnswer(std::uint64_t token, RcpHeader& header, RcpInputStream& payload);
  // False when the media connection of a current attempt could not be started.
  bool StartMedia(std::uint64_t token, std::uint32_t sessionId);
  bool IsCurrent(std::uint64_t token);
  void CallMessage(RcpHeader& header, RcpInputStream& payload);
  void WaitMessagesIdleLocked(std::unique_lock<std::mutex>& lock, void* context, bool any);
  void DrainHeldLocked();
  std::shared_ptr<MediaConnection> TakeAttemptLocked();
  static void StopMedia(const std::shared_ptr<MediaConnection>& media);

  const std::string address_;
  const std::uint64_t messageToken_;

  std::mutex mutex_;
  std::condition_variable messagesIdle_;
  RcpCallback messageCallback_ = nullptr;
  void* messageContext_ = nullptr;
  std::vector<void*> runningContexts_;  // contexts of message calls under way
  std::uint64_t attempt_ = 0;           // token of the current video attempt, 0 = none
  bool lossReported_ = false;
  std::uint16_t line_ = 0;
  int videoTimeoutMs_ = 0;
  bool shutDown_ = false;
  std::shared_ptr<MediaConnection> media_;
  MediaDescriptors descriptors_;  // the current attempt's, until its media connection starts

  // Held by the media thread while it hands a batch over, so a change of receiver waits
  // for the call under way and packets go out one at a time.
  std::mutex deliveryMutex_;
  RtpReceiverCallback receiver_ = nullptr;
  void* receiverContext_ = nullptr;
  bool receiverRegistered_ = false;
  HeldPackets held_;
};

}  // namespace rcpplus::detail
