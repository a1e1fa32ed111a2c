// Video reception: the RTP packets of the session's video connection are stripped of their
// RTP (RFC 3550) and H.263 payload (RFC 2190) headers, joined into frames and handed to the
// host at each RTP marker.
//
// Every byte here comes from the network. Headers are read through ByteReader, which never
// reads past the bytes it was given; a packet too short for the headers it announces is
// dropped, and a frame piece too short for its picture header is not intra.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstring>
#include <span>

#include "session/bosch_ip_camera_info.h"

namespace corvane {

namespace {

constexpr unsigned kRtpVersion = 2;
constexpr unsigned kH263PayloadType = 34;
constexpr std::size_t kRtpFixedHeaderBytes = 12;
// Above this the frame buffer gives its storage back when the next frame starts.
constexpr std::size_t kFrameBufferKeepLimit = 0x200000;
// Message lengths are signed 32-bit on the host side.
constexpr std::size_t kMaxFrameBytes = INT32_MAX;
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

// Reads big-endian fields from untrusted bytes. A read past the end fails, yields 0 and
// leaves the reader failed for good, so a caller checks ok() once after a header section.
class ByteReader {
 public:
  explicit ByteReader(std::span<const unsigned char> bytes) : bytes_(bytes) {}

  std::uint8_t ReadU8() {
    if (!Has(1)) return 0;
    return bytes_[position_++];
  }
  std::uint16_t ReadU16() {
    const std::uint8_t high = ReadU8();
    const std::uint8_t low = ReadU8();
    return static_cast<std::uint16_t>(high << 8 | low);
  }
  void Skip(std::size_t count) {
    if (Has(count)) position_ += count;
  }

  bool ok() const { return ok_; }
  std::size_t position() const { return position_; }
  std::size_t remaining() const { return ok_ ? bytes_.size() - position_ : 0; }

 private:
  bool Has(std::size_t count) {
    if (ok_ && count <= bytes_.size() - position_) return true;
    ok_ = false;
    return false;
  }

  std::span<const unsigned char> bytes_;
  std::size_t position_ = 0;
  bool ok_ = true;
};

// ---- RTP (RFC 3550) ------------------------------------------------------------------------

struct RtpFixedHeader {
  unsigned version = 0;
  bool padding = false;
  bool extension = false;
  unsigned csrcCount = 0;
  bool marker = false;
  unsigned payloadType = 0;
};

//  0                   1                   2                   3
//  0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |V=2|P|X|  CC   |M|     PT      |       sequence number         |
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |                           timestamp                           |
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |           synchronization source (SSRC) identifier            |
// +=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+
// Sequence number, timestamp and SSRC are not used: lost packets are not detected.
RtpFixedHeader ReadRtpFixedHeader(ByteReader& reader) {
  RtpFixedHeader header;
  const std::uint8_t first = reader.ReadU8();
  const std::uint8_t second = reader.ReadU8();
  header.version = first >> 6;
  header.padding = (first & 0x20) != 0;
  header.extension = (first & 0x10) != 0;
  header.csrcCount = first & 0x0F;
  header.marker = (second & 0x80) != 0;
  header.payloadType = second & 0x7F;
  reader.Skip(kRtpFixedHeaderBytes - 2);
  return header;
}

// +=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+
// |            contributing source (CSRC) identifiers             |
// |                             ....                              |
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// CC identifiers of 32 bits each.
void SkipCsrcList(ByteReader& reader, unsigned count) { reader.Skip(4 * std::size_t{count}); }

//  0                   1                   2                   3
//  0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |      defined by profile       |           length              |
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |                        header extension                       |
// |                             ....                              |
// length counts the 32-bit words after the first one. Computed wide: in 16 bits a large
// length would wrap round and the extension would be taken for payload.
void SkipHeaderExtension(ByteReader& reader) {
  reader.Skip(2);
  const std::uint16_t words = reader.ReadU16();
  reader.Skip(4 * std::size_t{words});
}

// ---- H.263 payload header (RFC 2190) ------------------------------------------------------

struct H263PayloadHeader {
  std::size_t length = 0;  // 4, 8 or 12 bytes
  std::uint8_t sbit = 0;   // bits of the first data byte that belong to the previous packet
  std::uint8_t ebit = 0;   // bits of the last data byte that belong to the next packet
};

// First byte of every mode:
//  0 1 2 3 4 5 6 7
// +-+-+-+-+-+-+-+-+
// |F|P|SBIT |EBIT |
// +-+-+-+-+-+-+-+-+
// F = 0: mode A, 4 bytes; F = 1, P = 0: mode B, 8 bytes; F = 1, P = 1: mode C, 12 bytes.
// The rest of the header (SRC, I, U, S, A, TR, GOBN, MBA, motion vectors) is not needed:
// the picture header inside the data says all we use. An empty payload reads as a bare
// mode-A header, so it counts as header-only.
H263PayloadHeader ReadH263PayloadHeader(std::span<const unsigned char> payload) {
  H263PayloadHeader header;
  ByteReader reader(payload);
  const std::uint8_t first = reader.ReadU8();
  const bool f = (first & 0x80) != 0;
  const bool p = (first & 0x40) != 0;
  header.length = !f ? 4 : !p ? 8 : 12;
  header.sbit = (first >> 3) & 0x07;
  header.ebit = first & 0x07;
  return header;
}

// ---- H.263 picture header -----------------------------------------------------------------

// Whether a frame's first piece starts with an intra picture (H.263 5.1):
//  0                   1                   2                   3
//  0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |   PSC = 0000 0000 0000 0000 1000 00       |      TR       |1|0|
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |S|D|F| SRC |I|    (SRC 1..5: the rest of PTYPE; I = 0 is intra)
// +-+-+-+-+-+-+-+
// |S|D|F|1 1 1|   UFEP  | OPPTYPE (18 bits, when UFEP = 001) | PCT | ...
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// SRC 111 announces PLUSPTYPE, whose picture coding type PCT = 000 is intra. The PCT sits in
// byte 7 after an OPPTYPE and in byte 5 without one.
bool StartsWithIntraPicture(std::span<const unsigned char> piece) {
  ByteReader reader(piece);
  const std::uint8_t b0 = reader.ReadU8();
  const std::uint8_t b1 = reader.ReadU8();
  const std::uint8_t b2 = reader.ReadU8();
  reader.Skip(1);
  const std::uint8_t b4 = reader.ReadU8();
  if (!reader.ok() || b0 != 0 || b1 != 0 || (b2 & 0xFC) != 0x80) return false;
  if ((b4 & 0x1C) != 0x1C) return (b4 & 0x02) == 0;
  const std::uint8_t b5 = reader.ReadU8();
  if ((b5 & 0x80) == 0) return reader.ok() && (b5 & 0x70) == 0;
  reader.Skip(1);
  const std::uint8_t b7 = reader.ReadU8();
  return reader.ok() && (b7 & 0x1C) == 0;
}

}  // namespace

// ---- Packets ------------------------------------------------------------------------------

void CBoschIPCameraInfo::OnRtpPacket(void* context, rcpplus::RtpPayloadType type,
                                     const unsigned char* data, int length) {
  if (!context || type != rcpplus::kRtpPayloadRawPacket) return;
  auto* session = static_cast<CBoschIPCameraInfo*>(context);
  // Held across the host's OnVideoFrame: one packet at a time, frames in order.
  CAutoLock lock(session->receiveLock);
  session->callbackThreads.RegisterCurrentThread();
  session->ProcessRtpPacket(data, length);
}

void CBoschIPCameraInfo::ProcessRtpPacket(const unsigned char* data, int length) {
  if (!data || length <= static_cast<int>(kRtpFixedHeaderBytes)) return;
  const std::span<const unsigned char> packet(data, static_cast<std::size_t>(length));
  ByteReader reader(packet);
  const RtpFixedHeader header = ReadRtpFixedHeader(reader);
  if (header.version != kRtpVersion) return;
  SkipCsrcList(reader, header.csrcCount);
  if (header.extension) SkipHeaderExtension(reader);
  if (!reader.ok() || reader.remaining() == 0) return;
  if (header.payloadType != kH263PayloadType) return;

  std::size_t payloadLength = reader.remaining();
  if (header.padding) {
    // The last byte counts the padding; more than the payload is a broken packet.
    const std::size_t paddingLength = packet.back();
    if (paddingLength > payloadLength) return;
    payloadLength -= paddingLength;
  }
  OnH263Payload(data + reader.position(), static_cast<int>(payloadLength), header.marker);
}

void CBoschIPCameraInfo::OnH263Payload(const unsigned char* payload, int length, bool marker) {
  const std::span<const unsigned char> bytes(
      payload, payload && length > 0 ? static_cast<std::size_t>(length) : 0);
  const H263PayloadHeader header = ReadH263PayloadHeader(bytes);
  if (bytes.size() > header.length) {
    const std::size_t dataLength = bytes.size() - header.length;
    const unsigned char* data = bytes.data() + header.length;
    // A last byte with end bits waits for the next packet, which brings its other bits.
    const int held = header.ebit != 0 ? 1 : 0;
    if (carryEbit == 0) {
      AppendFrameData(data, static_cast<int>(dataLength) - held);
    } else {
      const auto joined = static_cast<unsigned char>(
          (data[0] & (0xFF >> header.sbit)) + (carryByte & static_cast<unsigned char>(0xFF << carryEbit)));
      AppendFrameData(&joined, 1);
      AppendFrameData(data + 1, static_cast<int>(dataLength) - 1 - held);
    }
    carryEbit = header.ebit;
    carryByte = bytes.back();
  } else {
    carryEbit = 0;
    carryByte = 0;
  }

  if (!marker) return;
  if (active && DeliverFrame(keyFrame, channelIndex, frameBuffer.data(),
                             static_cast<int>(frameBuffer.size())))
    frameEvent.Set();
  frameBuffer.clear();
  frameStart = true;
}

// ---- Frame assembly -----------------------------------------------------------------------

void CBoschIPCameraInfo::AppendFrameData(const unsigned char* bytes, int count) {
  const std::span<const unsigned char> piece(
      bytes, bytes && count > 0 ? static_cast<std::size_t>(count) : 0);
  if (frameStart) {
    frameStart = false;
    frameBuffer.clear();
    // One huge frame must not pin its memory for the rest of the stream.
    if (frameBuffer.capacity() > kFrameBufferKeepLimit) std::vector<unsigned char>().swap(frameBuffer);
    keyFrame = StartsWithIntraPicture(piece);
  }
  if (piece.empty()) return;
  const std::size_t size = frameBuffer.size();
  // A frame the host could not be told the length of is cut there.
  if (piece.size() > kMaxFrameBytes - size) return;
  if (size + piece.size() > frameBuffer.capacity())
    frameBuffer.reserve(size + std::max(size, piece.size()));
  frameBuffer.insert(frameBuffer.end(), piece.begin(), piece.end());
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
    width = static_cast<std::uint16_t>(parsedWidth);
    height = static_cast<std::uint16_t>(parsedHeight);
    code = width > kSmallPictureMaxWidth ? kFourCCIntraLarge : kFourCCIntraSmall;
  } else {
    code = width > kSmallPictureMaxWidth ? kFourCCOtherLarge : kFourCCOtherSmall;
  }

  const std::int32_t size = VideoMessageBufferSize(length);
  CVideoMessage* message = allocator->AllocVideoMsg(code, size, kMessageOwner);
  if (!message) {
    waitForKeyFrame = true;
    if (ShouldLogError(allocFailureCount))
      Handler().Log(kLogError, "CVeltrane->AllocVideoMsg failed.");
    return true;
  }

  const std::uint16_t frameWidth = width;
  message->SetWidth(frameWidth);
  message->SetHeight(height);
  message->SetSizeClass(frameWidth > kSmallPictureMaxWidth ? kSizeClassLarge : kSizeClassSmall);
  message->SetDataLength(static_cast<std::uint32_t>(std::max(length, 0)));
  unsigned char* buffer = message->GetBuffer();
  const int copied = std::min(length, size);
  if (buffer && data && copied > 0) std::memcpy(buffer, data, static_cast<std::size_t>(copied));
  message->SetFourCC(code);
  message->Finish();

  if (active && user->OnVideoFrame(channel, nullptr, message) < 1) waitForKeyFrame = true;
  allocator->ReleaseVideoMsg(message);
  ++framesDelivered;
  return true;
}

}  // namespace corvane
