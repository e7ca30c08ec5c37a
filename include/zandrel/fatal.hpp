// Fatal errors: broken invariants that end the call.
//
// Every function of this library reports failure only by throwing. Numeric
// trouble is never an error (see inverse.hpp and forward.hpp: it shows as
// NaN or as a step not taken); what throws is:
//   * FatalError, for a broken invariant: a singular 4x4 matrix where an
//     inverse is needed, forward kinematics on a model without exactly six
//     legs, a negative or NaN yaw limit. Its what() is one of the fixed
//     messages below (the yaw-limit message carries the limit's value).
//     Before it is thrown, one diagnostic line naming the source location is
//     written to stderr.
//   * std::invalid_argument, when an output span's size differs from the
//     model's leg count: a programming error on the caller's side.
//   * std::bad_alloc from Kinematics::add_branch (the leg list grows).
// A call that throws changes neither the model nor its output span: the
// checks come before any write.
#pragma once

#include <stdexcept>

namespace zandrel {

// A 4x4 matrix that had to be inverted has a determinant of exactly zero: a
// motor pose (inverse kinematics) or the stored fk_pose (forward kinematics).
inline constexpr const char* kSingularMatrixMessage =
    "called `Option::unwrap()` on a `None` value";
// forward_kinematics on a model whose leg count is not six.
inline constexpr const char* kBranchCountMessage =
    "Forward kinematics requires exactly 6 joint angles";

class FatalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace zandrel
