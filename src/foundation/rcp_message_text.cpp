#include "foundation/rcp_message_text.h"

namespace corvane {

const char* RcpErrorReasonText(std::uint32_t errorCode) {
  switch (errorCode) {
    case 0x10: return " Reason: InvalidVersion";
    case 0x20: return " Reason: NotRegistered";
    case 0x21: return " Reason: InvalidClientId";
    case 0x30: return " Reason: InvalidMethod";
    case 0x40: return " Reason: InvalidCmd";
    case 0x50: return " Reason: InvalidAccessType";
    case 0x60: return " Reason: InvalidDatatType";
    case 0x70: return " Reason: WriteError";
    case 0x80: return " Reason: PacketSizeError";
    case 0x90: return " Reason: ReadNotSupported";
    case 0xA0: return " Reason: InvalidAuthorizationLevel";
    case 0xB0: return " Reason: InvalidSessionId";
    case 0xC0: return " Reason: RetryLater";
    case 0xFF: return " - UnknownError";
    case 0x100: return " Reason: ResponseTimeout";
    case 0x101: return " Reason: ConnectionError";
    case 0x102: return " Reason: BadParameter";
    case 0x103: return " Reason: RegistrationFailed";
    case 0x104: return " Reason: InvalidAddress";
    case 0x105: return " Reason: AddressNotFound";
    case 0x106: return " Reason: ExtensionMismatch";
    case 0x107: return " Reason: ConnectionReset";
    default: return "";
  }
}

std::string RcpActionText(std::uint8_t action, int payloadLength) {
  switch (action) {
    case 2:
      return "Bosch: Message: payload len = " + std::to_string(payloadLength);
    case 3:
      return "Bosch: Error";
    case 255:
      return "Bosch: ClientError";
    default:
      return {};
  }
}

}  // namespace corvane
