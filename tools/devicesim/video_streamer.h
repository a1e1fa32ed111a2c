// The device's video sessions and the one thread that streams all of them: each streaming
// session sends its camera's clip as interleaved RTP (RFC 3550, payload type 34, RFC 2190
// payloads) at the camera's applied rate, paced by absolute deadlines on a monotonic clock.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <span>
#include <thread>
#include <vector>

#include "device_model.h"
#include "device_sim.h"
#include "h263_clip.h"
#include "sim_connection.h"

namespace devicesim {

using ClipSet = std::array<std::shared_ptr<const PacketizedClip>, kClipFiles.size()>;

class VideoStreamer {
 public:
  using Clock = std::chrono::steady_clock;

  // The base rate: 25 pictures per second, 3,600 ticks of the 90 kHz clock each.
  static constexpr Clock::duration kBasePictureInterval = std::chrono::milliseconds(40);
  static constexpr std::uint32_t kBaseTimestampStep = 3600;
  static constexpr std::uint8_t kPayloadType = 34;
  // A stream this far behind its schedule (a stall, a suspended process) starts afresh
  // instead of sending the missed pictures in a burst.
  static constexpr Clock::duration kMaxLag = std::chrono::seconds(1);
  // Bytes a media client may leave unread before its connection is closed.
  static constexpr std::size_t kMaxBacklog = 4 * 1024 * 1024;

  VideoStreamer();
  // Stops the thread.
  ~VideoStreamer();
  VideoStreamer(const VideoStreamer&) = delete;
  VideoStreamer& operator=(const VideoStreamer&) = delete;

  // Starts the sending thread over the device's cameras and clips (every clip holds at least
  // one picture). Starting while running does nothing. Faults set before stay in force.
  void Start(std::shared_ptr<const DeviceModel> model, ClipSet clips);
  // Ends every session and joins the thread; the media connections are left to their owner.
  void Stop();

  // A connect for camera on a control connection: the new session's id (never 0).
  std::uint32_t CreateSession(int camera, const SimConnection* control);
  // A media open: false for an unknown session or one that already has its media connection.
  bool AttachMedia(std::uint32_t sessionId, const std::shared_ptr<SimConnection>& media);
  // Once the media open has been answered: the first picture goes out at once.
  void StartStreaming(std::uint32_t sessionId);
  // A connection has closed: its media session ends, and so does a session it connected
  // that had no media connection yet.
  void ConnectionClosed(const SimConnection* connection);

  int ActiveSessions() const;
  std::vector<VideoSessionInfo> Sessions() const;
  std::uint64_t PicturesSent(int camera) const;
  std::uint64_t PacketsSent(int camera) const;
  VideoTiming Timing(int camera) const;
  bool WaitForPictures(int camera, std::uint64_t count, int timeoutMs) const;

  void Stall(int camera, bool stall);
  void CloseMedia(int camera);
  void StopAfter(int pictures, bool closeMedia);
  void CutAndClose(int camera);
  void InjectMalformed(MalformedPacket kind, int count, int camera);

 private:
  struct Session;
  // What a picture carries besides its own packets, taken from the faults under the lock.
  struct Extras {
    std::vector<MalformedPacket> malformed;
    bool csrcAndExtension = false;
    bool padding = false;
    bool cutAndClose = false;
  };

  void Run();
  // Under mutex_: whether a due session must stay silent now (and parks it).
  bool HoldBack(Session& session);
  Extras TakeExtras(Session& session);
  // Sends the session's next picture; returns when the one after it is due.
  Clock::time_point SendPicture(Session& session, SimConnection& media, const Extras& extras,
                                Clock::time_point due);
  void FollowSettings(Session& session);
  void AppendMalformed(std::vector<std::uint8_t>& out, const Session& session, MalformedPacket kind,
                       std::span<const std::uint8_t> firstPayload);
  void Unpark();  // under mutex_
  void CountPicture(int camera, std::size_t packets);
  // Sending thread only; the counters are read by any thread.
  void CountTiming(int camera, Clock::duration lateness, bool refused, std::uint64_t skipped);

  // Set by Start while the thread is not running; read-only while it runs.
  std::shared_ptr<const DeviceModel> model_;
  ClipSet clips_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::map<std::uint32_t, std::shared_ptr<Session>> sessions_;
  std::mt19937 random_;  // ids, SSRCs, starting numbers; under mutex_
  bool stopping_ = false;
  std::thread thread_;
  std::array<bool, kMaxCameras + 1> stalled_{};  // [0] = every camera
  int stopAfter_ = 0;
  bool closeAfterStop_ = false;

  std::mt19937 senderRandom_;  // sending thread only

  mutable std::mutex countMutex_;
  mutable std::condition_variable counted_;
  std::array<std::atomic<std::uint64_t>, kMaxCameras + 1> pictures_{};  // [0] = all cameras
  std::array<std::atomic<std::uint64_t>, kMaxCameras + 1> packets_{};
  std::array<std::atomic<std::uint64_t>, kMaxCameras + 1> refused_{};
  std::array<std::atomic<std::uint64_t>, kMaxCameras + 1> skipped_{};
  std::array<std::atomic<std::uint64_t>, kMaxCameras + 1> late_{};
  std::array<std::atomic<std::int64_t>, kMaxCameras + 1> maxLateUs_{};
};

}  // namespace devicesim
