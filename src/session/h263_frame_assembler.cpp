// Frame assembly from RTP packets of an H.263 stream.
//
// Every byte here comes from the network. Headers are read through ByteReader, which never
// reads past the bytes it was given; a packet too short for the headers it announces is
// dropped, and a frame piece too short for its picture header is not intra.
#include "session/h263_frame_assembler.h"

#include <algorithm>

namespace corvane {

namespace {

constexpr unsigned kRtpVersion = 2;
constexpr unsigned kH263PayloadType = 34;
constexpr std::size_t kRtpFixedHeaderBytes = 12;
// Above this the frame buffer gives its storage back when the next frame starts.
constexpr std::size_t kFrameBufferKeepLimit = 0x200000;
// Far below the signed 32-bit message lengths of the host side.
static_assert(H263FrameAssembler::kMaxFrameBytes < 0x7FFFFFFF);

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

std::optional<H263FrameAssembler::Frame> H263FrameAssembler::AddPacket(
    std::span<const unsigned char> packet) {
  if (packet.size() <= kRtpFixedHeaderBytes) return std::nullopt;
  ByteReader reader(packet);
  const RtpFixedHeader header = ReadRtpFixedHeader(reader);
  if (header.version != kRtpVersion) return std::nullopt;
  SkipCsrcList(reader, header.csrcCount);
  if (header.extension) SkipHeaderExtension(reader);
  if (!reader.ok() || reader.remaining() == 0) return std::nullopt;
  if (header.payloadType != kH263PayloadType) return std::nullopt;

  std::size_t payloadLength = reader.remaining();
  if (header.padding) {
    // The last byte counts the padding; more than the payload is a broken packet.
    const std::size_t paddingLength = packet.back();
    if (paddingLength > payloadLength) return std::nullopt;
    payloadLength -= paddingLength;
  }
  return AddPayload(packet.subspan(reader.position(), payloadLength), header.marker);
}

std::optional<H263FrameAssembler::Frame> H263FrameAssembler::AddPayload(
    std::span<const unsigned char> payload, bool marker) {
  FinishReturnedFrame();
  const H263PayloadHeader header = ReadH263PayloadHeader(payload);
  if (payload.size() > header.length) {
    const std::span<const unsigned char> data = payload.subspan(header.length);
    // A last byte with end bits waits for the next packet, which brings its other bits.
    const std::size_t held = header.ebit != 0 ? 1 : 0;
    if (carryEbit == 0) {
      AppendFrameData(data.first(data.size() - held));
    } else {
      const auto joined = static_cast<unsigned char>(
          (data[0] & (0xFF >> header.sbit)) +
          (carryByte & static_cast<unsigned char>(0xFF << carryEbit)));
      AppendFrameData(std::span<const unsigned char>(&joined, 1));
      // One data byte with end bits: the joined byte was all of it, and it is held as well.
      AppendFrameData(data.size() > 1 + held ? data.subspan(1, data.size() - 1 - held)
                                             : std::span<const unsigned char>());
    }
    carryEbit = header.ebit;
    carryByte = payload.back();
  } else {
    carryEbit = 0;
    carryByte = 0;
  }

  if (oversized) [[unlikely]] {
    // The rest of this packet goes with the dropped frame.
    oversized = false;
    frameBuffer.clear();
    frameStart = true;
    return Frame{{}, false, true};
  }
  if (!marker) return std::nullopt;
  if (frameBuffer.empty()) {
    // A marker on a frame without data (header-only packets): nothing to hand over.
    frameStart = true;
    return std::nullopt;
  }
  frameReturned = true;
  return Frame{frameBuffer, keyFrame};
}

void H263FrameAssembler::FinishReturnedFrame() {
  if (!frameReturned) return;
  frameReturned = false;
  frameBuffer.clear();
  StartFrame();
}

void H263FrameAssembler::Reset() {
  ClearFrameBuffer();
  carryEbit = 0;
  carryByte = 0;
  keyFrame = false;
  frameReturned = false;
  frameStart = true;
  oversized = false;
}

void H263FrameAssembler::ClearFrameBuffer() {
  frameBuffer.clear();
  // One huge frame must not pin its memory for the rest of the stream.
  if (frameBuffer.capacity() > kFrameBufferKeepLimit) std::vector<unsigned char>().swap(frameBuffer);
}

void H263FrameAssembler::DropOversizedFrame() {
  std::vector<unsigned char>().swap(frameBuffer);
  frameStart = true;
  oversized = true;
}

std::span<const unsigned char> H263FrameAssembler::pending() const {
  if (frameReturned) return {};
  return frameBuffer;
}

// ---- Frame assembly -----------------------------------------------------------------------

void H263FrameAssembler::AppendFrameData(std::span<const unsigned char> piece) {
  if (frameStart) {
    frameStart = false;
    ClearFrameBuffer();
    keyFrame = StartsWithIntraPicture(piece);
  }
  if (piece.empty()) return;
  const std::size_t size = frameBuffer.size();
  if (size + piece.size() > frameBuffer.capacity()) {
    // Only growth can pass the limit: the capacity never goes beyond it, so the common path
    // needs no check of its own.
    if (piece.size() > kMaxFrameBytes - size) {
      DropOversizedFrame();
      return;
    }
    frameBuffer.reserve(std::min(size + std::max(size, piece.size()), kMaxFrameBytes));
  }
  frameBuffer.insert(frameBuffer.end(), piece.begin(), piece.end());
}

}  // namespace corvane
