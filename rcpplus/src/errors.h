// Exceptions the library throws: objects it owns, handed out as Exception*.
#pragma once

#include <cstdint>
#include <string>

namespace rcpplus::detail {

// Throws an Exception* whose object lives in a small per-thread ring, so the caller neither
// deletes it nor leaks it. text must not carry a password or a device address.
[[noreturn]] void ThrowError(std::uint32_t code, const char* text);

// A system call that failed with this errno value. A plain value rather than an exception
// class: reading it needs no virtual call, which matters when the process has run out of
// descriptors (a sanitizer's check of a virtual call may itself need one).
struct SystemFailure {
  int error;
};

// Start of the text when a connection cannot be made for want of system resources.
inline constexpr const char* kCannotStartConnection = "rcpplus: cannot start a connection";
// Inside a catch block: "rcpplus: cannot start a connection: " and the system's reason for
// the exception being handled (SystemFailure, std::system_error from a thread, bad_alloc),
// e.g. "Too many open files" for EMFILE.
std::string CannotStartText();

}  // namespace rcpplus::detail
