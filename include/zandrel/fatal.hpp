// Errors: what the library throws, and when.
//
// Every function of this library reports failure only by throwing, and none
// writes anything anywhere (no logging, nothing on stderr): what to tell whom
// is the caller's decision. Numeric trouble is never an error (see inverse.hpp
// and forward.hpp: it shows as NaN or as a step not taken); what throws is:
//   * FatalError, for a broken invariant of the model or of the call. kind()
//     says which, for code to act on; what() is one line of English for a
//     log, naming the function and the value at fault. Match on kind(), never
//     on the text, which may be reworded.
//   * std::invalid_argument, when an output span's size differs from the
//     model's leg count: a programming error on the caller's side.
//   * std::bad_alloc from Kinematics::add_branch (the leg list grows), and
//     from building a FatalError's message.
// A call that throws changes neither the model nor its output span: the
// checks come before any write.
#pragma once

#include <limits>
#include <stdexcept>
#include <string>

namespace zandrel {

enum class FatalKind {
  // A 4x4 matrix that had to be inverted has a determinant of exactly zero:
  // a leg's t_world_motor (inverse kinematics; what() names the leg by its
  // index in registration order, from 0), or the stored fk_pose or a trial
  // pose of its line search (forward kinematics).
  singular_matrix,
  // forward_kinematics on a model whose leg count is not six.
  leg_count,
  // inverse_kinematics_safe with a yaw limit that applies (a body yaw was
  // given) but is negative or NaN; yaw_limit() holds it.
  invalid_yaw_limit,
};

class FatalError : public std::runtime_error {
 public:
  FatalError(FatalKind kind, const std::string& what,
             double yaw_limit = std::numeric_limits<double>::quiet_NaN())
      : std::runtime_error(what), kind_(kind), yaw_limit_(yaw_limit) {}
  ~FatalError() override;

  FatalKind kind() const noexcept { return kind_; }
  // For invalid_yaw_limit, the offending limit exactly as passed (negative,
  // or NaN); NaN for the other kinds.
  double yaw_limit() const noexcept { return yaw_limit_; }

 private:
  FatalKind kind_;
  double yaw_limit_;
};

}  // namespace zandrel
