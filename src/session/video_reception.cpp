// Video reception: the RTP packets of the session's video connection go through the frame
// assembler, and each frame it completes is handed to the host in a video message.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <span>

#include "session/bosch_ip_camera_info.h"

namespace corvane {

namespace {

constexpr const char* kMessageOwner = "CVeltrane";
// Wider pictures get the large-picture codes and size class.
constexpr std::uint16_t kSmallPictureMaxWidth = 380;
constexpr std::int32_t kSizeClassSmall = 2;
constexpr std::int32_t kSizeClassLarge = 4;

// Four letters in memory order, the first in the low byte.
constexpr std::uint32_t FourCC(char a, char b, char c, char d) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(a)) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b)) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(c)) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(d)) << 24;
}
constexpr std::uint32_t kFourCCIntraSmall = FourCC('D', 'I', 'V', 'X');
constexpr std::uint32_t kFourCCIntraLarge = FourCC('D', 'I', 'V', 'D');
constexpr std::uint32_t kFourCCOtherSmall = FourCC('D', 'I', 'V', 'I');
constexpr std::uint32_t kFourCCOtherLarge = FourCC('D', 'I', 'V', 'P');

}  // namespace

// ---- Packets ------------------------------------------------------------------------------

void CBoschIPCameraInfo::OnRtpPacket(void* context, rcpplus::RtpPayloadType type,
                                     const unsigned char* data, int length) {
  if (!context || type != rcpplus::kRtpPayloadRawPacket) return;
  auto* session = static_cast<CBoschIPCameraInfo*>(context);
  // Held across the host's OnVideoFrame: one packet at a time, frames in order.
  CAutoLock lock(session->receiveLock);
  session->callbackThreads.RegisterCurrentThread();
  if (!data || length <= 0) return;
  const auto frame =
      session->assembler.AddPacket(std::span<const unsigned char>(data, static_cast<std::size_t>(length)));
  if (!frame) return;
  if (frame->oversized) [[unlikely]] {
    session->DropOversizedFrame();
    return;
  }
  if (session->active &&
      session->DeliverFrame(frame->keyFrame, session->channelIndex, frame->data.data(),
                            static_cast<int>(frame->data.size())))
    session->lastFrameAtNs.store(std::chrono::steady_clock::now().time_since_epoch().count(),
                                 std::memory_order_release);
}

void CBoschIPCameraInfo::DropOversizedFrame() {
  waitForKeyFrame = true;
  if (ShouldLogError(oversizeCount))
    Handler().Log(kLogError,
                  "CBoschIPCameraInfo: frame of channel %u above %zu bytes without an end, "
                  "dropped; waiting for the next intra frame.",
                  static_cast<unsigned>(channelIndex), H263FrameAssembler::kMaxFrameBytes);
}

void CBoschIPCameraInfo::ResetReception() {
  CAutoLock lock(receiveLock);
  assembler.Reset();
  waitForKeyFrame = true;
}

// ---- Delivery -----------------------------------------------------------------------------

std::int32_t CBoschIPCameraInfo::VideoMessageBufferSize(std::int32_t length) {
  if (length <= 4096) return 4096;
  if (length <= 16384) return 16384;
  if (length <= 32768) return 32768;
  if (length <= 131072) return 131072;
  return length;
}

bool CBoschIPCameraInfo::DeliverFrame(bool intra, std::uint8_t channel, const unsigned char* data,
                                      int length) {
  if (waitForKeyFrame) {
    if (!intra) return true;
    waitForKeyFrame = false;
  }
  CCaptureAPIUser* user = owner->GetCaptureUser();
  CVideoAllocator* allocator = owner->GetVideoAllocator();
  if (!user || !allocator) return true;

  std::uint32_t code;
  if (intra) {
    int parsedWidth = 0;
    int parsedHeight = 0;
    if (!parseMpegHeader || parseMpegHeader(data, length, &parsedWidth, &parsedHeight) <= 0) {
      waitForKeyFrame = true;
      return false;
    }
    frameWidth = static_cast<std::uint16_t>(parsedWidth);
    frameHeight = static_cast<std::uint16_t>(parsedHeight);
    code = frameWidth > kSmallPictureMaxWidth ? kFourCCIntraLarge : kFourCCIntraSmall;
  } else {
    code = frameWidth > kSmallPictureMaxWidth ? kFourCCOtherLarge : kFourCCOtherSmall;
  }

  const std::int32_t size = VideoMessageBufferSize(length);
  CVideoMessage* message = allocator->AllocVideoMsg(code, size, kMessageOwner);
  if (!message) {
    waitForKeyFrame = true;
    if (ShouldLogError(allocFailureCount))
      Handler().Log(kLogError, "CVeltrane->AllocVideoMsg failed.");
    return true;
  }

  const std::uint16_t deliveredWidth = frameWidth;
  message->SetWidth(deliveredWidth);
  message->SetHeight(frameHeight);
  message->SetSizeClass(deliveredWidth > kSmallPictureMaxWidth ? kSizeClassLarge : kSizeClassSmall);
  message->SetDataLength(static_cast<std::uint32_t>(std::max(length, 0)));
  unsigned char* buffer = message->GetBuffer();
  const int copied = std::min(length, size);
  if (buffer && data && copied > 0) std::memcpy(buffer, data, static_cast<std::size_t>(copied));
  message->SetFourCC(code);
  message->Finish();

  BeforeBlockingStep();
  if (active && user->OnVideoFrame(channel, nullptr, message) < 1) waitForKeyFrame = true;
  // A host that returns only after Close gave up on this session gets no further call: its
  // allocator may be gone by then. The message is left to it.
  if (!Detached()) allocator->ReleaseVideoMsg(message);
  ++framesDelivered;
  return true;
}

}  // namespace corvane
