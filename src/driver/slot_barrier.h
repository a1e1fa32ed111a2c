// The barrier at every slot and export the host calls: no exception crosses into the host,
// which is not C++ we control. A thread that is being cancelled still unwinds, since its
// forced unwind must not end in a handler.
#pragma once

#include <exception>
#include <type_traits>
#include <utility>

namespace corvane {

namespace barrier_detail {

// Inside a handler: true for an exception the C++ runtime did not throw, such as the forced
// unwind of a thread being cancelled, which must go on. It is told apart without binding a
// reference to it (abi::__forced_unwind has no object behind it).
inline bool IsForeign() noexcept { return !std::current_exception(); }

// Calls report with the exception's text; whatever report itself throws is dropped.
template <class Report>
void Tell(Report& report, const char* what) {
  try {
    report(what);
  } catch (...) {
    if (IsForeign()) throw;
  }
}

}  // namespace barrier_detail

// Text passed to the report for an exception that is not a std::exception.
inline constexpr const char* kUnknownException = "unknown exception";

// Runs body and returns its result; on an exception calls report(text) (text: what() of a
// std::exception, kUnknownException otherwise) and returns failure.
template <class Result, class Body, class Report>
Result SlotBarrier(Result failure, Body&& body, Report&& report) {
  try {
    return std::forward<Body>(body)();
  } catch (const std::exception& error) {
    barrier_detail::Tell(report, error.what());
  } catch (...) {
    if (barrier_detail::IsForeign()) throw;
    barrier_detail::Tell(report, kUnknownException);
  }
  return failure;
}

template <class Result, class Body>
Result SlotBarrier(Result failure, Body&& body) {
  return SlotBarrier(std::move(failure), std::forward<Body>(body), [](const char*) {});
}

// For slots without a result.
template <class Body>
void SlotBarrier(Body&& body) {
  static_assert(std::is_void_v<decltype(body())>, "give the failure result");
  try {
    std::forward<Body>(body)();
  } catch (...) {
    if (barrier_detail::IsForeign()) throw;
  }
}

}  // namespace corvane
