// The parts of log lines that describe an RCP+ message or error, shared by the camera
// sessions and the digital I/O object.
#pragma once

#include <cstdint>
#include <string>

namespace corvane {

// " Reason: <name>" for a known code, " - UnknownError" for 0xFF, "" for any other code.
const char* RcpErrorReasonText(std::uint32_t errorCode);

// By action: 2 "Bosch: Message: payload len = N", 3 "Bosch: Error", 255 "Bosch: ClientError";
// "" for any other action.
std::string RcpActionText(std::uint8_t action, int payloadLength);

}  // namespace corvane
