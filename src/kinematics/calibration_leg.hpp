// One leg's closure, as calibration sees it: the rod's squared length
// against its design, f = |T p - tip(theta)|^2 - b^2, with its derivatives
// with respect to the platform's twist and to the leg's nine parameters.
//
// The squared form keeps every derivative polynomial (no division by the
// rod's current length); the pose solve and the implicit derivatives both
// use it, so the two agree.
#pragma once

#include <array>
#include <cstddef>

#include "zandrel/calibration.hpp"

namespace zandrel::calibration {

using Vec6 = std::array<double, 6>;
using Params = std::array<double, kCalibrationParametersPerLeg>;

// The leg's nine parameters in CalibrationParameter order, and back.
Params parameters_of(const CalibrationLeg& leg) noexcept;
void set_parameters(CalibrationLeg& leg, const Params& p) noexcept;

struct Closure {
  double f;          // |d|^2 - b^2
  Vec6 d_pose;       // df / d(v, w): v moves the platform origin, w turns it about the world origin
  Params d_params;   // df / d parameter
  double d_theta;    // df / d theta
};

// The closure of `leg` at pose t_world_platform for horn angle theta.
Closure closure(const CalibrationLeg& leg, const Mat4& t_world_platform, double theta) noexcept;

// The horn angle that closes the leg at the given pose, for `solution`
// (+1 or -1): in the motor frame, with the anchor at (x, y, z), the two
// are atan2(y, x) +- acos(K / (2 a sqrt(x^2 + y^2))), K = x^2 + y^2 + z^2 +
// a^2 - b^2, the sign being solution's. The cosine is clamped to [-1, 1],
// so a rod just short of reaching gives the horn pointing at the anchor.
double closing_angle(const CalibrationLeg& leg, const Mat4& t_world_platform, double solution) noexcept;

}  // namespace zandrel::calibration
