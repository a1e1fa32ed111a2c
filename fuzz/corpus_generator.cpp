// Writes the seed corpora of the fuzz targets from real protocol messages: frames made by
// the wire codec, answers made by the simulated device, RTP packets of the simulator's
// H.263 clips and the shipped device-type files. Run from the fuzz build:
//   fuzz_corpus_generator <source folder>
// It replaces the files it writes under fuzz/<subsystem>/corpus/<target>/.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "device_model.h"
#include "h263_clip.h"
#include "h263_packetizer.h"
#include "rcp_wire.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

fs::path g_root;

void Write(const std::string& folder, const std::string& name, const Bytes& bytes) {
  const fs::path dir = g_root / "fuzz" / folder;
  fs::create_directories(dir);
  std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void Append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

Bytes Frame(std::uint32_t commandWord, std::uint8_t action, std::uint8_t requestId,
            std::uint16_t line, Bytes payload, std::uint32_t sessionId = 0) {
  rcpwire::Frame f;
  f.commandWord = commandWord;
  f.action = action;
  f.requestId = requestId;
  f.clientId = 0x0101;
  f.sessionId = sessionId;
  f.line = line;
  f.payload = std::move(payload);
  Bytes out;
  rcpwire::Encode(f, out);
  return out;
}

Bytes U32(std::uint32_t v) {
  Bytes out;
  rcpwire::PutU32(out, v);
  return out;
}

// Builds inputs in the order a FuzzedDataProvider takes them: byte arrays from the front,
// integers from the back (the last byte first, most significant first).
class ProviderInput {
 public:
  void Int(std::uint64_t value, std::uint64_t min, std::uint64_t max) {
    const std::uint64_t range = max - min;
    std::uint64_t v = value - min;
    Bytes bytes;
    for (std::uint64_t r = range; r > 0; r >>= 8) {
      bytes.push_back(static_cast<std::uint8_t>(v));
      v >>= 8;
    }
    std::reverse(bytes.begin(), bytes.end());
    back_.insert(back_.end(), bytes.begin(), bytes.end());
  }
  void Bool(bool value) { Int(value ? 1 : 0, 0, 255); }
  void Raw(const Bytes& bytes) { Append(front_, bytes); }
  Bytes Done() const {
    Bytes out = front_;
    out.insert(out.end(), back_.rbegin(), back_.rend());
    return out;
  }

 private:
  Bytes front_;
  Bytes back_;
};

// ---- RTP from the clips

Bytes Rtp(const Bytes& payload, std::uint16_t sequence, std::uint32_t timestamp, bool marker) {
  Bytes out = {0x80, static_cast<std::uint8_t>((marker ? 0x80 : 0x00) | 34)};
  rcpwire::PutU16(out, sequence);
  rcpwire::PutU32(out, timestamp);
  rcpwire::PutU32(out, 0x1234ABCD);
  Append(out, payload);
  return out;
}

// The RTP packets of the first pictures of a clip.
std::vector<Bytes> ClipPackets(const std::string& clip, std::size_t pictures, std::size_t maxPayload,
                               bool splitAtBits) {
  devicesim::H263Clip h263;
  std::string error;
  if (!h263.Load((g_root / "tools/devicesim/clips" / clip).string(), error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    std::exit(1);
  }
  devicesim::H263PacketizerOptions options;
  options.maxPayload = maxPayload;
  options.splitAtBits = splitAtBits;
  devicesim::H263Packetizer packetizer(options);
  std::vector<Bytes> packets;
  std::uint16_t sequence = 1000;
  for (std::size_t p = 0; p < std::min(pictures, h263.pictureCount()); ++p) {
    const auto payloads = packetizer.Packetize(h263.Picture(p));
    for (std::size_t i = 0; i < payloads.size(); ++i) {
      packets.push_back(Rtp(payloads[i], sequence++, static_cast<std::uint32_t>(3600 * p),
                            i + 1 == payloads.size()));
    }
  }
  return packets;
}

Bytes PictureBytes(const std::string& clip, std::size_t picture, std::size_t limit) {
  devicesim::H263Clip h263;
  std::string error;
  h263.Load((g_root / "tools/devicesim/clips" / clip).string(), error);
  const auto bytes = h263.Picture(picture);
  return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(limit, bytes.size())));
}

// ---- Corpora

void WireCorpora() {
  const Bytes challenge = Frame(rcpwire::kCmdChallenge, rcpwire::kMessage, 0, 0, Bytes(16, 0x5A));
  std::array<std::uint8_t, 32> digest{};
  digest.fill(0x11);
  const Bytes registration = rcpwire::EncodeRegistration("service", digest);
  const Bytes registerRequest =
      Frame(rcpwire::kCmdRegister, rcpwire::kRequest, 1, 0, registration);
  const Bytes registerReply = Frame(rcpwire::kCmdRegister, rcpwire::kReply, 1, 0, {0x01, 0x01});
  const Bytes coderRequest = Frame(0xFF110C30, rcpwire::kRequest, 2, 1, {1, 0, 1});
  devicesim::DeviceModel model(2, 4, 2, true);
  const Bytes coderReply = Frame(0xFF110C30, rcpwire::kReply, 2, 1, model.Handle(0xFF110C30, 1, {}).payload);
  const Bytes setting = Frame(0x06060831, rcpwire::kRequest, 3, 1, U32(24));
  const Bytes error = Frame(0x06060831, rcpwire::kError, 3, 1, {0x80});
  const Bytes inputMessage = Frame(0x01C00030, rcpwire::kMessage, 0, 3, {1}, 77);
  const Bytes sessionMessage = Frame(rcpwire::kCmdSessionId, rcpwire::kMessage, 0, 1, {}, 77);

  Bytes control = {7};
  for (const Bytes* b : {&challenge, &registerRequest, &registerReply, &coderRequest, &coderReply,
                         &setting, &error, &inputMessage, &sessionMessage}) {
    Append(control, *b);
  }
  Write("rcpplus/corpus/rcp_wire_fuzzer", "control_stream", control);
  Bytes one = {63};
  Append(one, coderReply);
  Write("rcpplus/corpus/rcp_wire_fuzzer", "coder_reply", one);
  Bytes reg = {0};
  Append(reg, registration);
  Write("rcpplus/corpus/rcp_wire_fuzzer", "registration_payload", reg);
  const std::string address = "http://service:pa:ss@word@127.0.0.1:1756";
  Bytes text = {3};
  text.insert(text.end(), address.begin(), address.end());
  Write("rcpplus/corpus/rcp_wire_fuzzer", "device_address", text);

  // Media connections: handshake, then interleaved RTP of real pictures.
  const auto packets = ClipPackets("qcif.263", 3, 400, true);
  Bytes interleaved;
  for (const Bytes& p : packets) rcpwire::EncodeInterleaved(p, interleaved);
  interleaved.resize(std::min<std::size_t>(interleaved.size(), 12000));
  for (const std::uint8_t piece : {0, 9, 200}) {
    Bytes in = {piece};
    Append(in, interleaved);
    Write("rcpplus/corpus/interleaved_fuzzer", "qcif_piece" + std::to_string(piece), in);

    Bytes media = {piece};
    Append(media, challenge);
    Append(media, registerReply);
    Append(media, Frame(rcpwire::kCmdMediaOpen, rcpwire::kReply, 2, 1, {}, 77));
    Append(media, interleaved);
    Write("rcpplus/corpus/media_stream_fuzzer", "qcif_piece" + std::to_string(piece), media);
  }
  Bytes refused = {5};
  Append(refused, challenge);
  Append(refused, registerReply);
  Append(refused, Frame(rcpwire::kCmdMediaOpen, rcpwire::kError, 2, 1, {0xB0}, 77));
  Write("rcpplus/corpus/media_stream_fuzzer", "open_refused", refused);
}

void DeviceCorpora() {
  std::array<std::uint8_t, 32> digest{};
  const std::vector<Bytes> requests = {
      Frame(rcpwire::kCmdRegister, rcpwire::kRequest, 1, 0, rcpwire::EncodeRegistration("user", digest)),
      Frame(0xFF110C30, rcpwire::kRequest, 2, 1, {1, 0, 1}),
      Frame(0x06060831, rcpwire::kRequest, 3, 1, U32(24)),
      Frame(0x06040831, rcpwire::kRequest, 4, 1, U32(1)),
      Frame(0x06080831, rcpwire::kRequest, 5, 1, U32(1)),
      Frame(0x060A0831, rcpwire::kRequest, 6, 1, U32(0)),
      Frame(0x060B0831, rcpwire::kRequest, 7, 1, U32(0)),
      Frame(0x06070831, rcpwire::kRequest, 8, 1, U32(3)),
      Frame(0x06000831, rcpwire::kRequest, 0, 1, U32(1)),
      Frame(0x06050831, rcpwire::kRequest, 0, 1, U32(77)),
      Frame(0x01DB0830, rcpwire::kRequest, 9, 0, {0}),
      Frame(0x01DC0830, rcpwire::kRequest, 10, 0, {0}),
      Frame(0x008D0131, rcpwire::kRequest, 0, 1, {1}),
      Frame(0x00930131, rcpwire::kRequest, 0, 1, {1}),
      Frame(0x00930130, rcpwire::kRequest, 11, 1, {0}),
      Frame(0x01C00030, rcpwire::kRequest, 12, 2, {0}),
      Frame(0x01C10031, rcpwire::kRequest, 13, 1, {1}),
      Frame(0x00940030, rcpwire::kRequest, 14, 1, {1}),
      Frame(0x12345678, rcpwire::kRequest, 15, 1, {}),
  };
  Bytes all;
  for (const Bytes& r : requests) Append(all, r);
  for (const std::uint8_t piece : {0, 19, 96}) {
    ProviderInput in;
    in.Int(2, 0, 4);  // cameras
    in.Int(4, 0, 8);  // inputs
    in.Int(2, 0, 8);  // outputs
    in.Bool(piece == 19);
    in.Int(piece + 1u, 1, 97);
    in.Raw(all);
    Write("devicesim/corpus/devicesim_requests_fuzzer", "session_piece" + std::to_string(piece), in.Done());
  }
}

void SessionCorpora() {
  // Packet sequences: length-prefixed RTP packets of real pictures, split in several ways.
  struct Case { const char* clip; std::size_t pictures; std::size_t payload; bool bits; };
  const Case cases[] = {{"qcif.263", 4, 1400, false}, {"qcif.263", 3, 200, true},
                        {"cif.263", 2, 1400, true},   {"cif.263", 2, 700, false},
                        {"qcif.263", 2, 64, true}};
  int n = 0;
  for (const Case& c : cases) {
    Bytes out;
    for (const Bytes& p : ClipPackets(c.clip, c.pictures, c.payload, c.bits)) {
      if (out.size() + p.size() > 60000) break;
      rcpwire::PutU16(out, static_cast<std::uint16_t>(p.size()));
      Append(out, p);
    }
    Write("session/corpus/session_packets_fuzzer", "pictures" + std::to_string(n++), out);
  }

  // Replies and messages: entry, command word, action, line, session id, error, payload.
  devicesim::DeviceModel model(2, 4, 2, true);
  struct Reply { int entry; std::size_t command; std::size_t action; std::uint16_t line;
                 std::uint32_t session; std::size_t error; Bytes payload; };
  const std::vector<Reply> replies = {
      {0, 0, 0, 1, 0, 99, model.Handle(0xFF110C30, 1, {}).payload},
      {0, 0, 0, 2, 0, 99, devicesim::DeviceModel(2, 0, 0, false).Handle(0xFF110C30, 2, {}).payload},
      {0, 0, 2, 1, 0, 8, {0x02}},
      {1, 4, 0, 1, 0, 99, {}},
      {1, 5, 2, 1, 0, 3, {0x80}},
      {2, 3, 1, 1, 77, 99, {}},
      {2, 1, 3, 1, 0, 8, {}},
      {2, 7, 2, 1, 0, 99, {1, 2, 3}},
      {2, 2, 3, 1, 0, 6, {0xFF}},
  };
  for (std::size_t split = 0; split < 3; ++split) {
    ProviderInput in;
    for (std::size_t i = split; i < replies.size(); ++i) {
      const Reply& r = replies[i];
      in.Int(static_cast<std::uint64_t>(r.entry), 0, 2);
      in.Int(r.command, 0, 8);
      in.Int(r.action, 0, 4);
      in.Int(r.line, 0, 0xFFFF);
      in.Int(r.session, 0, 0xFFFFFFFF);
      in.Bool(r.error == 99);
      if (r.error != 99) in.Int(r.error, 0, 11);
      in.Int(r.payload.size(), 0, 1024);
      in.Raw(r.payload);
    }
    Write("session/corpus/session_replies_fuzzer", "replies" + std::to_string(split), in.Done());
  }
}

void DigitalIoCorpora() {
  devicesim::DeviceModel model(1, 4, 2, false);
  model.SetInput(3, true);
  struct Reply { std::size_t command; std::uint16_t line; std::size_t error; Bytes payload; bool reply; };
  const std::vector<Reply> replies = {
      {1, 0, 99, model.Handle(0x01DB0830, 0, {}).payload, true},
      {2, 0, 99, model.Handle(0x01DC0830, 0, {}).payload, true},
      {0, 3, 99, model.Handle(0x01C00030, 3, {}).payload, true},
      {0, 1, 99, model.Handle(0x01C00030, 1, {}).payload, true},
      {5, 1, 99, model.Handle(0x01C10031, 1, Bytes{1}).payload, true},
      {3, 1, 99, model.Handle(0x00940030, 1, {}).payload, true},
      {6, 0, 5, {}, true},
      {0, 2, 4, {}, true},
      {7, 0, 7, {}, false},
  };
  for (std::size_t split = 0; split < 3; ++split) {
    ProviderInput in;
    in.Int(4 + 2, 0, 42);  // configured inputs: 4
    in.Int(2 + 2, 0, 42);  // configured outputs: 2
    in.Bool(true);         // with a sink
    in.Bool(true);         // enabled
    for (std::size_t i = split; i < replies.size(); ++i) {
      const Reply& r = replies[i];
      in.Bool(true);
      in.Bool(true);  // online
      in.Int(r.command, 0, 9);
      in.Int(r.error == 99 ? 1 : 3, 0, 4);
      in.Int(r.line, 0, 20);
      in.Bool(false);
      in.Int(77, 0, 0xFFFFFFFF);
      in.Bool(r.error == 99);
      if (r.error != 99) in.Int(r.error, 0, 8);
      in.Int(r.payload.size(), 0, 8);
      in.Raw(r.payload);
      in.Bool(r.reply);
    }
    Write("digitalio/corpus/digitalio_replies_fuzzer", "replies" + std::to_string(split), in.Done());
  }
}

void SettingsCorpora() {
  for (const auto& entry : fs::directory_iterator(g_root / "devicetypes")) {
    if (entry.path().extension() != ".xml") continue;
    std::ifstream file(entry.path(), std::ios::binary);
    const Bytes bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    Write("settings/corpus/settings_fuzzer", entry.path().filename().string(), bytes);
  }
  // Keys (index into the target's key table) with values (index into its value table).
  const std::vector<std::vector<std::pair<std::size_t, int>>> files = {
      {{0, 5}, {3, 0}, {4, 4}, {5, 5}, {12, 10}},
      {{0, 2}, {2, 3}, {3, 0}, {4, 4}, {5, 5}, {6, 0}, {7, 4}, {8, 5}, {12, 12}},
      {{1, 8}, {9, 0}, {10, 6}, {11, 7}, {13, -1}},
  };
  int n = 0;
  for (const auto& keys : files) {
    ProviderInput in;
    in.Bool(n == 2);  // "MPEG" in the device type
    in.Int(static_cast<std::uint64_t>(n % 4), 0, 3);
    for (const auto& [key, value] : keys) {
      in.Int(key, 0, 15);
      in.Bool(value >= 0);
      if (value >= 0) {
        in.Bool(true);
        in.Int(static_cast<std::uint64_t>(value), 0, 13);
      }
    }
    Write("settings/corpus/capabilities_fuzzer", "device_type" + std::to_string(n++), in.Done());
  }
}

void PictureCorpora() {
  for (const char* clip : {"qcif.263", "cif.263", "2cif.263", "4cif.263"}) {
    Write("picture_header/corpus/picture_header_fuzzer", std::string(clip) + "_intra",
          PictureBytes(clip, 0, 256));
    Write("picture_header/corpus/picture_header_fuzzer", std::string(clip) + "_inter",
          PictureBytes(clip, 1, 64));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <source folder>\n", argv[0]);
    return 2;
  }
  g_root = argv[1];
  WireCorpora();
  DeviceCorpora();
  SessionCorpora();
  DigitalIoCorpora();
  SettingsCorpora();
  PictureCorpora();
  return 0;
}
