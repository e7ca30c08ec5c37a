// The model's pose for one sample, and how it moves with the parameters.
//
// A twist (v, w) moves a pose (R, t) to (exp([w]) R, t + v): v in world
// coordinates, w a rotation about the world axes through the world origin
// applied to the platform's orientation. The closure of every leg is f = 0
// at the model's pose x(p); differentiating f(x(p), p) = 0 gives
// dx/dp = -(df/dx)^-1 df/dp, exact at the solved pose.
#pragma once

#include <optional>
#include <span>

#include <Eigen/Dense>

#include "calibration_leg.hpp"

namespace zandrel::calibration {

using Matrix6 = Eigen::Matrix<double, 6, 6>;
using Vector6 = Eigen::Matrix<double, 6, 1>;
// Six rows, nine columns per leg in CalibrationParameter order.
using PoseSensitivity = Eigen::Matrix<double, 6, Eigen::Dynamic>;

// exp of a rotation vector (Rodrigues), and the rotation vector of a
// rotation (angle at most pi).
Eigen::Matrix3d rotation_exp(const Eigen::Vector3d& w);
Eigen::Vector3d rotation_log(const Eigen::Matrix3d& r);

// The pose moved by a twist (v, w).
Mat4 apply_twist(const Mat4& t, const Vector6& twist);

// The horn angle of each leg for one sample's readings.
std::array<double, 6> horn_angles(std::span<const CalibrationLeg> legs, std::span<const double> readings);

// The pose closing all six legs at horn angles theta, by Newton from start.
std::optional<Mat4> close_legs(std::span<const CalibrationLeg> legs, const std::array<double, 6>& theta,
                               const Mat4& start);

// dx/dp at a pose that closes the legs: 6 x (9 legs.size()). Empty when the
// pose is singular (df/dx not invertible).
std::optional<PoseSensitivity> pose_sensitivity(std::span<const CalibrationLeg> legs,
                                                const std::array<double, 6>& theta, const Mat4& pose);

// The residual of a model pose against a measured one, before weighting:
// (t_model - t_measured, log(R_measured^T R_model)), and its derivative
// with respect to the model pose's twist.
struct PoseResidual {
  Vector6 value;
  Matrix6 d_twist;
};
PoseResidual pose_residual(const Mat4& model, const Mat4& measured);

}  // namespace zandrel::calibration
