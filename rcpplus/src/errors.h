// Exceptions the library throws: objects it owns, handed out as Exception*.
#pragma once

#include <cstdint>

namespace rcpplus::detail {

// Throws an Exception* whose object lives in a small per-thread ring, so the caller neither
// deletes it nor leaks it. text must not carry a password or a device address.
[[noreturn]] void ThrowError(std::uint32_t code, const char* text);

}  // namespace rcpplus::detail
