// Calls into both installed libraries through what the CMake package gives: the driver's
// exports and the RCP+ library's payload writer. Exit code 0 only when each behaves.
#include <cstdio>

#include "rcpplus/rcpplus.h"
#include "veltrane/veltrane.h"

int main() {
  int failures = 0;
  auto check = [&failures](bool ok, const char* what) {
    if (!ok) {
      std::fprintf(stderr, "consumer: %s\n", what);
      ++failures;
    }
  };

  CCaptureAPI* driver = CreateCapture(0);
  check(driver != nullptr, "CreateCapture returned no driver");
  check(DeleteCapture(&driver), "DeleteCapture refused the driver");
  check(driver == nullptr, "DeleteCapture left the pointer set");
  check(!DeleteCapture(&driver), "DeleteCapture accepted a null driver");

  VeltraneIPCaptureDriver* ipDriver = CreateIPCapture();
  check(ipDriver != nullptr, "CreateIPCapture returned no driver");
  DeleteIPCapture(ipDriver);

  rcpplus::RcpOutputStream payload;
  payload.writeULong(0x01020304UL);
  payload.writeOctet(0xAB);
  const unsigned char* data = payload.data();
  check(payload.size() == 5, "the RCP+ payload is not 5 bytes long");
  check(payload.size() == 5 && data[0] == 0x01 && data[1] == 0x02 && data[2] == 0x03 &&
            data[3] == 0x04 && data[4] == 0xAB,
        "the RCP+ payload is not big-endian");

  if (failures == 0) std::printf("consumer: both libraries answer\n");
  return failures == 0 ? 0 : 1;
}
