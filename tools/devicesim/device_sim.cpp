#include "device_sim.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/crypto.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <system_error>
#include <thread>

#include <pugixml.hpp>

#include "device_model.h"
#include "h263_clip.h"
#include "platform/platform.h"
#include "sim_connection.h"
#include "timer_queue.h"
#include "video_streamer.h"
#include "rcp_wire.h"

namespace devicesim {
namespace {

using rcpwire::Frame;
using ConnectionPtr = std::shared_ptr<SimConnection>;

constexpr std::size_t kPayloadLengthOffset = 18;
constexpr int kListenBacklog = 64;

// Decimal value in the manner of atoi: a missing or non-numeric value reads 0.
int CountValue(const pugi::xml_document& doc, const char* key) {
  const char* text = doc.first_element_by_path(key).attribute("value").value();
  return static_cast<int>(std::strtol(text, nullptr, 10));
}

}  // namespace

struct DeviceSim::Impl {
  explicit Impl(DeviceSimOptions o) : options(std::move(o)) {}

  bool Start();
  void Stop();
  bool ResolveCounts(int& cameras, int& inputs, int& outputs);
  bool LoadClips(ClipSet& loaded);
  bool Listen();

  void AcceptLoop();
  void AcceptOne();
  void Reap();
  void Wake();
  std::vector<ConnectionPtr> Snapshot();

  void Serve(const ConnectionPtr& conn);
  void SendChallenge(const ConnectionPtr& conn);
  bool HandleFrame(const ConnectionPtr& conn, const Frame& frame);
  bool Register(const ConnectionPtr& conn, const Frame& frame);
  bool CredentialsMatch(const SimConnection& conn, std::span<const std::uint8_t> payload) const;
  DeviceModel::Answer Execute(const Frame& frame);
  bool ConnectVideo(const ConnectionPtr& conn, const Frame& frame);
  bool OpenMedia(const ConnectionPtr& conn, const Frame& frame);
  // Sends the answer, as the reply faults say, then runs after (also when no answer
  // travels), so what must follow the answer does.
  void Answer(const ConnectionPtr& conn, const Frame& request, const DeviceModel::Answer& answer,
              bool closeAfterwards = false, std::function<void()> after = {});
  void Record(const Frame& frame);

  void SetInput(int input, bool active);
  void BroadcastInput(int input, bool active);
  void ScheduleToggle(int input, std::uint64_t generation, int periodMs);

  std::optional<std::uint8_t> ErrorFor(std::uint32_t commandWord);
  std::shared_ptr<DeviceModel> Model() const;

  const DeviceSimOptions options;

  // Start and Stop, one at a time.
  std::mutex lifeMutex;
  std::thread acceptThread;
  int listenFd = -1;
  int wakeFd = -1;
  std::atomic<bool> stopping{false};
  std::atomic<std::uint16_t> port{0};

  mutable std::mutex stateMutex;
  std::string lastError;
  std::shared_ptr<DeviceModel> model;  // made by the first successful Start
  ClipSet clips;  // loaded by the first successful Start

  std::mutex connMutex;
  std::vector<ConnectionPtr> connections;
  std::uint16_t lastClientId = 0;

  TimerQueue timers;
  VideoStreamer video;

  std::mutex faultMutex;
  std::map<std::uint32_t, int> replyDelays;
  std::set<std::uint32_t> droppedReplies;
  std::map<std::uint32_t, std::uint8_t> errorAnswers;
  std::set<std::uint32_t> malformedReplies;
  std::atomic<bool> refuse{false};
  std::atomic<bool> rejectCredentials{false};
  std::atomic<int> closeAfterFrames{0};

  // Keeps input messages in the order of the changes they report.
  std::mutex broadcastMutex;
  std::mutex toggleMutex;
  std::map<int, std::uint64_t> toggles;  // input -> generation of its running timer
  std::uint64_t toggleGeneration = 0;

  mutable std::mutex logMutex;
  std::condition_variable logChanged;
  std::vector<ReceivedRequest> log;
  std::vector<std::chrono::steady_clock::time_point> registrations;
};

// ---- Start and stop ------------------------------------------------------------------------

bool DeviceSim::Impl::Start() {
  std::lock_guard life(lifeMutex);
  if (acceptThread.joinable()) {
    std::lock_guard lock(stateMutex);
    lastError = "already running";
    return false;
  }
  if (!Model()) {
    int cameras = 0, inputs = 0, outputs = 0;
    if (!ResolveCounts(cameras, inputs, outputs)) return false;
    if (!LoadClips(clips)) return false;
    auto made = std::make_shared<DeviceModel>(cameras, inputs, outputs, options.unusableCoderFirst);
    std::lock_guard lock(stateMutex);
    model = std::move(made);
  }
  if (!Listen()) return false;
  stopping = false;
  timers.Start();
  video.Start(Model(), clips);
  acceptThread = std::thread([this] { AcceptLoop(); });
  return true;
}

bool DeviceSim::Impl::ResolveCounts(int& cameras, int& inputs, int& outputs) {
  cameras = options.cameraCount;
  inputs = options.inputCount;
  outputs = options.outputCount;
  auto fail = [this](std::string reason) {
    std::lock_guard lock(stateMutex);
    lastError = std::move(reason);
    return false;
  };
  if (cameras < 0 || inputs < 0 || outputs < 0) {
    if (options.deviceType.empty()) return fail("no device type given");
    std::string folder = options.deviceTypeFolder.empty() ? platform::ExecutableFolder()
                                                          : options.deviceTypeFolder;
    if (!folder.empty() && folder.back() != '/') folder += '/';
    const std::string path = folder + options.deviceType + ".xml";
    pugi::xml_document doc;
    const pugi::xml_parse_result result = doc.load_file(path.c_str());
    if (!result) return fail("cannot read " + path + ": " + result.description());
    if (cameras < 0) cameras = CountValue(doc, "bosch/cameraCount");
    if (inputs < 0) inputs = CountValue(doc, "bosch/io/input");
    if (outputs < 0) outputs = CountValue(doc, "bosch/io/output");
  }
  if (cameras < 0 || cameras > kMaxCameras) {
    return fail("camera count " + std::to_string(cameras) + " outside 0.." +
                std::to_string(kMaxCameras));
  }
  if (inputs < 0 || inputs > kMaxIoLines || outputs < 0 || outputs > kMaxIoLines) {
    return fail("input or output count outside 0.." + std::to_string(kMaxIoLines));
  }
  return true;
}

bool DeviceSim::Impl::LoadClips(ClipSet& loaded) {
  std::string folder = options.clipFolder.empty() ? platform::ExecutableFolder() + "clips"
                                                  : options.clipFolder;
  if (folder.back() != '/') folder += '/';
  H263PacketizerOptions packetizer;
  packetizer.maxPayload = options.maxRtpPayload;
  packetizer.splitAtBits = options.splitAtBits;
  packetizer.seed = options.splitSeed;
  for (std::size_t i = 0; i < kClipFiles.size(); ++i) {
    H263Clip clip;
    std::string error;
    if (!clip.Load(folder + kClipFiles[i], error)) {
      std::lock_guard lock(stateMutex);
      lastError = error;
      return false;
    }
    loaded[i] = std::make_shared<const PacketizedClip>(PacketizeClip(clip, packetizer));
  }
  return true;
}

bool DeviceSim::Impl::Listen() {
  auto fail = [this](const std::string& what) {
    const int error = errno;
    std::lock_guard lock(stateMutex);
    lastError = what + ": " + std::strerror(error);
    if (listenFd >= 0) ::close(listenFd);
    if (wakeFd >= 0) ::close(wakeFd);
    listenFd = wakeFd = -1;
    return false;
  };
  listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listenFd < 0) return fail("socket");
  const int one = 1;
  ::setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // A restarted device comes back on the port it had, so its clients can reconnect.
  const std::uint16_t wanted = port != 0 ? port.load() : options.port;
  address.sin_port = htons(wanted);
  if (::bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return fail("cannot bind 127.0.0.1:" + std::to_string(wanted));
  }
  if (::listen(listenFd, kListenBacklog) != 0) return fail("listen");
  socklen_t length = sizeof address;
  if (::getsockname(listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return fail("getsockname");
  }
  port = ntohs(address.sin_port);
  wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd < 0) return fail("eventfd");
  return true;
}

void DeviceSim::Impl::Stop() {
  std::lock_guard life(lifeMutex);
  if (!acceptThread.joinable()) return;
  stopping = true;
  Wake();
  acceptThread.join();

  std::vector<ConnectionPtr> all;
  {
    std::lock_guard lock(connMutex);
    all.swap(connections);
  }
  for (auto& conn : all) conn->Close();
  for (auto& conn : all) {
    if (conn->reader.joinable()) conn->reader.join();
  }
  all.clear();
  video.Stop();

  // Last, so that nothing posts delayed work behind it.
  timers.Stop();
  {
    std::lock_guard lock(toggleMutex);
    toggles.clear();
  }
  ::close(listenFd);
  ::close(wakeFd);
  listenFd = wakeFd = -1;
}

// ---- Accepting -----------------------------------------------------------------------------

void DeviceSim::Impl::AcceptLoop() {
  pollfd fds[2] = {{listenFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
  while (!stopping) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents != 0) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t n = ::read(wakeFd, &count, sizeof count);
      Reap();
    }
    if (stopping) break;
    if ((fds[0].revents & POLLIN) != 0) AcceptOne();
  }
}

void DeviceSim::Impl::AcceptOne() {
  const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    // Out of descriptors or memory: poll would report the same connection again at once.
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return;
  }
  if (refuse) {
    ::close(fd);
    return;
  }
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  auto conn = std::make_shared<SimConnection>(fd, closeAfterFrames.load());
  std::lock_guard lock(connMutex);
  try {
    conn->reader = std::thread([this, conn] { Serve(conn); });
  } catch (const std::system_error&) {
    return;  // no thread to serve it: the connection closes with conn
  }
  connections.push_back(conn);
}

// Joins the threads of connections that have ended; runs on the accept thread.
void DeviceSim::Impl::Reap() {
  std::vector<ConnectionPtr> ended;
  {
    std::lock_guard lock(connMutex);
    auto split = std::stable_partition(connections.begin(), connections.end(),
                                       [](const ConnectionPtr& c) { return !c->finished; });
    ended.assign(split, connections.end());
    connections.erase(split, connections.end());
  }
  for (auto& conn : ended) conn->reader.join();
}

void DeviceSim::Impl::Wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wakeFd, &one, sizeof one);
}

std::vector<ConnectionPtr> DeviceSim::Impl::Snapshot() {
  std::lock_guard lock(connMutex);
  return connections;
}

// ---- One connection ------------------------------------------------------------------------

void DeviceSim::Impl::Serve(const ConnectionPtr& conn) {
  SendChallenge(conn);
  rcpwire::FrameDecoder decoder;
  std::vector<std::uint8_t> buffer(16384);
  bool keep = true;
  while (keep && conn->IsOpen()) {
    const ssize_t n = ::recv(conn->fd(), buffer.data(), buffer.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    // Whatever a media client sends is ignored.
    if (conn->kind == SimConnection::Kind::kMedia) continue;
    decoder.Feed(std::span(buffer.data(), static_cast<std::size_t>(n)));
    Frame frame;
    for (;;) {
      const auto status = decoder.Next(frame);
      if (status == rcpwire::FrameDecoder::Status::kFrame) {
        keep = HandleFrame(conn, frame);
        // After a media open the rest of what the client sent is ignored.
        if (keep && conn->kind == SimConnection::Kind::kControl) continue;
      } else if (status == rcpwire::FrameDecoder::Status::kError) {
        keep = false;  // protocol error: the connection is unusable
      }
      break;
    }
  }
  conn->Close();
  video.ConnectionClosed(conn.get());
  conn->finished = true;
  Wake();
}

void DeviceSim::Impl::SendChallenge(const ConnectionPtr& conn) {
  std::random_device random;
  for (auto& byte : conn->challenge) byte = static_cast<std::uint8_t>(random());
  Frame challenge;
  challenge.commandWord = rcpwire::kCmdChallenge;
  challenge.action = rcpwire::kMessage;
  challenge.payload.assign(conn->challenge.begin(), conn->challenge.end());
  std::vector<std::uint8_t> bytes;
  rcpwire::Encode(challenge, bytes);
  conn->Send(bytes);
}

// False when the connection is to close.
bool DeviceSim::Impl::HandleFrame(const ConnectionPtr& conn, const Frame& frame) {
  if (frame.sessionId != 0) conn->lastSessionId = frame.sessionId;
  if (conn->CountFrame()) return false;
  // Replies, messages and errors from a client are ignored.
  if (frame.action != rcpwire::kRequest) return true;
  if (frame.commandWord == rcpwire::kCmdRegister) return Register(conn, frame);
  if (!conn->registered) {
    Answer(conn, frame, {rcpwire::kErrNotRegistered, {}});
    return true;
  }
  const bool refused = ErrorFor(frame.commandWord).has_value();
  if (frame.commandWord == rcpwire::kCmdConnectVideo && !refused) return ConnectVideo(conn, frame);
  if (frame.commandWord == rcpwire::kCmdMediaOpen && !refused) return OpenMedia(conn, frame);
  const DeviceModel::Answer answer = Execute(frame);
  // Logged once it has taken effect, so a waiter on the log sees the effect too.
  Record(frame);
  Answer(conn, frame, answer);
  return conn->IsOpen();
}

bool DeviceSim::Impl::Register(const ConnectionPtr& conn, const Frame& frame) {
  {
    std::lock_guard lock(logMutex);
    registrations.push_back(std::chrono::steady_clock::now());
  }
  if (auto code = ErrorFor(frame.commandWord)) {
    Answer(conn, frame, {*code, {}});
    return true;
  }
  if (rejectCredentials || !CredentialsMatch(*conn, frame.payload)) {
    Answer(conn, frame, {rcpwire::kErrInvalidAuthorization, {}}, true);
    return false;
  }
  if (conn->clientId == 0) {
    std::lock_guard lock(connMutex);
    if (++lastClientId == 0) lastClientId = 1;
    conn->clientId = lastClientId;
  }
  conn->registered = true;
  DeviceModel::Answer answer;
  rcpwire::PutU16(answer.payload, conn->clientId);
  Answer(conn, frame, answer);
  return true;
}

bool DeviceSim::Impl::CredentialsMatch(const SimConnection& conn,
                                       std::span<const std::uint8_t> payload) const {
  if (options.user.empty() && options.password.empty()) return true;
  const auto registration = rcpwire::DecodeRegistration(payload);
  if (!registration) return false;
  const auto expected = rcpwire::RegistrationDigest(options.password, conn.challenge);
  const bool digestOk =
      CRYPTO_memcmp(expected.data(), registration->digest.data(), expected.size()) == 0;
  return digestOk && registration->user == options.user;
}

DeviceModel::Answer DeviceSim::Impl::Execute(const Frame& frame) {
  DeviceModel::Answer answer;
  if (auto code = ErrorFor(frame.commandWord)) {
    // A refused command has no effect.
    answer.error = code;
  } else {
    answer = Model()->Handle(frame.commandWord, frame.line, frame.payload);
  }
  return answer;
}

// Connect: payload 2 bytes type, 1 byte coder, 4 bytes a, 4 bytes b; only the coder counts.
// Camera n's usable coder is n; any other number is a coder this client cannot have.
bool DeviceSim::Impl::ConnectVideo(const ConnectionPtr& conn, const Frame& frame) {
  constexpr std::size_t kConnectPayload = 11;
  constexpr std::size_t kCoderOffset = 2;
  DeviceModel::Answer answer;
  std::function<void()> after;
  if (frame.payload.size() != kConnectPayload) {
    answer.error = rcpwire::kErrInvalidPayload;
  } else if (const int coder = frame.payload[kCoderOffset];
             coder < 1 || coder > Model()->cameraCount()) {
    answer.error = rcpwire::kErrUnknown;
  } else {
    const std::uint32_t sessionId = video.CreateSession(coder, conn.get());
    rcpwire::PutU32(answer.payload, sessionId);
    // The new session's id follows the reply as a message on the same connection.
    Frame message;
    message.commandWord = rcpwire::kCmdSessionId;
    message.action = rcpwire::kMessage;
    message.clientId = conn->clientId;
    message.sessionId = sessionId;
    message.line = frame.line;
    std::vector<std::uint8_t> bytes;
    rcpwire::Encode(message, bytes);
    std::weak_ptr<SimConnection> weak = conn;
    after = [weak, bytes = std::move(bytes)] {
      if (auto target = weak.lock()) target->Send(bytes);
    };
  }
  Record(frame);
  Answer(conn, frame, answer, false, std::move(after));
  return conn->IsOpen();
}

// Media open: payload the 4-byte session id. From the reply on, the connection carries only
// interleaved RTP.
bool DeviceSim::Impl::OpenMedia(const ConnectionPtr& conn, const Frame& frame) {
  DeviceModel::Answer answer;
  std::function<void()> after;
  if (frame.payload.size() != 4) {
    answer.error = rcpwire::kErrInvalidPayload;
  } else if (const std::uint32_t sessionId = rcpwire::GetU32(frame.payload.data());
             !video.AttachMedia(sessionId, conn)) {
    answer.error = rcpwire::kErrInvalidSession;
  } else {
    conn->kind = SimConnection::Kind::kMedia;
    after = [this, sessionId] { video.StartStreaming(sessionId); };
  }
  Record(frame);
  Answer(conn, frame, answer, false, std::move(after));
  return conn->IsOpen();
}

void DeviceSim::Impl::Answer(const ConnectionPtr& conn, const Frame& request,
                             const DeviceModel::Answer& answer, bool closeAfterwards,
                             std::function<void()> after) {
  // A request without an id is never answered, not even with an error.
  if (request.requestId == 0) {
    if (closeAfterwards) conn->Close();
    if (after) after();
    return;
  }
  Frame out;
  out.commandWord = request.commandWord;
  out.action = answer.error ? rcpwire::kError : rcpwire::kReply;
  out.requestId = request.requestId;
  out.clientId = conn->clientId;
  out.sessionId = request.sessionId;
  out.line = request.line;
  out.payload = answer.error ? std::vector<std::uint8_t>{*answer.error} : answer.payload;
  std::vector<std::uint8_t> bytes;
  rcpwire::Encode(out, bytes);

  bool drop = false;
  bool malformed = false;
  int delayMs = 0;
  {
    std::lock_guard lock(faultMutex);
    drop = droppedReplies.count(request.commandWord) != 0;
    malformed = malformedReplies.count(request.commandWord) != 0;
    if (auto it = replyDelays.find(request.commandWord); it != replyDelays.end()) {
      delayMs = it->second;
    }
  }
  if (malformed) {
    const auto wrong = static_cast<std::uint16_t>(out.payload.size() + 1);
    bytes[kPayloadLengthOffset] = static_cast<std::uint8_t>(wrong >> 8);
    bytes[kPayloadLengthOffset + 1] = static_cast<std::uint8_t>(wrong);
  }
  if (drop) {
    if (closeAfterwards) conn->Close();
    if (after) after();
    return;
  }
  // An answer that ends the connection goes out at once: the close must follow it.
  if (delayMs > 0 && !closeAfterwards) {
    std::weak_ptr<SimConnection> weak = conn;
    timers.Post(std::chrono::milliseconds(delayMs),
                [weak, bytes = std::move(bytes), after = std::move(after)] {
                  auto target = weak.lock();
                  if (!target) return;
                  target->Send(bytes);
                  if (after) after();
                });
    return;
  }
  conn->Send(bytes);
  if (closeAfterwards) conn->Close();
  if (after) after();
}

void DeviceSim::Impl::Record(const Frame& frame) {
  {
    std::lock_guard lock(logMutex);
    log.push_back(ReceivedRequest{frame.commandWord, frame.line, frame.requestId,
                                  frame.sessionId, frame.payload});
  }
  logChanged.notify_all();
}

// ---- Inputs --------------------------------------------------------------------------------

void DeviceSim::Impl::SetInput(int input, bool active) {
  std::lock_guard lock(broadcastMutex);
  auto device = Model();
  if (device && device->SetInput(input, active)) BroadcastInput(input, active);
}

// Caller holds broadcastMutex.
void DeviceSim::Impl::BroadcastInput(int input, bool active) {
  for (const auto& conn : Snapshot()) {
    if (!conn->registered || conn->kind != SimConnection::Kind::kControl || !conn->IsOpen()) {
      continue;
    }
    Frame message;
    message.commandWord = kCmdInputState;
    message.action = rcpwire::kMessage;
    message.clientId = conn->clientId;
    message.sessionId = conn->lastSessionId;
    message.line = static_cast<std::uint16_t>(input);
    message.payload = {static_cast<std::uint8_t>(active ? 1 : 0)};
    std::vector<std::uint8_t> bytes;
    rcpwire::Encode(message, bytes);
    conn->Send(bytes);
  }
}

void DeviceSim::Impl::ScheduleToggle(int input, std::uint64_t generation, int periodMs) {
  timers.Post(std::chrono::milliseconds(periodMs), [this, input, generation, periodMs] {
    {
      std::lock_guard lock(toggleMutex);
      auto it = toggles.find(input);
      if (it == toggles.end() || it->second != generation) return;
    }
    {
      std::lock_guard lock(broadcastMutex);
      bool active = false;
      auto device = Model();
      if (device && device->ToggleInput(input, active)) BroadcastInput(input, active);
    }
    ScheduleToggle(input, generation, periodMs);
  });
}

// ---- Helpers -------------------------------------------------------------------------------

std::optional<std::uint8_t> DeviceSim::Impl::ErrorFor(std::uint32_t commandWord) {
  std::lock_guard lock(faultMutex);
  auto it = errorAnswers.find(commandWord);
  if (it == errorAnswers.end()) return std::nullopt;
  return it->second;
}

std::shared_ptr<DeviceModel> DeviceSim::Impl::Model() const {
  std::lock_guard lock(stateMutex);
  return model;
}

// ---- Public interface ----------------------------------------------------------------------

DeviceSim::DeviceSim(DeviceSimOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

DeviceSim::~DeviceSim() { Stop(); }

bool DeviceSim::Start() { return impl_->Start(); }

void DeviceSim::Stop() { impl_->Stop(); }

std::string DeviceSim::LastError() const {
  std::lock_guard lock(impl_->stateMutex);
  return impl_->lastError;
}

std::uint16_t DeviceSim::port() const { return impl_->port; }

std::string DeviceSim::Address(const std::string& user, const std::string& password) const {
  return "http://" + user + ":" + password + "@127.0.0.1:" + std::to_string(port());
}

int DeviceSim::cameraCount() const {
  auto device = impl_->Model();
  return device ? device->cameraCount() : 0;
}

int DeviceSim::inputCount() const {
  auto device = impl_->Model();
  return device ? device->inputCount() : 0;
}

int DeviceSim::outputCount() const {
  auto device = impl_->Model();
  return device ? device->outputCount() : 0;
}

std::vector<ReceivedRequest> DeviceSim::Requests() const {
  std::lock_guard lock(impl_->logMutex);
  return impl_->log;
}

void DeviceSim::ClearRequests() {
  std::lock_guard lock(impl_->logMutex);
  impl_->log.clear();
  impl_->registrations.clear();
}

std::vector<std::chrono::steady_clock::time_point> DeviceSim::RegistrationTimes() const {
  std::lock_guard lock(impl_->logMutex);
  return impl_->registrations;
}

bool DeviceSim::WaitForRequests(std::uint32_t commandWord, int count, int timeoutMs) const {
  std::unique_lock lock(impl_->logMutex);
  return impl_->logChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    const auto seen = std::count_if(impl_->log.begin(), impl_->log.end(),
                                    [&](const ReceivedRequest& r) {
                                      return r.commandWord == commandWord;
                                    });
    return seen >= count;
  });
}

int DeviceSim::ConnectionCount() const {
  int open = 0;
  for (const auto& conn : impl_->Snapshot()) {
    if (conn->IsOpen() && conn->kind == SimConnection::Kind::kControl) ++open;
  }
  return open;
}

void DeviceSim::SetInput(int input, bool active) { impl_->SetInput(input, active); }

bool DeviceSim::Input(int input) const {
  auto device = impl_->Model();
  return device && device->Input(input);
}

bool DeviceSim::Output(int output) const {
  auto device = impl_->Model();
  return device && device->Output(output);
}

void DeviceSim::ToggleInputEvery(int input, int periodMs) {
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(impl_->toggleMutex);
    if (periodMs <= 0) {
      impl_->toggles.erase(input);
      return;
    }
    generation = ++impl_->toggleGeneration;
    impl_->toggles[input] = generation;
  }
  impl_->ScheduleToggle(input, generation, periodMs);
}

std::uint32_t DeviceSim::PendingSetting(int camera, std::uint32_t commandWord) const {
  auto device = impl_->Model();
  return device ? device->PendingSetting(camera, commandWord) : 0;
}

std::uint32_t DeviceSim::AppliedSetting(int camera, std::uint32_t commandWord) const {
  auto device = impl_->Model();
  return device ? device->AppliedSetting(camera, commandWord) : 0;
}

void DeviceSim::RefuseConnections(bool refuse) { impl_->refuse = refuse; }

void DeviceSim::CloseAfterFrames(int frames) { impl_->closeAfterFrames = std::max(frames, 0); }

void DeviceSim::DropAllConnections() {
  for (const auto& conn : impl_->Snapshot()) conn->Close();
}

void DeviceSim::DelayReplies(std::uint32_t commandWord, int delayMs) {
  std::lock_guard lock(impl_->faultMutex);
  if (delayMs > 0) {
    impl_->replyDelays[commandWord] = delayMs;
  } else {
    impl_->replyDelays.erase(commandWord);
  }
}

void DeviceSim::DropReplies(std::uint32_t commandWord, bool drop) {
  std::lock_guard lock(impl_->faultMutex);
  if (drop) {
    impl_->droppedReplies.insert(commandWord);
  } else {
    impl_->droppedReplies.erase(commandWord);
  }
}

void DeviceSim::AnswerWithError(std::uint32_t commandWord, std::uint8_t errorCode) {
  std::lock_guard lock(impl_->faultMutex);
  if (errorCode != 0) {
    impl_->errorAnswers[commandWord] = errorCode;
  } else {
    impl_->errorAnswers.erase(commandWord);
  }
}

void DeviceSim::RejectCredentials(bool reject) { impl_->rejectCredentials = reject; }

void DeviceSim::MalformedReply(std::uint32_t commandWord, bool on) {
  std::lock_guard lock(impl_->faultMutex);
  if (on) {
    impl_->malformedReplies.insert(commandWord);
  } else {
    impl_->malformedReplies.erase(commandWord);
  }
}

void DeviceSim::SendGarbage(int bytes) {
  if (bytes <= 0) return;
  std::mt19937 random{std::random_device{}()};
  for (const auto& conn : impl_->Snapshot()) {
    std::vector<std::uint8_t> garbage(static_cast<std::size_t>(bytes));
    for (auto& byte : garbage) byte = static_cast<std::uint8_t>(random());
    // Neither a frame start nor an interleaved packet start, so every receiver must notice.
    while (garbage[0] == 0x03 || garbage[0] == 0x24) garbage[0] = static_cast<std::uint8_t>(random());
    conn->Send(garbage);
  }
}

// ---- Video ---------------------------------------------------------------------------------

int DeviceSim::ActiveVideoSessions() const {
  return impl_->video.ActiveSessions();
}

std::vector<VideoSessionInfo> DeviceSim::VideoSessions() const {
  return impl_->video.Sessions();
}

std::uint64_t DeviceSim::PicturesSent(int camera) const {
  return impl_->video.PicturesSent(camera);
}

VideoTiming DeviceSim::Timing(int camera) const { return impl_->video.Timing(camera); }

bool DeviceSim::WriteVideoStats(const std::string& path) const {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (!file) return false;
  std::fprintf(file, "# camera pictures packets refused skipped late max_late_ms\n");
  for (int camera = 1; camera <= cameraCount(); ++camera) {
    const VideoTiming t = Timing(camera);
    std::fprintf(file, "%d %llu %llu %llu %llu %llu %.3f\n", camera,
                 static_cast<unsigned long long>(t.pictures),
                 static_cast<unsigned long long>(PacketsSent(camera)),
                 static_cast<unsigned long long>(t.refused),
                 static_cast<unsigned long long>(t.skipped),
                 static_cast<unsigned long long>(t.late), static_cast<double>(t.maxLateUs) / 1000);
  }
  return std::fclose(file) == 0;
}

std::uint64_t DeviceSim::PacketsSent(int camera) const {
  return impl_->video.PacketsSent(camera);
}

bool DeviceSim::WaitForPictures(int camera, std::uint64_t count, int timeoutMs) const {
  return impl_->video.WaitForPictures(camera, count, timeoutMs);
}

void DeviceSim::StallVideo(int camera, bool stall) {
  impl_->video.Stall(camera, stall);
}

void DeviceSim::CloseVideoConnections(int camera) {
  impl_->video.CloseMedia(camera);
}

void DeviceSim::StopVideoAfter(int pictures, bool closeMedia) {
  impl_->video.StopAfter(pictures, closeMedia);
}

void DeviceSim::CutPictureAndCloseVideo(int camera) {
  impl_->video.CutAndClose(camera);
}

void DeviceSim::SendMalformedPackets(MalformedPacket kind, int count, int camera) {
  impl_->video.InjectMalformed(kind, count, camera);
}

}  // namespace devicesim
