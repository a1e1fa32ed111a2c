#include "video_streamer.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "rcp_wire.h"

namespace devicesim {
namespace {

constexpr std::size_t kRtpHeaderSize = 12;
constexpr std::uint8_t kVersion2 = 0x80;
constexpr std::uint8_t kPaddingBit = 0x20;
constexpr std::uint8_t kExtensionBit = 0x10;
constexpr std::uint8_t kMarkerBit = 0x80;
constexpr std::uint16_t kExtensionProfile = 0xBEDE;
constexpr std::uint8_t kPaddingBytes = 4;
// A fault request cannot queue more than this per session.
constexpr std::size_t kMaxQueuedMalformed = 10000;

//  0                   1                   2                   3
//  0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |V=2|P|X|  CC   |M|     PT      |       sequence number         |
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |                           timestamp                           |
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |           synchronization source (SSRC) identifier            |
// +=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+
void PutRtpHeader(std::vector<std::uint8_t>& out, std::uint8_t first, bool marker,
                  std::uint16_t sequence, std::uint32_t timestamp, std::uint32_t ssrc) {
  out.push_back(first);
  out.push_back(static_cast<std::uint8_t>((marker ? kMarkerBit : 0) | VideoStreamer::kPayloadType));
  rcpwire::PutU16(out, sequence);
  rcpwire::PutU32(out, timestamp);
  rcpwire::PutU32(out, ssrc);
}

void PutInterleavedHeader(std::vector<std::uint8_t>& out, std::size_t length) {
  out.push_back(0x24);
  out.push_back(0x00);
  rcpwire::PutU16(out, static_cast<std::uint16_t>(length));
}

}  // namespace

struct VideoStreamer::Session {
  std::uint32_t id = 0;
  int camera = 0;
  const SimConnection* control = nullptr;  // identity only
  std::uint32_t ssrc = 0;

  // Under mutex_.
  std::shared_ptr<SimConnection> media;
  bool streaming = false;
  bool parked = false;  // held back by a stall or a picture limit; not scheduled
  Clock::time_point due;
  std::vector<MalformedPacket> malformed;
  int csrcPictures = 0;
  int paddingPictures = 0;
  bool cutAndClose = false;

  // The sending thread's, once streaming has started.
  std::size_t clip = kDefaultClip;
  std::size_t picture = 0;
  std::uint16_t sequence = 0;
  std::uint32_t timestamp = 0;
  std::uint32_t rate = 1;
  std::uint64_t applyCount = 0;

  std::atomic<std::uint64_t> pictures{0};
  std::atomic<std::uint64_t> packets{0};
};

VideoStreamer::VideoStreamer()
    : random_(std::random_device{}()), senderRandom_(std::random_device{}()) {}

VideoStreamer::~VideoStreamer() { Stop(); }

void VideoStreamer::Start(std::shared_ptr<const DeviceModel> model, ClipSet clips) {
  std::lock_guard lock(mutex_);
  if (thread_.joinable()) return;
  model_ = std::move(model);
  clips_ = std::move(clips);
  stopping_ = false;
  thread_ = std::thread([this] { Run(); });
}

void VideoStreamer::Stop() {
  std::thread thread;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    thread = std::move(thread_);
  }
  wake_.notify_all();
  if (thread.joinable()) thread.join();
  std::lock_guard lock(mutex_);
  sessions_.clear();
}

// ---- Sessions ------------------------------------------------------------------------------

std::uint32_t VideoStreamer::CreateSession(int camera, const SimConnection* control) {
  auto session = std::make_shared<Session>();
  session->camera = camera;
  session->control = control;
  std::lock_guard lock(mutex_);
  do {
    session->id = static_cast<std::uint32_t>(random_());
  } while (session->id == 0 || sessions_.count(session->id) != 0);
  session->ssrc = static_cast<std::uint32_t>(random_());
  sessions_.emplace(session->id, session);
  return session->id;
}

bool VideoStreamer::AttachMedia(std::uint32_t sessionId,
                                const std::shared_ptr<SimConnection>& media) {
  std::lock_guard lock(mutex_);
  auto it = sessions_.find(sessionId);
  if (it == sessions_.end() || it->second->media) return false;
  it->second->media = media;
  return true;
}

void VideoStreamer::StartStreaming(std::uint32_t sessionId) {
  {
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(sessionId);
    if (it == sessions_.end() || !it->second->media || it->second->streaming) return;
    Session& session = *it->second;
    // A session starts on the first (intra) picture of what the camera was last set to.
    const DeviceModel::VideoSettings video = model_->Video(session.camera);
    session.applyCount = video.applyCount;
    session.clip = ClipForResolution(video.resolution);
    session.rate = video.rateDivider;
    session.picture = 0;
    session.sequence = static_cast<std::uint16_t>(random_());
    session.timestamp = static_cast<std::uint32_t>(random_());
    session.due = Clock::now();
    session.streaming = true;
  }
  wake_.notify_all();
}

void VideoStreamer::ConnectionClosed(const SimConnection* connection) {
  std::lock_guard lock(mutex_);
  std::erase_if(sessions_, [connection](const auto& entry) {
    const Session& session = *entry.second;
    return session.media ? session.media.get() == connection : session.control == connection;
  });
}

int VideoStreamer::ActiveSessions() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(std::count_if(sessions_.begin(), sessions_.end(), [](const auto& entry) {
    const Session& session = *entry.second;
    return session.media && session.media->IsOpen();
  }));
}

std::vector<VideoSessionInfo> VideoStreamer::Sessions() const {
  std::vector<VideoSessionInfo> out;
  std::lock_guard lock(mutex_);
  for (const auto& [id, session] : sessions_) {
    VideoSessionInfo info;
    info.sessionId = id;
    info.camera = session->camera;
    info.mediaOpen = session->media && session->media->IsOpen();
    info.ssrc = session->ssrc;
    info.pictures = session->pictures;
    info.packets = session->packets;
    out.push_back(info);
  }
  return out;
}

// ---- Counters ------------------------------------------------------------------------------

void VideoStreamer::CountPicture(int camera, std::size_t packets) {
  {
    std::lock_guard lock(countMutex_);
    for (const int index : {0, camera}) {
      pictures_[static_cast<std::size_t>(index)] += 1;
      packets_[static_cast<std::size_t>(index)] += packets;
    }
  }
  counted_.notify_all();
}

std::uint64_t VideoStreamer::PicturesSent(int camera) const {
  if (camera < 0 || camera > kMaxCameras) return 0;
  return pictures_[static_cast<std::size_t>(camera)];
}

std::uint64_t VideoStreamer::PacketsSent(int camera) const {
  if (camera < 0 || camera > kMaxCameras) return 0;
  return packets_[static_cast<std::size_t>(camera)];
}

void VideoStreamer::CountTiming(int camera, Clock::duration lateness, bool refused,
                                std::uint64_t skipped) {
  const auto lateUs = std::chrono::duration_cast<std::chrono::microseconds>(lateness).count();
  for (const int index : {0, camera}) {
    const auto i = static_cast<std::size_t>(index);
    if (refused) refused_[i] += 1;
    skipped_[i] += skipped;
    if (lateness > kBasePictureInterval) late_[i] += 1;
    if (lateUs > maxLateUs_[i].load()) maxLateUs_[i] = lateUs;
  }
}

VideoTiming VideoStreamer::Timing(int camera) const {
  VideoTiming timing;
  if (camera < 0 || camera > kMaxCameras) return timing;
  const auto i = static_cast<std::size_t>(camera);
  timing.pictures = pictures_[i];
  timing.refused = refused_[i];
  timing.skipped = skipped_[i];
  timing.late = late_[i];
  timing.maxLateUs = maxLateUs_[i];
  return timing;
}

bool VideoStreamer::WaitForPictures(int camera, std::uint64_t count, int timeoutMs) const {
  if (camera < 0 || camera > kMaxCameras) return false;
  std::unique_lock lock(countMutex_);
  return counted_.wait_for(lock, std::chrono::milliseconds(std::max(timeoutMs, 0)),
                           [&] { return pictures_[static_cast<std::size_t>(camera)] >= count; });
}

// ---- Faults --------------------------------------------------------------------------------

void VideoStreamer::Stall(int camera, bool stall) {
  if (camera < 0 || camera > kMaxCameras) return;
  {
    std::lock_guard lock(mutex_);
    stalled_[static_cast<std::size_t>(camera)] = stall;
    if (!stall) Unpark();
  }
  wake_.notify_all();
}

void VideoStreamer::CloseMedia(int camera) {
  std::lock_guard lock(mutex_);
  for (const auto& [id, session] : sessions_) {
    if (session->media && (camera == 0 || session->camera == camera)) session->media->Close();
  }
}

void VideoStreamer::StopAfter(int pictures, bool closeMedia) {
  {
    std::lock_guard lock(mutex_);
    stopAfter_ = std::max(pictures, 0);
    closeAfterStop_ = closeMedia;
    Unpark();
  }
  wake_.notify_all();
}

void VideoStreamer::CutAndClose(int camera) {
  if (camera < 0 || camera > kMaxCameras) return;
  std::lock_guard lock(mutex_);
  for (const auto& [id, session] : sessions_) {
    if (session->media && (camera == 0 || session->camera == camera)) session->cutAndClose = true;
  }
}

void VideoStreamer::InjectMalformed(MalformedPacket kind, int count, int camera) {
  if (count <= 0) return;
  std::lock_guard lock(mutex_);
  for (const auto& [id, session] : sessions_) {
    if (!session->media || (camera != 0 && session->camera != camera)) continue;
    if (kind == MalformedPacket::kCsrcAndExtension) {
      session->csrcPictures += count;
    } else if (kind == MalformedPacket::kPadding) {
      session->paddingPictures += count;
    } else {
      const std::size_t room =
          kMaxQueuedMalformed - std::min(kMaxQueuedMalformed, session->malformed.size());
      session->malformed.insert(session->malformed.end(),
                                std::min(room, static_cast<std::size_t>(count)), kind);
    }
  }
}

// Parked sessions are looked at again now; those still held back park again when due.
void VideoStreamer::Unpark() {
  const Clock::time_point now = Clock::now();
  for (const auto& [id, session] : sessions_) {
    if (!session->parked) continue;
    session->parked = false;
    session->due = now;
  }
}

// ---- Sending -------------------------------------------------------------------------------

void VideoStreamer::Run() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    std::shared_ptr<Session> next;
    for (const auto& [id, session] : sessions_) {
      if (!session->streaming || session->parked) continue;
      if (!next || session->due < next->due) next = session;
    }
    if (!next) {
      wake_.wait(lock);
      continue;
    }
    if (next->due > Clock::now()) {
      wake_.wait_until(lock, next->due);
      continue;
    }
    if (HoldBack(*next)) continue;
    const Extras extras = TakeExtras(*next);
    const std::shared_ptr<SimConnection> media = next->media;
    const Clock::time_point due = next->due;
    lock.unlock();
    const Clock::time_point following = SendPicture(*next, *media, extras, due);
    lock.lock();
    next->due = following;
  }
}

bool VideoStreamer::HoldBack(Session& session) {
  if (stopAfter_ > 0 && session.pictures >= static_cast<std::uint64_t>(stopAfter_)) {
    session.parked = true;
    if (closeAfterStop_) session.media->Close();
    return true;
  }
  if (stalled_[0] || stalled_[static_cast<std::size_t>(session.camera)]) {
    session.parked = true;
    return true;
  }
  return false;
}

VideoStreamer::Extras VideoStreamer::TakeExtras(Session& session) {
  Extras extras;
  extras.malformed.swap(session.malformed);
  if (session.csrcPictures > 0) {
    --session.csrcPictures;
    extras.csrcAndExtension = true;
  }
  if (session.paddingPictures > 0) {
    --session.paddingPictures;
    extras.padding = true;
  }
  extras.cutAndClose = std::exchange(session.cutAndClose, false);
  return extras;
}

// At a picture boundary: an apply since the last picture switches to the first picture of
// the clip now chosen, at the rate now set; numbering goes on.
void VideoStreamer::FollowSettings(Session& session) {
  const DeviceModel::VideoSettings video = model_->Video(session.camera);
  if (video.applyCount == session.applyCount) return;
  session.applyCount = video.applyCount;
  session.clip = ClipForResolution(video.resolution);
  session.rate = video.rateDivider;
  session.picture = 0;
}

VideoStreamer::Clock::time_point VideoStreamer::SendPicture(Session& session, SimConnection& media,
                                                            const Extras& extras,
                                                            Clock::time_point due) {
  const Clock::duration lateness = Clock::now() - due;
  FollowSettings(session);
  const PacketizedClip& clip = *clips_[session.clip];
  if (session.picture >= clip.pictureCount()) session.picture = 0;
  const auto& payloads = clip.payloads[session.picture];

  std::vector<std::uint8_t> out;
  for (const MalformedPacket kind : extras.malformed) {
    AppendMalformed(out, session, kind, payloads.front());
  }
  const std::size_t csrcBytes = extras.csrcAndExtension ? 8 : 0;
  const std::size_t extensionBytes = extras.csrcAndExtension ? 8 : 0;
  const std::size_t paddingBytes = extras.padding ? kPaddingBytes : 0;
  std::uint8_t first = kVersion2;
  if (extras.padding) first |= kPaddingBit;
  if (extras.csrcAndExtension) first |= kExtensionBit | 2;
  // A cut picture: the first half of its packets, never the one that ends it.
  const std::size_t packetCount =
      extras.cutAndClose ? std::max<std::size_t>(1, payloads.size() / 2) : payloads.size();
  for (std::size_t i = 0; i < packetCount; ++i) {
    const auto& payload = payloads[i];
    const bool marker = i + 1 == payloads.size() && !extras.cutAndClose;
    PutInterleavedHeader(
        out, kRtpHeaderSize + csrcBytes + extensionBytes + payload.size() + paddingBytes);
    PutRtpHeader(out, first, marker, session.sequence++, session.timestamp, session.ssrc);
    if (extras.csrcAndExtension) {
      rcpwire::PutU32(out, session.ssrc ^ 0x01010101u);
      rcpwire::PutU32(out, session.ssrc ^ 0x02020202u);
      rcpwire::PutU16(out, kExtensionProfile);
      rcpwire::PutU16(out, 1);  // one 32-bit word follows
      rcpwire::PutU32(out, 0);
    }
    out.insert(out.end(), payload.begin(), payload.end());
    if (extras.padding) out.insert(out.end(), {0, 0, 0, kPaddingBytes});
  }
  if (extras.cutAndClose) {
    // Whatever is written goes out before the close; the client sees the picture break off.
    media.Send(out);
    media.Close();
    session.timestamp += kBaseTimestampStep * session.rate;
    return due + kBasePictureInterval * session.rate;
  }
  // A picture the connection refuses is lost as on a network; the numbering goes on.
  const bool sent = media.SendWithoutWaiting(out, kMaxBacklog);
  if (sent) {
    session.pictures += 1;
    session.packets += payloads.size();
    CountPicture(session.camera, payloads.size());
  }
  session.timestamp += kBaseTimestampStep * session.rate;
  session.picture = (session.picture + 1) % clip.pictureCount();

  // Absolute deadlines: a late wake-up shortens the next wait instead of shifting them all.
  const Clock::duration interval = kBasePictureInterval * session.rate;
  Clock::time_point next = due + interval;
  const Clock::time_point now = Clock::now();
  std::uint64_t skipped = 0;
  if (next < now - kMaxLag) {
    skipped = static_cast<std::uint64_t>((now - next) / interval);
    next = now;
  }
  CountTiming(session.camera, lateness, !sent, skipped);
  return next;
}

// Malformed packets carry the sequence number of the picture packet that follows them, so
// the real packets stay contiguous.
void VideoStreamer::AppendMalformed(std::vector<std::uint8_t>& out, const Session& session,
                                    MalformedPacket kind,
                                    std::span<const std::uint8_t> firstPayload) {
  std::vector<std::uint8_t> packet;
  auto header = [&](std::uint8_t first, bool marker) {
    PutRtpHeader(packet, first, marker, session.sequence, session.timestamp, session.ssrc);
  };
  // A mode A payload header for the picture, then a few bytes of H.263.
  const std::vector<std::uint8_t> shortPayload = {0x00, 0x40, 0x00, 0x00, 0x12, 0x34, 0x56, 0x78};
  switch (kind) {
    case MalformedPacket::kTruncatedRtpHeader: {
      header(kVersion2, false);
      packet.resize(
          std::uniform_int_distribution<std::size_t>(0, kRtpHeaderSize - 1)(senderRandom_));
      break;
    }
    case MalformedPacket::kWrongVersion:
      header(0x40, true);
      packet.insert(packet.end(), firstPayload.begin(), firstPayload.end());
      break;
    case MalformedPacket::kBadPaddingCount:
      header(kVersion2 | kPaddingBit, false);
      packet.insert(packet.end(), shortPayload.begin(), shortPayload.end());
      packet.push_back(0xFF);  // more padding than the whole packet
      break;
    case MalformedPacket::kOverlongCsrc:
      header(kVersion2 | 0x0F, false);  // 15 CSRCs would need 60 bytes
      packet.insert(packet.end(), shortPayload.begin(), shortPayload.end());
      break;
    case MalformedPacket::kOverlongExtension:
      header(kVersion2 | kExtensionBit, false);
      rcpwire::PutU16(packet, kExtensionProfile);
      rcpwire::PutU16(packet, 0xFFFF);
      packet.insert(packet.end(), shortPayload.begin(), shortPayload.end());
      break;
    case MalformedPacket::kShortPayloadHeader: {
      header(kVersion2, false);
      // Mode A cut short, mode B cut short, mode C cut short, mode B without data.
      static constexpr std::array<std::pair<std::uint8_t, std::size_t>, 4> kCuts = {
          {{0x00, 3}, {0x80, 6}, {0xC0, 10}, {0x80, 8}}};
      const auto [first, length] =
          kCuts[std::uniform_int_distribution<std::size_t>(0, kCuts.size() - 1)(senderRandom_)];
      packet.push_back(first);
      packet.resize(kRtpHeaderSize + length, 0x40);
      break;
    }
    case MalformedPacket::kRandomBytes: {
      const std::size_t length = std::uniform_int_distribution<std::size_t>(1, 200)(senderRandom_);
      for (std::size_t i = 0; i < length; ++i) {
        packet.push_back(static_cast<std::uint8_t>(senderRandom_()));
      }
      break;
    }
    case MalformedPacket::kCsrcAndExtension:
    case MalformedPacket::kPadding:
      return;  // valid: carried by the picture's own packets
  }
  PutInterleavedHeader(out, packet.size());
  out.insert(out.end(), packet.begin(), packet.end());
}

}  // namespace devicesim
