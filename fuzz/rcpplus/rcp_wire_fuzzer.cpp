// Arbitrary bytes into every parser of the wire codec: frames, interleaved RTP, registration
// payloads and device addresses. The first byte picks how the rest is cut into feeds.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "rcp_wire.h"

namespace {

// A decoded frame encodes back to a frame that decodes to the same fields.
void CheckRoundTrip(const rcpwire::Frame& frame) {
  std::vector<std::uint8_t> bytes;
  rcpwire::Encode(frame, bytes);
  rcpwire::FrameDecoder decoder;
  decoder.Feed(bytes);
  rcpwire::Frame again;
  if (decoder.Next(again) != rcpwire::FrameDecoder::Status::kFrame ||
      again.commandWord != frame.commandWord || again.action != frame.action ||
      again.requestId != frame.requestId || again.clientId != frame.clientId ||
      again.sessionId != frame.sessionId || again.line != frame.line ||
      again.payload != frame.payload) {
    __builtin_trap();
  }
}

void CheckItem(const rcpwire::Frame& frame) { CheckRoundTrip(frame); }
void CheckItem(std::span<const std::uint8_t> packet) {
  // The view must be readable in full.
  volatile std::uint8_t sum = 0;
  for (const std::uint8_t b : packet) sum = static_cast<std::uint8_t>(sum + b);
}

template <typename Decoder, typename Item, typename Status>
void FeedInPieces(Decoder& decoder, std::span<const std::uint8_t> bytes, std::size_t piece,
                  Item& item, Status more) {
  for (std::size_t at = 0; at < bytes.size(); at += piece) {
    decoder.Feed(bytes.subspan(at, std::min(piece, bytes.size() - at)));
    Status status;
    while ((status = decoder.Next(item)) != more) {
      if (status == Status::kError) return;
      CheckItem(item);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t piece = static_cast<std::size_t>(data[0] % 64) + 1;
  const std::span<const std::uint8_t> bytes(data + 1, size - 1);

  rcpwire::FrameDecoder frames;
  rcpwire::Frame frame;
  FeedInPieces(frames, bytes, piece, frame, rcpwire::FrameDecoder::Status::kNeedMore);

  rcpwire::InterleavedDecoder interleaved;
  std::span<const std::uint8_t> packet;
  FeedInPieces(interleaved, bytes, piece, packet, rcpwire::InterleavedDecoder::Status::kNeedMore);

  if (const auto registration = rcpwire::DecodeRegistration(bytes)) {
    const auto again = rcpwire::EncodeRegistration(registration->user, registration->digest);
    if (!std::equal(again.begin(), again.end(), bytes.begin(), bytes.end())) __builtin_trap();
  }

  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (const auto address = rcpwire::ParseDeviceAddress(text)) {
    if (address->host.empty() || address->port == 0) __builtin_trap();
  }
  return 0;
}
