// The kinematic model of one six-legged rotary platform: the legs (branches),
// the two link lengths (shared by every leg unless a leg brings its own), and
// the pose the forward kinematics starts its next step from.
//
// Frames: the world frame is fixed to the base; each motor has its own frame,
// given by its pose in the world (t_world_motor), whose Z axis is the motor
// shaft; the platform frame moves with the platform, and t_world_platform is
// its pose in the world. At motor angle theta (radians) a horn of length
// motor_arm_length has its tip at (a cos theta, a sin theta, 0) in its motor
// frame: theta = 0 along the motor's +X axis, positive towards +Y. A rod of
// length rod_length joins the horn tip to the leg's anchor on the platform.
// All lengths and translations share one unit, the caller's choice.
//
// Threads: a Kinematics holds no lock and starts no thread. Calls that only
// read it (inverse_kinematics, inverse_kinematics_safe) may run at once from
// several threads; forward_kinematics, reset_forward_kinematics and
// add_branch write to it, so give each control loop its own model, or
// serialise every call on a shared one with your own lock. Separate models
// share nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "mat4.hpp"

namespace zandrel {

struct Branch {
  Mat4 t_world_motor;  // motor frame -> world frame, stored unchanged
  // Derived from branch_platform by add_branch: [I3 | -[p]x], column-major
  // (element (r, c) is value 3c + r), mapping a platform twist (v, w) to the
  // anchor's velocity.
  std::array<double, 18> point_jacobian;
  Vec3 branch_platform;  // rod anchor in platform coordinates
  double solution;       // multiplies the square-root term: +1 / -1 pick the assembly mode
  // This leg's own horn and rod, when it was added with them (a robot as
  // built: rods cut by hand, horns from batches); else the model's shared
  // lengths, read at each call.
  std::optional<double> motor_arm_length;
  std::optional<double> rod_length;

  // Derived once at registration: the general inverse of t_world_motor,
  // empty when it is singular (inverse kinematics then fails when it
  // reaches this branch, exactly as if it had inverted it itself).
  std::optional<Mat4> t_motor_world;
};

struct Kinematics {
  std::vector<Branch> branches;  // registration order is the joint order
  double motor_arm_length;       // horn length a, each leg's unless it has its own
  double rod_length;             // rod length b, likewise
  Mat4 fk_pose = Mat4::identity();  // where the next forward step starts
  std::uint64_t fk_line_search_trials = 16;

  // Nothing is validated: any values, NaN included, are stored as given and
  // the arithmetic decides what comes out.
  Kinematics(double motor_arm_length_, double rod_length_)
      : motor_arm_length(motor_arm_length_), rod_length(rod_length_) {}

  // Appends one leg. Nothing is validated: any values are stored as given. A
  // singular t_world_motor is accepted here and reported by the first inverse
  // kinematics call. Add legs before sharing the model between threads.
  void add_branch(const Vec3& branch_platform, const Mat4& t_world_motor, double solution);
  // Appends one leg with its own horn and rod lengths, unvalidated likewise.
  // A leg added with the shared lengths answers to the bit as one added
  // without them (but keeps them should the shared ones change).
  void add_branch(const Vec3& branch_platform, const Mat4& t_world_motor, double solution,
                  double leg_motor_arm_length, double leg_rod_length);

  // Leg i's horn and rod lengths.
  double horn_of(std::size_t i) const { return branches[i].motor_arm_length.value_or(motor_arm_length); }
  double rod_of(std::size_t i) const { return branches[i].rod_length.value_or(rod_length); }
};

// [I3 | -[p]x], column-major: the point_jacobian of an anchor at p.
std::array<double, 18> point_jacobian_of(const Vec3& p);

}  // namespace zandrel
