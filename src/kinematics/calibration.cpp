// Calibration's entry points: the inputs checked, the fit, the residuals
// and the diagnosis put together.
#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "calibration_diagnosis.hpp"
#include "calibration_fit.hpp"
#include "format_double.hpp"
#include "zandrel/calibration.hpp"

namespace zandrel {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kOutlierFactor = 3.0;
// ...and never below this many noise levels: with a handful of samples the
// fit absorbs much of the noise and their median says little, while a
// sample that is only noisy reaches six noise levels with a chance near
// 1e-5.
constexpr double kOutlierFloor = 6.0;

[[noreturn]] void refuse(const std::string& what) { throw std::invalid_argument("calibration: " + what); }

bool finite(const Mat4& m) {
  return std::all_of(m.v.begin(), m.v.end(), [](double x) { return std::isfinite(x); });
}

bool positive(double x) { return std::isfinite(x) && x > 0.0; }

// Motor frames and measured poses are rigid: the closed-form horn angles
// invert a motor's rotation by its transpose, and a rotation's log is only
// defined for a rotation. 1e-6 admits poses stored in single precision.
constexpr double kRigid = 1e-6;

bool rigid(const Mat4& m) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      const double dot = (m(0, i) * m(0, j) + m(1, i) * m(1, j)) + m(2, i) * m(2, j);
      if (!(std::fabs(dot - (i == j ? 1.0 : 0.0)) <= kRigid)) return false;
    }
  return m(3, 0) == 0.0 && m(3, 1) == 0.0 && m(3, 2) == 0.0 && m(3, 3) == 1.0;
}

void check_legs(std::span<const CalibrationLeg> legs) {
  if (legs.size() != 6) refuse("needs 6 legs, got " + std::to_string(legs.size()));
  for (std::size_t i = 0; i < legs.size(); ++i) {
    const CalibrationLeg& leg = legs[i];
    const std::string name = "leg " + std::to_string(i) + ": ";
    if (!finite(leg.t_world_motor) || !rigid(leg.t_world_motor))
      refuse(name + "t_world_motor must be a finite rigid transform (orthonormal rotation, bottom row 0 0 0 1)");
    for (double x : leg.branch_platform)
      if (!std::isfinite(x)) refuse(name + "branch_platform must be finite, got " + format_double(x));
    if (!positive(leg.motor_arm_length))
      refuse(name + "motor_arm_length must be positive and finite, got " + format_double(leg.motor_arm_length));
    if (!positive(leg.rod_length))
      refuse(name + "rod_length must be positive and finite, got " + format_double(leg.rod_length));
    if (!(leg.solution == 1.0 || leg.solution == -1.0))
      refuse(name + "solution must be +1 or -1, got " + format_double(leg.solution));
    if (!(leg.direction == 1.0 || leg.direction == -1.0))
      refuse(name + "direction must be +1 or -1, got " + format_double(leg.direction));
    if (!std::isfinite(leg.zero)) refuse(name + "zero must be finite, got " + format_double(leg.zero));
  }
}

void check_readings(std::span<const double> readings, std::size_t samples) {
  if (readings.size() != 6 * samples)
    refuse(std::to_string(samples) + (samples == 1 ? " pose needs " : " poses need ") +
           std::to_string(6 * samples) + " readings, got " + std::to_string(readings.size()));
  for (std::size_t k = 0; k < readings.size(); ++k)
    if (!std::isfinite(readings[k]))
      refuse("sample " + std::to_string(k / 6) + ", leg " + std::to_string(k % 6) + ": reading must be finite, got " +
             format_double(readings[k]));
}

void check_options(const CalibrationOptions& o) {
  const std::pair<const char*, double> positives[] = {
      {"length_tolerance", o.length_tolerance}, {"position_tolerance", o.position_tolerance},
      {"zero_tolerance", o.zero_tolerance},     {"position_noise", o.position_noise},
      {"rotation_noise", o.rotation_noise}};
  for (const auto& [name, value] : positives)
    if (!positive(value)) refuse(std::string(name) + " must be positive and finite, got " + format_double(value));
  if (o.max_iterations < 0) refuse("max_iterations must not be negative, got " + std::to_string(o.max_iterations));
  if (!(o.unobservable_threshold >= 0.0 && o.unobservable_threshold < 1.0))
    refuse("unobservable_threshold must be in [0, 1), got " + format_double(o.unobservable_threshold));
}

double wrap(double angle) {
  const double w = std::remainder(angle, 2.0 * kPi);
  return w == -kPi ? kPi : w;
}

double median(std::vector<double> x) {
  if (x.empty()) return std::numeric_limits<double>::quiet_NaN();
  const auto mid = x.begin() + static_cast<std::ptrdiff_t>(x.size() / 2);
  std::nth_element(x.begin(), mid, x.end());
  if (x.size() % 2 == 1) return *mid;
  return 0.5 * (*mid + *std::max_element(x.begin(), mid));
}

}  // namespace

const char* calibration_parameter_name(CalibrationParameter p) noexcept {
  switch (p) {
    case CalibrationParameter::zero: return "zero";
    case CalibrationParameter::motor_arm_length: return "motor_arm_length";
    case CalibrationParameter::rod_length: return "rod_length";
    case CalibrationParameter::anchor_x: return "anchor_x";
    case CalibrationParameter::anchor_y: return "anchor_y";
    case CalibrationParameter::anchor_z: return "anchor_z";
    case CalibrationParameter::motor_x: return "motor_x";
    case CalibrationParameter::motor_y: return "motor_y";
    case CalibrationParameter::motor_z: return "motor_z";
  }
  return "?";
}

std::optional<Mat4> solve_pose(std::span<const CalibrationLeg> legs, std::span<const double> readings,
                               const Mat4& start) {
  check_legs(legs);
  check_readings(readings, 1);
  if (!finite(start) || !rigid(start)) refuse("start pose must be a finite rigid transform");
  return calibration::close_legs(legs, calibration::horn_angles(legs, readings), start);
}

Calibration calibrate(std::span<const CalibrationLeg> nominal, std::span<const double> readings,
                      std::span<const Mat4> poses, const CalibrationOptions& options) {
  check_legs(nominal);
  check_options(options);
  check_readings(readings, poses.size());
  for (std::size_t n = 0; n < poses.size(); ++n)
    if (!finite(poses[n]) || !rigid(poses[n]))
      refuse("sample " + std::to_string(n) + ": pose must be a finite rigid transform");
  // Each pose gives six equations; without the prior, fewer equations than
  // parameters leave some combination to the prior alone.
  const std::size_t parameters = nominal.size() * options.identify.count();
  const std::size_t needed = std::max<std::size_t>(1, (parameters + 5) / 6);
  if (poses.size() < needed)
    throw std::invalid_argument("calibration needs at least " + std::to_string(needed) + " samples for " +
                                std::to_string(parameters) + " parameters, got " + std::to_string(poses.size()));

  calibration::FitOutput fitted = calibration::fit({nominal, readings, poses, options});
  calibration::Diagnosis diagnosis = calibration::diagnose(nominal, readings, poses, options);

  Calibration out;
  out.legs = std::move(fitted.legs);
  out.parameter_std = std::move(fitted.parameter_std);
  out.unobservable = std::move(fitted.unobservable);
  out.iterations = fitted.iterations;
  out.converged = fitted.converged;
  out.swapped = std::move(diagnosis.swapped);
  out.diagnosis = std::move(diagnosis.legs);
  for (std::size_t i = 0; i < out.diagnosis.size(); ++i)
    out.diagnosis[i].zero_shift = wrap(out.legs[i].zero - nominal[i].zero);

  // Per sample residuals with the calibrated legs; the outlier rule works
  // on the noise-weighted norm, so that position and rotation count alike.
  const std::vector<calibration::Vector6> res = calibration::sample_residuals(out.legs, readings, poses);
  std::vector<double> weighted, finite_norms;
  double sum_p = 0.0, sum_r = 0.0;
  for (const calibration::Vector6& r : res) {
    const double p = r.head<3>().norm(), q = r.tail<3>().norm();
    out.residual_position.push_back(p);
    out.residual_rotation.push_back(q);
    const double w = std::sqrt((p / options.position_noise) * (p / options.position_noise) +
                               (q / options.rotation_noise) * (q / options.rotation_noise));
    weighted.push_back(w);
    if (std::isfinite(w)) {
      finite_norms.push_back(w);
      sum_p += p * p;
      sum_r += q * q;
    }
  }
  const double count = static_cast<double>(finite_norms.size());
  out.rms_position = count > 0 ? std::sqrt(sum_p / count) : std::numeric_limits<double>::quiet_NaN();
  out.rms_rotation = count > 0 ? std::sqrt(sum_r / count) : std::numeric_limits<double>::quiet_NaN();
  const double scale = median(finite_norms);
  const double bar = std::max(kOutlierFactor * scale, kOutlierFloor);
  for (double w : weighted) out.outlier.push_back(!(w <= bar));
  return out;
}

}  // namespace zandrel
