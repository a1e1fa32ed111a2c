// Exceptions the library throws: objects it owns, handed out as Exception*.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace rcpplus::detail {

// Throws an Exception* whose object lives in a small per-thread ring, so the caller neither
// deletes it nor leaks it. text must not carry a password or a device address.
[[noreturn]] void ThrowError(std::uint32_t code, const char* text);

// Start of the text when a connection cannot be made for want of system resources.
inline constexpr const char* kCannotStartConnection = "rcpplus: cannot start a connection";
// The system's reason for a failure to make a descriptor, a thread or memory, e.g. "Too many
// open files" for std::system_error(EMFILE).
std::string SystemReason(const std::exception& error);

}  // namespace rcpplus::detail
