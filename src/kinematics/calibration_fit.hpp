// The least-squares fit: maximum a posteriori legs from the pose residuals
// and the tolerance prior, by Levenberg-Marquardt from nominal.
//
// Inside, each identified parameter is counted in its own tolerance from
// nominal, s = (p - p_nominal) / tolerance, so the prior is |s|^2 and every
// direction of s is on the same footing for the singular values.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "calibration_pose.hpp"

namespace zandrel::calibration {

struct FitInput {
  std::span<const CalibrationLeg> nominal;
  std::span<const double> readings;  // samples x 6
  std::span<const Mat4> poses;
  const CalibrationOptions& options;
};

struct FitOutput {
  std::vector<CalibrationLeg> legs;
  std::vector<double> parameter_std;  // legs x 9, NaN where not identified
  std::vector<UnobservableDirection> unobservable;
  int iterations = 0;
  bool converged = false;
};

FitOutput fit(const FitInput& in);

// The model's pose error for every sample with the given legs, unweighted
// (t_model - t_measured, log(R_measured^T R_model)); NaN where no pose
// closes near the measured one.
std::vector<Vector6> sample_residuals(std::span<const CalibrationLeg> legs, std::span<const double> readings,
                                      std::span<const Mat4> poses);

}  // namespace zandrel::calibration
