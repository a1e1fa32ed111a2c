#include "errors.h"

#include <string.h>

#include <array>
#include <cstddef>
#include <new>
#include <optional>
#include <string>
#include <system_error>

#include "rcpplus/rcpplus.h"

namespace rcpplus {

Exception::~Exception() = default;

const char* Exception::what() const noexcept { return "rcpplus: error"; }

namespace detail {
namespace {

class LibraryError final : public Exception {
 public:
  LibraryError(std::uint32_t code, const char* text) : Exception(code), text_(text) {}
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  std::string text_;
};

// A caller may still look at the previous few errors of its thread while handling a new one;
// the ring keeps them valid until they are reused.
constexpr std::size_t kRingSize = 8;

struct ErrorRing {
  std::array<std::optional<LibraryError>, kRingSize> slots;
  std::size_t next = 0;
};

}  // namespace

std::string CannotStartText() {
  std::string reason;
  try {
    throw;
  } catch (const SystemFailure& failure) {
    char buffer[128];
    reason = ::strerror_r(failure.error, buffer, sizeof buffer);
  } catch (const std::system_error& error) {
    reason = error.code().message();
  } catch (const std::bad_alloc&) {
    reason = "out of memory";
  } catch (...) {
    reason = "unknown error";
  }
  return std::string(kCannotStartConnection) + ": " + reason;
}

void ThrowError(std::uint32_t code, const char* text) {
  thread_local ErrorRing ring;
  auto& slot = ring.slots[ring.next];
  ring.next = (ring.next + 1) % kRingSize;
  Exception* error = &slot.emplace(code, text);
  throw error;
}

}  // namespace detail
}  // namespace rcpplus
