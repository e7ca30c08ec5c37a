// The kinematic model of one six-legged rotary platform: the legs (branches),
// the two link lengths shared by every leg, and the pose the forward
// kinematics starts its next step from.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "mat4.hpp"

namespace zandrel {

struct Branch {
  Mat4 t_world_motor;  // motor frame -> world frame, stored unchanged
  // [I3 | -[p]x] for p = branch_platform, column-major (element (r, c) is
  // value 3c + r): maps a platform twist (v, w) to the anchor's velocity.
  std::array<double, 18> point_jacobian;
  Vec3 branch_platform;  // rod anchor in platform coordinates
  double solution;       // multiplies the square-root term: +1 / -1 pick the assembly mode

  // Derived once at registration: the general inverse of t_world_motor,
  // empty when it is singular (inverse kinematics then fails when it
  // reaches this branch, exactly as if it had inverted it itself).
  std::optional<Mat4> t_motor_world;
};

struct Kinematics {
  std::vector<Branch> branches;  // registration order is the joint order
  double motor_arm_length;       // horn length a
  double rod_length;             // rod length b
  Mat4 fk_pose = Mat4::identity();
  std::uint64_t fk_line_search_trials = 16;

  Kinematics(double motor_arm_length_, double rod_length_)
      : motor_arm_length(motor_arm_length_), rod_length(rod_length_) {}

  // Appends one leg. Nothing is validated: any values are stored as given.
  void add_branch(const Vec3& branch_platform, const Mat4& t_world_motor, double solution);
};

// [I3 | -[p]x], column-major.
std::array<double, 18> point_jacobian_of(const Vec3& p);

}  // namespace zandrel
