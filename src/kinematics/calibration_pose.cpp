#include "calibration_pose.hpp"

#include <cmath>

namespace zandrel::calibration {

namespace {

// Newton stops when a step moves the pose less than this (metres, radians):
// far below any measurement, well above rounding at these sizes.
constexpr double kStepDone = 1e-13;
constexpr int kMaxNewton = 30;
// A step this large left the neighbourhood of the start: not the pose near
// the measured one any more.
constexpr double kStepTooLarge = 0.5;

Eigen::Matrix3d rotation_of(const Mat4& t) {
  Eigen::Matrix3d r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r(i, j) = t(i, j);
  return r;
}

Eigen::Matrix3d skew(const Eigen::Vector3d& w) {
  Eigen::Matrix3d s;
  s << 0.0, -w.z(), w.y(), w.z(), 0.0, -w.x(), -w.y(), w.x(), 0.0;
  return s;
}

// The closure of every leg and its derivative with respect to the twist.
void closures(std::span<const CalibrationLeg> legs, const std::array<double, 6>& theta, const Mat4& pose,
              Vector6& f, Matrix6& d_pose) {
  for (int i = 0; i < 6; ++i) {
    const Closure c = closure(legs[i], pose, theta[i]);
    f(i) = c.f;
    for (int k = 0; k < 6; ++k) d_pose(i, k) = c.d_pose[k];
  }
}

}  // namespace

Eigen::Matrix3d rotation_exp(const Eigen::Vector3d& w) {
  const double angle = w.norm();
  if (angle == 0.0) return Eigen::Matrix3d::Identity();
  return Eigen::AngleAxisd(angle, w / angle).toRotationMatrix();
}

Eigen::Vector3d rotation_log(const Eigen::Matrix3d& r) {
  const Eigen::AngleAxisd aa(r);
  return aa.angle() * aa.axis();
}

Mat4 apply_twist(const Mat4& t, const Vector6& twist) {
  const Eigen::Matrix3d r = rotation_exp(twist.tail<3>()) * rotation_of(t);
  Mat4 out = Mat4::identity();
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) out(i, j) = r(i, j);
    out(i, 3) = t(i, 3) + twist(i);
  }
  return out;
}

std::array<double, 6> horn_angles(std::span<const CalibrationLeg> legs, std::span<const double> readings) {
  std::array<double, 6> theta{};
  for (std::size_t i = 0; i < 6; ++i) theta[i] = legs[i].zero + legs[i].direction * readings[i];
  return theta;
}

std::optional<Mat4> close_legs(std::span<const CalibrationLeg> legs, const std::array<double, 6>& theta,
                               const Mat4& start) {
  Mat4 pose = start;
  Vector6 f;
  Matrix6 d_pose;
  for (int iteration = 0; iteration < kMaxNewton; ++iteration) {
    closures(legs, theta, pose, f, d_pose);
    const Eigen::PartialPivLU<Matrix6> lu(d_pose);
    // A singular or nearly singular closure Jacobian has no unique pose near
    // here; rcond is cheap next to the solve.
    if (!(lu.rcond() > 1e-12)) return std::nullopt;
    const Vector6 step = -lu.solve(f);
    if (!step.allFinite() || step.cwiseAbs().maxCoeff() > kStepTooLarge) return std::nullopt;
    pose = apply_twist(pose, step);
    if (step.cwiseAbs().maxCoeff() < kStepDone) return pose;
  }
  // Not converged to the step criterion: accept only a pose whose rods are
  // within a nanometre of their lengths (f ~ 2 b error).
  closures(legs, theta, pose, f, d_pose);
  for (int i = 0; i < 6; ++i)
    if (!(std::fabs(f(i)) < 2e-9 * legs[i].rod_length)) return std::nullopt;
  return pose;
}

std::optional<PoseSensitivity> pose_sensitivity(std::span<const CalibrationLeg> legs,
                                                const std::array<double, 6>& theta, const Mat4& pose) {
  Matrix6 d_pose;
  Eigen::Matrix<double, 6, Eigen::Dynamic> d_params =
      Eigen::Matrix<double, 6, Eigen::Dynamic>::Zero(6, 6 * kCalibrationParametersPerLeg);
  for (int i = 0; i < 6; ++i) {
    const Closure c = closure(legs[i], pose, theta[i]);
    for (int k = 0; k < 6; ++k) d_pose(i, k) = c.d_pose[k];
    // Each leg's closure depends on its own parameters only.
    for (std::size_t k = 0; k < kCalibrationParametersPerLeg; ++k)
      d_params(i, i * kCalibrationParametersPerLeg + k) = c.d_params[k];
  }
  const Eigen::PartialPivLU<Matrix6> lu(d_pose);
  if (!(lu.rcond() > 1e-12)) return std::nullopt;
  return PoseSensitivity(-lu.solve(d_params));
}

PoseResidual pose_residual(const Mat4& model, const Mat4& measured) {
  PoseResidual out;
  const Eigen::Matrix3d r_model = rotation_of(model);
  const Eigen::Vector3d phi = rotation_log(rotation_of(measured).transpose() * r_model);
  for (int i = 0; i < 3; ++i) out.value(i) = model(i, 3) - measured(i, 3);
  out.value.tail<3>() = phi;
  // Turning the model by exp([w]) turns R_meas^T R_model on the right by
  // exp([R_model^T w]); log(E exp([d])) = phi + Jr^-1(phi) d to first order.
  const double angle = phi.norm();
  const Eigen::Matrix3d s = skew(phi);
  double c2;  // coefficient of [phi]^2 in Jr^-1
  if (angle < 1e-4)
    c2 = 1.0 / 12.0 + angle * angle / 720.0;
  else
    c2 = 1.0 / (angle * angle) - (1.0 + std::cos(angle)) / (2.0 * angle * std::sin(angle));
  const Eigen::Matrix3d jr_inv = Eigen::Matrix3d::Identity() + 0.5 * s + c2 * s * s;
  out.d_twist.setZero();
  out.d_twist.topLeftCorner<3, 3>().setIdentity();
  out.d_twist.bottomRightCorner<3, 3>() = jr_inv * r_model.transpose();
  return out;
}

}  // namespace zandrel::calibration
