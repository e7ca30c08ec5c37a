// Fatal errors of the kinematics core: broken invariants that end the call.
// The binding turns them into PanicException; the messages are part of the
// public behaviour, so they live here as constants.
#pragma once

#include <stdexcept>

namespace zandrel {

inline constexpr const char* kSingularMatrixMessage =
    "called `Option::unwrap()` on a `None` value";
inline constexpr const char* kBranchCountMessage =
    "Forward kinematics requires exactly 6 joint angles";

class FatalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace zandrel
