#include "streamer_state.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <unordered_map>

#include "library.h"
#include "library_thread.h"
#include "media_connection.h"

namespace rcpplus::detail {
namespace {

// Token → streamer. Never destroyed: library threads may still look up tokens while the
// process exits.
struct Registry {
  std::mutex mutex;
  std::unordered_map<std::uint64_t, std::weak_ptr<StreamerState>> entries;
};

Registry& TheRegistry() {
  static Registry* const registry = new Registry;
  return *registry;
}

std::atomic<std::uint64_t> g_nextToken{1};

std::uint64_t NewToken(const std::shared_ptr<StreamerState>& state) {
  const std::uint64_t token = g_nextToken.fetch_add(1, std::memory_order_relaxed);
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  registry.entries.emplace(token, state);
  return token;
}

void DropToken(std::uint64_t token) {
  if (token == 0) return;
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  registry.entries.erase(token);
}

std::uint64_t TokenOf(void* context) {
  return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(context));
}

void* ContextOf(std::uint64_t token) {
  return reinterpret_cast<void*>(static_cast<std::uintptr_t>(token));
}

std::shared_ptr<StreamerState> Lookup(void* context) {
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  const auto it = registry.entries.find(TokenOf(context));
  return it == registry.entries.end() ? nullptr : it->second.lock();
}

// The streamer whose batch this thread is handing over; its delivery lock is held.
thread_local const StreamerState* t_delivering = nullptr;

class DeliveringScope {
 public:
  explicit DeliveringScope(const StreamerState* state) : previous_(t_delivering) {
    t_delivering = state;
  }
  ~DeliveringScope() { t_delivering = previous_; }
  DeliveringScope(const DeliveringScope&) = delete;
  DeliveringScope& operator=(const DeliveringScope&) = delete;

 private:
  const StreamerState* previous_;
};

}  // namespace

// ---- Held packets

void HeldPackets::Push(std::span<const std::uint8_t> packet) {
  if (count_ == kCapacity) {
    first_ = (first_ + 1) % kCapacity;
    --count_;
  }
  slots_[(first_ + count_) % kCapacity].assign(packet.begin(), packet.end());
  ++count_;
}

bool HeldPackets::PopFront(std::span<const std::uint8_t>& packet) {
  if (count_ == 0) return false;
  packet = slots_[first_];
  first_ = (first_ + 1) % kCapacity;
  --count_;
  return true;
}

void HeldPackets::Release() {
  Clear();
  for (auto& slot : slots_) std::vector<std::uint8_t>().swap(slot);
}

// ---- Life of the state

std::shared_ptr<StreamerState> StreamerState::Create(std::string address) {
  std::shared_ptr<StreamerState> state(new StreamerState(std::move(address)));
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  registry.entries.emplace(state->messageToken_, state);
  return state;
}

StreamerState::StreamerState(std::string address)
    : address_(std::move(address)),
      messageToken_(g_nextToken.fetch_add(1, std::memory_order_relaxed)) {}

StreamerState::~StreamerState() {
  DropToken(messageToken_);
  DropToken(attempt_);
}

void* StreamerState::messageToken() const { return ContextOf(messageToken_); }

void StreamerState::SetVideoTimeout(int timeoutMs) {
  std::lock_guard lock(mutex_);
  videoTimeoutMs_ = timeoutMs;
}

std::shared_ptr<MediaConnection> StreamerState::TakeAttemptLocked() {
  DropToken(attempt_);
  attempt_ = 0;
  descriptors_ = MediaDescriptors{};
  return std::move(media_);
}

// Closes a media connection on the client's behalf. The media thread never waits for the
// streamer's callers, so waiting for it here is safe except on a library thread, which may
// be the media thread itself.
void StreamerState::StopMedia(const std::shared_ptr<MediaConnection>& media) {
  if (!media) return;
  media->RequestStop();
  if (IsLibraryThread()) return;
  media->WaitExited();
  Library::Instance().ReapFinished();
}

void* StreamerState::BeginVideo(RcpCallback messageCallback, void* context,
                                std::uint16_t line, MediaDescriptors descriptors) {
  std::shared_ptr<MediaConnection> previous;
  void* token = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (shutDown_) return nullptr;
    previous = TakeAttemptLocked();
    descriptors_ = std::move(descriptors);
    attempt_ = NewToken(shared_from_this());
    lossReported_ = false;
    line_ = line;
    messageCallback_ = messageCallback;
    messageContext_ = context;
    token = ContextOf(attempt_);
  }
  StopMedia(previous);
  {
    // Packets of an earlier session are of no use to the new one.
    const bool inside = t_delivering == this;
    std::unique_lock delivery(deliveryMutex_, std::defer_lock);
    if (!inside) delivery.lock();
    held_.Clear();
  }
  return token;
}

void StreamerState::DropMediaDescriptors() {
  std::lock_guard lock(mutex_);
  descriptors_ = MediaDescriptors{};
}

void StreamerState::EndVideo() {
  std::shared_ptr<MediaConnection> media;
  {
    std::lock_guard lock(mutex_);
    media = TakeAttemptLocked();
  }
  StopMedia(media);
  const bool inside = t_delivering == this;
  std::unique_lock delivery(deliveryMutex_, std::defer_lock);
  if (!inside) delivery.lock();
  held_.Clear();
}

void StreamerState::Shutdown() {
  std::shared_ptr<MediaConnection> media;
  {
    std::lock_guard lock(mutex_);
    shutDown_ = true;
    messageCallback_ = nullptr;
    messageContext_ = nullptr;
    media = TakeAttemptLocked();
  }
  SetReceiver(true, nullptr, nullptr);
  StopMedia(media);
  std::unique_lock lock(mutex_);
  WaitMessagesIdleLocked(lock, nullptr, true);
}

// ---- Messages

void StreamerState::StopMessages(RcpCallback callback, void* context) {
  std::unique_lock lock(mutex_);
  if (messageCallback_ != nullptr && messageContext_ == context &&
      (callback == nullptr || callback == messageCallback_)) {
    messageCallback_ = nullptr;
    messageContext_ = nullptr;
  }
  WaitMessagesIdleLocked(lock, context, false);
}

void StreamerState::WaitMessagesIdleLocked(std::unique_lock<std::mutex>& lock, void* context,
                                           bool any) {
  // A library thread may be the one running the call, or be needed by it.
  if (IsLibraryThread()) return;
  messagesIdle_.wait(lock, [&] {
    if (any) return runningContexts_.empty();
    return std::find(runningContexts_.begin(), runningContexts_.end(), context) ==
           runningContexts_.end();
  });
}

void StreamerState::CallMessage(RcpHeader& header, RcpInputStream& payload) {
  RcpCallback callback = nullptr;
  void* context = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (messageCallback_ == nullptr || DroppingCallbacks()) return;
    callback = messageCallback_;
    context = messageContext_;
    runningContexts_.push_back(context);
  }
  if (header.connectionAddress == nullptr) header.connectionAddress = address_.c_str();
  try {
    callback(context, header, payload);
  } catch (Exception*) {
    // The callback's own read failure; the streamer goes on.
  } catch (const std::exception&) {
  }
  {
    std::lock_guard lock(mutex_);
    runningContexts_.erase(std::find(runningContexts_.begin(), runningContexts_.end(), context));
  }
  messagesIdle_.notify_all();
}

bool StreamerState::IsCurrent(std::uint64_t token) {
  std::lock_guard lock(mutex_);
  return token != 0 && token == attempt_ && !shutDown_;
}

void StreamerState::ReportLoss(std::uint64_t token, std::uint32_t code) {
  RcpHeader header{};
  {
    std::lock_guard lock(mutex_);
    if (token == 0 || token != attempt_ || shutDown_ || lossReported_) return;
    lossReported_ = true;
    header.line = line_;
  }
  header.commandWord = rcpwire::kCmdConnectionLost;
  header.action = kActionClientError;
  header.errorCode = code;
  RcpInputStream empty;
  CallMessage(header, empty);
}

void StreamerState::MediaLost(std::uint64_t token, std::uint32_t code) {
  ReportLoss(token, code);
}

void StreamerState::MediaOpenRefused(std::uint64_t token, RcpHeader& header) {
  if (!IsCurrent(token)) return;
  RcpInputStream empty;
  CallMessage(header, empty);
}

void StreamerState::OnControlMessage(void* token, RcpHeader& header, RcpInputStream& payload) {
  if (const auto state = Lookup(token)) state->CallMessage(header, payload);
}

void StreamerState::OnConnectAnswer(void* token, RcpHeader& header, RcpInputStream& payload) {
  if (const auto state = Lookup(token)) state->HandleConnectAnswer(TokenOf(token), header, payload);
}

void StreamerState::OnControlLost(void* token, RcpHeader& header, RcpInputStream&) {
  if (const auto state = Lookup(token)) state->ReportLoss(TokenOf(token), header.errorCode);
}

void StreamerState::HandleConnectAnswer(std::uint64_t token, RcpHeader& header,
                                        RcpInputStream& payload) {
  if (header.action == kActionReply) {
    const std::uint32_t sessionId =
        payload.available() >= 4 ? static_cast<std::uint32_t>(payload.readULong()) : 0;
    // A reply without a usable session id leaves nothing to open.
    if (sessionId == 0 || !StartMedia(token, sessionId)) ReportLoss(token, kConnectionError);
    return;
  }
  if (header.action == kActionClientError && header.errorCode != kResponseTimeout) {
    // The loss watch reports a control connection that could not be made or broke, and
    // stays silent when the client closed it; an address that does not parse never gets
    // a connection to watch.
    if (header.errorCode == kInvalidAddress) ReportLoss(token, kConnectionError);
    return;
  }
  if (IsCurrent(token)) CallMessage(header, payload);
}

bool StreamerState::StartMedia(std::uint64_t token, std::uint32_t sessionId) {
  std::lock_guard lock(mutex_);
  if (token != attempt_ || shutDown_) return true;  // a stale answer: nothing to start
  MediaConnection::Params params;
  params.sink = shared_from_this();
  params.attempt = token;
  params.address = address_;
  params.sessionId = sessionId;
  params.line = line_;
  params.connectTimeoutMs = Library::ConnectTimeoutMs();
  params.openTimeoutMs = videoTimeoutMs_;
  MediaDescriptors descriptors = std::move(descriptors_);
  if (!descriptors.wake.valid() || !descriptors.socket.valid()) {
    try {
      descriptors = MediaDescriptors::Make();
    } catch (...) {
      // SystemFailure is no std::exception; either way the loss is reported.
      return false;
    }
  }
  media_ = Library::Instance().StartMedia(std::move(params), std::move(descriptors));
  return media_ != nullptr;
}

// ---- Packets

void StreamerState::SetReceiver(bool enable, RtpReceiverCallback callback, void* context) {
  bool wake = false;
  {
    // From inside the receiver this thread already holds the delivery lock.
    const bool inside = t_delivering == this;
    std::unique_lock delivery(deliveryMutex_, std::defer_lock);
    if (!inside) delivery.lock();
    // With packets held, the media thread hands them over or, without a receiver, stops
    // keeping them for one.
    wake = !held_.empty();
    if (enable && callback != nullptr) {
      receiver_ = callback;
      receiverContext_ = context;
    } else {
      receiver_ = nullptr;
      receiverContext_ = nullptr;
      held_.Clear();
      if (!inside) held_.Release();
    }
    receiverRegistered_ = true;
  }
  if (!wake) return;
  std::shared_ptr<MediaConnection> media;
  {
    std::lock_guard lock(mutex_);
    media = media_;
  }
  if (media) media->Wake();
}

void StreamerState::StopReceiverTo(void* context) {
  bool matches = false;
  {
    const bool inside = t_delivering == this;
    std::unique_lock delivery(deliveryMutex_, std::defer_lock);
    if (!inside) delivery.lock();
    matches = receiver_ != nullptr && receiverContext_ == context;
  }
  if (matches) SetReceiver(true, nullptr, nullptr);
}

void StreamerState::DrainHeldLocked() {
  std::span<const std::uint8_t> packet;
  while (receiver_ != nullptr && held_.PopFront(packet)) {
    try {
      receiver_(receiverContext_, kRtpPayloadRawPacket, packet.data(),
                static_cast<int>(packet.size()));
    } catch (Exception*) {
    } catch (const std::exception&) {
    }
  }
  if (held_.empty()) held_.Release();
}

void StreamerState::TakePackets(MediaPackets& packets) {
  std::lock_guard delivery(deliveryMutex_);
  DeliveringScope scope(this);
  std::span<const std::uint8_t> packet;
  while (packets.Next(packet)) {
    if (receiver_ != nullptr) {
      if (!held_.empty()) DrainHeldLocked();
      if (receiver_ == nullptr) continue;
      try {
        receiver_(receiverContext_, kRtpPayloadRawPacket, packet.data(),
                  static_cast<int>(packet.size()));
      } catch (Exception*) {
      } catch (const std::exception&) {
      }
    } else if (!receiverRegistered_) {
      held_.Push(packet);
    }
  }
}

bool StreamerState::AwaitingReceiver(const MediaPackets& packets) {
  std::lock_guard delivery(deliveryMutex_);
  DeliveringScope scope(this);
  // A session the client has closed hands nothing over any more.
  if (receiver_ != nullptr && !held_.empty() && !packets.closedByClient()) DrainHeldLocked();
  return !receiverRegistered_;
}

bool StreamerState::HoldsPackets(const MediaPackets& packets) {
  std::lock_guard delivery(deliveryMutex_);
  DeliveringScope scope(this);
  if (receiver_ != nullptr && !held_.empty() && !packets.closedByClient()) DrainHeldLocked();
  return !receiverRegistered_ && !held_.empty();
}

}  // namespace rcpplus::detail
