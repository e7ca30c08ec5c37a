// Fatal errors of the kinematics core: broken invariants that end the call.
// The binding turns them into PanicException; the messages are part of the
// public behaviour, so they live here as constants.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace zandrel {

inline constexpr const char* kSingularMatrixMessage =
    "called `Option::unwrap()` on a `None` value";
inline constexpr const char* kPoisonedLockMessage =
    "called `Result::unwrap()` on an `Err` value: PoisonError { .. }";
inline constexpr const char* kBranchCountMessage =
    "Forward kinematics requires exactly 6 joint angles";

class FatalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Writes a one-line diagnostic with the caller's source location to stderr,
// then throws FatalError carrying `message`.
[[noreturn]] void raise_fatal(
    const std::string& message,
    std::source_location where = std::source_location::current());

}  // namespace zandrel
