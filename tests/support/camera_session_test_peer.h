// Reaches into a camera session for tests, fuzz targets and benchmarks that drive its
// callbacks themselves. Free of GoogleTest, so that programs without it can use it too.
#pragma once

#include <cstdint>
#include <mutex>
#include <span>
#include <string>

#include "session/bosch_ip_camera_info.h"

namespace corvane {

struct CBoschIPCameraInfoTestPeer {
  using Session = CBoschIPCameraInfo;

  // Ends a new session's worker thread before it connects anywhere and leaves the session
  // as a new connection finds it: active, nothing under assembly. False when the thread did not end
  // in time. Afterwards nothing but the caller waits on the session's events.
  static bool ParkWorker(Session& session) {
    session.stopping = true;
    session.startEvent.Set();
    if (!session.thread.Join(5000)) return false;
    // A worker that saw the stop before its first wait left the wake-up signalled.
    session.startEvent.Reset();
    session.active = true;
    session.assembler.Reset();
    return true;
  }

  // ---- The library's callbacks, as the library makes them.
  static void RtpPacket(Session* session, std::span<const unsigned char> packet,
                        rcpplus::RtpPayloadType type = rcpplus::kRtpPayloadRawPacket) {
    Session::OnRtpPacket(session, type, packet.data(), static_cast<int>(packet.size()));
  }
  static void RtpPacket(Session* session, const unsigned char* data, int length) {
    Session::OnRtpPacket(session, rcpplus::kRtpPayloadRawPacket, data, length);
  }
  static void RcpMessage(Session* session, rcpplus::RcpHeader& header,
                         rcpplus::RcpInputStream& message) {
    Session::OnRcpMessage(session, header, message);
  }
  static void CoderListReply(Session* session, rcpplus::RcpHeader& header,
                             rcpplus::RcpInputStream& reply) {
    Session::ReadCodersReply(session, header, reply);
  }
  static void SettingsReply(Session* session, rcpplus::RcpHeader& header,
                            rcpplus::RcpInputStream& reply) {
    Session::SettingsReply(session, header, reply);
  }

  static std::string BuildDeviceAddress(const Session& session) {
    return session.BuildDeviceAddress();
  }
  static std::int32_t VideoMessageBufferSize(std::int32_t length) {
    return Session::VideoMessageBufferSize(length);
  }

  // ---- State.
  static std::atomic<bool>& Active(Session& session) { return session.active; }
  static std::atomic<std::uint32_t>& CoderNumber(Session& session) { return session.coderNumber; }
  static std::atomic<std::uint32_t>& SessionId(Session& session) { return session.sessionId; }
  static std::atomic<std::uint32_t>& ErrorCount(Session& session) { return session.errorCount; }
  static std::atomic<std::uint32_t>& AllocFailureCount(Session& session) {
    return session.allocFailureCount;
  }
  // The latest start request, as the worker will take it for its next connection.
  struct Request {
    std::int32_t qualityLevel;
    std::int32_t resolution;
    std::uint32_t frameInterval;
    std::uint16_t width;
    std::uint16_t height;
  };
  static Request LatestRequest(Session& session) {
    std::lock_guard guard(session.requestLock);
    const Session::StreamRequest& r = session.latestRequest;
    return Request{r.qualityLevel, r.resolution, r.frameInterval, r.width, r.height};
  }
  // The size frames are labelled with, apart from the request's.
  static std::atomic<std::uint16_t>& FrameWidth(Session& session) { return session.frameWidth; }
  static std::atomic<std::uint16_t>& FrameHeight(Session& session) { return session.frameHeight; }
  static std::atomic<std::uint32_t>& OversizeCount(Session& session) {
    return session.oversizeCount;
  }
  static std::atomic<std::uint16_t>& Line(Session& session) { return session.line; }
  static Session::ParseMpegHeaderFunction& ParseMpegHeader(Session& session) {
    return session.parseMpegHeader;
  }
  static const H263FrameAssembler& Assembler(const Session& session) { return session.assembler; }
  static CRecursiveLock& ReceiveLock(Session& session) { return session.receiveLock; }
  static platform::Thread& Thread(Session& session) { return session.thread; }
  static platform::Event& ReplyEvent(Session& session) { return session.replyEvent; }
  // Steady-clock nanoseconds of the last sign of life the watchdog has seen; 0 for none.
  static std::atomic<std::int64_t>& LastFrameAt(Session& session) { return session.lastFrameAtNs; }
};

}  // namespace corvane
