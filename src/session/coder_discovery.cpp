// Coder discovery and the messages of the video connection: which coder the session
// receives, the session id the device gives the connection, and readable error lines.
#include <array>
#include <chrono>
#include <string>

#include "session/bosch_ip_camera_info.h"
#include "foundation/rcp_message_text.h"

namespace corvane {

namespace {

constexpr std::uint32_t kCmdCoderList = 0xFF110C30;
constexpr std::uint32_t kCmdConnectionFailed = 0x00120020;
constexpr std::uint32_t kCmdYield = 0xFF0D0031;
constexpr std::uint32_t kCmdSessionId = 0xFFCC0C31;

// A coder list entry: number, flags, 12 unused bytes. A tail shorter than an entry is no
// entry and ends the list.
constexpr int kCoderEntryBytes = 16;
constexpr int kCoderEntryTail = 12;
constexpr std::uint16_t kCoderUsable = 0x0004;
constexpr std::uint16_t kCoderNotForThisClient = 0x4000;

}  // namespace

// ---- Answers ------------------------------------------------------------------------------

CBoschIPCameraInfo::AnswerMark CBoschIPCameraInfo::MarkAnswers(AnswerSlot slot) const {
  return AnswerMark{slot, answers[slot].load()};
}

bool CBoschIPCameraInfo::WaitForAnswer(const AnswerMark& mark, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  const std::array<platform::WaitRef, 2> events{replyEvent, stopEvent};
  for (;;) {
    if (answers[mark.slot].load() != mark.answered) return true;
    if (!Current()) return false;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    // Woken by any answer or request; the checks above decide.
    platform::WaitAny(events, WaitMs(left));
  }
}

void CBoschIPCameraInfo::RecordAnswer(AnswerSlot slot) {
  if (slot < kAnswerSlotCount) answers[slot].fetch_add(1);
  // The worker's wake-up in any case; its counter decides.
  replyEvent.Set();
}

// ---- Coder discovery ----------------------------------------------------------------------

bool CBoschIPCameraInfo::ReadCoders() {
  const std::string address = BuildDeviceAddress();
  // The pending request keeps its connection; the handle itself is not needed any longer.
  rcpplus::RcpClient client(address.c_str(), 0, static_cast<unsigned short>(channelIndex + 1));
  rcpplus::RcpOutputStream payload;
  payload.writeOctet(1);
  payload.writeOctet(0);
  payload.writeOctet(1);
  client.sendRequest(NetworkTimeout(), kCmdCoderList, payload, ReadCodersReply, this);
  return true;
}

void CBoschIPCameraInfo::ReadCodersReply(void* context, rcpplus::RcpHeader& header,
                                         rcpplus::RcpInputStream& reply) {
  if (!context) return;
  ReadCodersCallback(static_cast<CBoschIPCameraInfo*>(context), header, reply);
}

void CBoschIPCameraInfo::ReadCodersCallback(CBoschIPCameraInfo* session,
                                            rcpplus::RcpHeader& header,
                                            rcpplus::RcpInputStream& reply) {
  session->callbackThreads.RegisterCurrentThread();
  CIPCaptureIOBaseHandlerIf& handler = session->Handler();
  if (header.errorCode != 0) {
    // No answer: the worker's wait runs out and it asks again.
    if (ShouldLogError(session->errorCount))
      handler.Log(kLogError,
                  "CBoschIPCameraInfo: Connection to server failed. Check address and the device "
                  "connection. ReadCodersCallback: Error: %08x when calling 0x%08x\n",
                  header.errorCode, header.commandWord);
    return;
  }
  try {
    // The first usable coder meant for this client wins.
    while (reply.available() >= kCoderEntryBytes) {
      const std::uint16_t number = reply.readUShort();
      const std::uint16_t flags = reply.readUShort();
      if ((flags & kCoderUsable) != 0 && (flags & kCoderNotForThisClient) == 0) {
        session->coderNumber = number;
        break;
      }
      reply.skip(kCoderEntryTail);
    }
    session->RecordAnswer(kAnswerCoderList);
  } catch (rcpplus::Exception* error) {
    if (ShouldLogError(session->errorCount)) {
      handler.Log(kLogError, "CBoschIPCameraInfo: ReadCodersCallback: Error: %08x when calling 0x%08x\n",
                  header.errorCode, header.commandWord);
      handler.Log(kLogError, "CBoschIPCameraInfo: ReadCodersCallback: Error catched %s !\n",
                  error ? error->what() : "");
    }
  }
}

void CBoschIPCameraInfo::OnRcpMessage(void* context, rcpplus::RcpHeader& header,
                                      rcpplus::RcpInputStream& message) {
  if (!context) return;
  auto* session = static_cast<CBoschIPCameraInfo*>(context);
  session->callbackThreads.RegisterCurrentThread();

  std::string text;
  switch (header.commandWord) {
    case kCmdConnectionFailed:
      text = "CBoschIPCameraInfo: Connection failed";
      break;
    case kCmdYield:
      platform::SleepMs(0);
      break;
    case kCmdSessionId:
      session->SetSessionId(header.sessionId);
      return;
    default:
      break;
  }
  text += RcpActionText(header.action, message.available());
  text += RcpErrorReasonText(header.errorCode);

  if (header.action == rcpplus::kActionError || header.action == rcpplus::kActionClientError) {
    // Before the session id, an error can only mean the video connection failed.
    CAutoLock lock(session->sessionIdLock);
    if (session->sessionId == 0) {
      session->videoFailed_ = true;
      session->RecordAnswer(kAnswerSlotCount);
    }
  }
  if (text.empty()) return;
  if (ShouldLogError(session->errorCount)) session->Handler().Log(kLogError, "%s", text.c_str());
}

void CBoschIPCameraInfo::SetSessionId(std::uint32_t id) {
  {
    CAutoLock lock(sessionIdLock);
    sessionId = id;
  }
  RecordAnswer(kAnswerSlotCount);  // wakes the worker's wait for it
}

}  // namespace corvane
