// A small six-legged test rig and geometry helpers shared by the core tests.
//
// Motors sit on a circle of radius 0.05 at 60 degree spacing, each turned so
// that its horn swings in the vertical plane tangential to that circle
// (alternate legs mirrored). Anchors sit on a platform circle of radius 0.045,
// 20 degrees to either side of their motor. The motors are lowered by the
// height at which a horn pointing along its motor's +X closes its rod, so the
// platform's home pose is the identity and every leg's home angle is ~0 with
// solution -1.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <ostream>
#include <numbers>
#include <optional>
#include <vector>

#include "zandrel/inverse.hpp"
#include "zandrel/mat4.hpp"
#include "zandrel/model.hpp"
#include "print_mat4.hpp"

namespace zandrel::test {

inline constexpr double kHornLength = 0.04;
inline constexpr double kRodLength = 0.085;
inline constexpr double kMotorRadius = 0.05;
inline constexpr double kPlatformRadius = 0.045;
inline constexpr double kAnchorSpread = 20.0 * std::numbers::pi / 180.0;

inline Mat4 translation(double x, double y, double z) {
  Mat4 m = Mat4::identity();
  m(0, 3) = x;
  m(1, 3) = y;
  m(2, 3) = z;
  return m;
}

// The textbook rotation by +angle about world Z (rows (c,-s,0), (s,c,0), ...).
inline Mat4 rot_z(double angle) {
  Mat4 m = Mat4::identity();
  m(0, 0) = std::cos(angle);
  m(0, 1) = -std::sin(angle);
  m(1, 0) = std::sin(angle);
  m(1, 1) = std::cos(angle);
  return m;
}

inline Mat4 rot_x(double angle) {
  Mat4 m = Mat4::identity();
  m(1, 1) = std::cos(angle);
  m(1, 2) = -std::sin(angle);
  m(2, 1) = std::sin(angle);
  m(2, 2) = std::cos(angle);
  return m;
}

// Rz(-psi), rows (c, s, 0, 0), (-s, c, 0, 0), ...: the pre-rotation the
// inverse kinematics applies for a body yaw psi.
inline Mat4 prerotation(double psi) {
  Mat4 r = Mat4::identity();
  r(0, 0) = std::cos(psi);
  r(0, 1) = std::sin(psi);
  r(1, 0) = -std::sin(psi);
  r(1, 1) = std::cos(psi);
  return r;
}

inline Mat4 rot_y(double angle) {
  Mat4 m = Mat4::identity();
  m(0, 0) = std::cos(angle);
  m(0, 2) = std::sin(angle);
  m(2, 0) = -std::sin(angle);
  m(2, 2) = std::cos(angle);
  return m;
}

// Translation, then yaw, pitch and roll: a generic rigid pose.
inline Mat4 rigid_pose(double x, double y, double z, double yaw, double pitch, double roll) {
  return multiply(multiply(multiply(translation(x, y, z), rot_z(yaw)), rot_y(pitch)),
                  rot_x(roll));
}

struct Leg {
  Mat4 t_world_motor;
  Vec3 anchor;
};

inline std::array<Leg, 6> hexapod_legs() {
  std::array<Leg, 6> legs;
  for (int k = 0; k < 6; ++k) {
    const double alpha = k * std::numbers::pi / 3.0;
    const double side = k % 2 == 0 ? 1.0 : -1.0;
    const Vec3 tangent{-std::sin(alpha), std::cos(alpha), 0.0};
    const Vec3 radial{std::cos(alpha), std::sin(alpha), 0.0};
    Mat4 m = Mat4::identity();
    for (int r = 0; r < 3; ++r) {
      m(r, 0) = side * tangent[r];  // horn at angle 0
      m(r, 1) = r == 2 ? 1.0 : 0.0;  // horn at angle pi/2 points up
      m(r, 2) = side * radial[r];    // motor shaft
      m(r, 3) = kMotorRadius * radial[r];
    }
    const double beta = alpha + side * kAnchorSpread;
    legs[k] = {m, {kPlatformRadius * std::cos(beta), kPlatformRadius * std::sin(beta), 0.0}};
  }
  // Lower the motors so that the horn along +X closes the rod at the identity.
  const Leg& leg = legs[0];
  const double tip_x = leg.t_world_motor(0, 3) + kHornLength * leg.t_world_motor(0, 0);
  const double tip_y = leg.t_world_motor(1, 3) + kHornLength * leg.t_world_motor(1, 0);
  const double dx = tip_x - leg.anchor[0], dy = tip_y - leg.anchor[1];
  const double height = std::sqrt(kRodLength * kRodLength - (dx * dx + dy * dy));
  for (Leg& l : legs) l.t_world_motor(2, 3) = -height;
  return legs;
}

inline Kinematics make_hexapod(double solution = -1.0) {
  Kinematics model(kHornLength, kRodLength);
  for (const Leg& leg : hexapod_legs()) model.add_branch(leg.anchor, leg.t_world_motor, solution);
  return model;
}

// The same rig with its platform frame turned by -turn about Z: the anchors
// are the same points in the world, so the home pose becomes rot_z(turn).
inline Kinematics make_turned_hexapod(double turn) {
  Kinematics model(kHornLength, kRodLength);
  const Mat4 t_platform_world = rot_z(-turn);
  for (const Leg& leg : hexapod_legs())
    model.add_branch(transform_point(t_platform_world, leg.anchor), leg.t_world_motor, -1.0);
  return model;
}

inline std::array<double, 6> ik6(const Kinematics& model, const Mat4& pose,
                                 std::optional<double> yaw = std::nullopt) {
  std::array<double, 6> out{};
  inverse_kinematics(model, pose, yaw, out);
  return out;
}

// The rod-length error of every leg, computed in the world frame (a different
// road from the solver's platform-frame arithmetic): b - |tip - anchor|.
inline std::array<double, 6> rod_errors(const Kinematics& model, const Mat4& t_world_platform,
                                        const std::array<double, 6>& angles) {
  std::array<double, 6> err{};
  for (std::size_t i = 0; i < 6; ++i) {
    const Branch& br = model.branches[i];
    const double a = model.horn_of(i);
    const Vec3 tip = transform_point(br.t_world_motor,
                                     {a * std::cos(angles[i]), a * std::sin(angles[i]), 0.0});
    const Vec3 anchor = transform_point(t_world_platform, br.branch_platform);
    err[i] = model.rod_of(i) - std::hypot(tip[0] - anchor[0], tip[1] - anchor[1],
                                           tip[2] - anchor[2]);
  }
  return err;
}

inline double rod_error_norm(const Kinematics& model, const Mat4& pose,
                             const std::array<double, 6>& angles) {
  double sum = 0.0;
  for (double e : rod_errors(model, pose, angles)) sum += e * e;
  return std::sqrt(sum);
}

// Bit-for-bit equality, so that NaN results compare equal to themselves.
template <typename T>
bool same_bits(const T& a, const T& b) {
  return std::memcmp(&a, &b, sizeof(T)) == 0;
}

inline double max_abs_diff(const Mat4& a, const Mat4& b) {
  double worst = 0.0;
  for (std::size_t k = 0; k < 16; ++k) worst = std::max(worst, std::fabs(a.v[k] - b.v[k]));
  return worst;
}

// A handful of reachable, genuinely 6-DoF poses around home.
inline std::vector<Mat4> sample_poses() {
  return {
      Mat4::identity(),
      rigid_pose(0.004, -0.003, 0.002, 0.05, -0.04, 0.03),
      rigid_pose(-0.006, 0.002, -0.004, -0.1, 0.02, 0.06),
      rigid_pose(0.0, 0.005, 0.006, 0.15, 0.08, -0.05),
      rigid_pose(0.003, 0.003, -0.006, -0.2, -0.07, -0.08),
  };
}

}  // namespace zandrel::test
