#include "calibration_leg.hpp"

#include <algorithm>
#include <cmath>

#include "mat4_inline.hpp"

namespace zandrel::calibration {

namespace {

constexpr std::size_t kZero = 0, kArm = 1, kRod = 2, kAnchor = 3, kMotor = 6;

double dot(const Vec3& a, const Vec3& b) { return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]; }

}  // namespace

Params parameters_of(const CalibrationLeg& leg) noexcept {
  Params p{};
  p[kZero] = leg.zero;
  p[kArm] = leg.motor_arm_length;
  p[kRod] = leg.rod_length;
  for (int k = 0; k < 3; ++k) {
    p[kAnchor + k] = leg.branch_platform[k];
    p[kMotor + k] = leg.t_world_motor(k, 3);
  }
  return p;
}

void set_parameters(CalibrationLeg& leg, const Params& p) noexcept {
  leg.zero = p[kZero];
  leg.motor_arm_length = p[kArm];
  leg.rod_length = p[kRod];
  for (int k = 0; k < 3; ++k) {
    leg.branch_platform[k] = p[kAnchor + k];
    leg.t_world_motor(k, 3) = p[kMotor + k];
  }
}

Closure closure(const CalibrationLeg& leg, const Mat4& t, double theta) noexcept {
  const double c = std::cos(theta), s = std::sin(theta), a = leg.motor_arm_length;
  const Mat4& m = leg.t_world_motor;
  Vec3 radial, tangent, rp, d;  // horn direction, its derivative, R p, anchor - tip
  for (int r = 0; r < 3; ++r) {
    radial[r] = m(r, 0) * c + m(r, 1) * s;
    tangent[r] = m(r, 1) * c - m(r, 0) * s;
    rp[r] = (t(r, 0) * leg.branch_platform[0] + t(r, 1) * leg.branch_platform[1]) +
            t(r, 2) * leg.branch_platform[2];
    d[r] = (rp[r] + t(r, 3)) - (m(r, 3) + a * radial[r]);
  }
  Closure out{};
  out.f = dot(d, d) - leg.rod_length * leg.rod_length;
  // The anchor moves by v + w x (R p): df = 2 d.v + 2 (R p x d).w.
  const Vec3 turn{rp[1] * d[2] - rp[2] * d[1], rp[2] * d[0] - rp[0] * d[2],
                  rp[0] * d[1] - rp[1] * d[0]};
  for (int k = 0; k < 3; ++k) {
    out.d_pose[k] = 2.0 * d[k];
    out.d_pose[3 + k] = 2.0 * turn[k];
  }
  out.d_theta = -2.0 * a * dot(d, tangent);
  out.d_params[kZero] = out.d_theta;
  out.d_params[kArm] = -2.0 * dot(d, radial);
  out.d_params[kRod] = -2.0 * leg.rod_length;
  for (int k = 0; k < 3; ++k) {
    // The anchor in the world is R p + t: its platform coordinates move it by R.
    out.d_params[kAnchor + k] = 2.0 * ((t(0, k) * d[0] + t(1, k) * d[1]) + t(2, k) * d[2]);
    out.d_params[kMotor + k] = -2.0 * d[k];
  }
  return out;
}

double closing_angle(const CalibrationLeg& leg, const Mat4& t, double solution) noexcept {
  const Vec3 world = inline_transform_point(t, leg.branch_platform);
  // The anchor in the motor frame: R_m^T (world - origin); the rotation is a
  // rotation, so its transpose is its inverse.
  const Mat4& m = leg.t_world_motor;
  Vec3 q;
  for (int c = 0; c < 3; ++c)
    q[c] = (m(0, c) * (world[0] - m(0, 3)) + m(1, c) * (world[1] - m(1, 3))) +
           m(2, c) * (world[2] - m(2, 3));
  const double a = leg.motor_arm_length, b = leg.rod_length;
  // Not std::hypot, here or elsewhere in the library: glibc 2.35 gave
  // hypot a new symbol version, which would raise the wheels' glibc floor.
  const double radius = std::sqrt(q[0] * q[0] + q[1] * q[1]);
  const double k = (dot(q, q) + a * a) - b * b;
  const double cosine = std::clamp(k / (2.0 * a * radius), -1.0, 1.0);
  return std::atan2(q[1], q[0]) + solution * std::acos(cosine);
}

}  // namespace zandrel::calibration
