#include "calibration_fit.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace zandrel::calibration {

namespace {

constexpr std::size_t kPerLeg = kCalibrationParametersPerLeg;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// A step smaller than this many tolerances in every parameter changes
// nothing anyone could measure: done.
constexpr double kStepDone = 1e-7;
constexpr double kDampingGiveUp = 1e10;

double tolerance_of(std::size_t k, const CalibrationOptions& o) {
  switch (static_cast<CalibrationParameter>(k)) {
    case CalibrationParameter::zero:
      return o.zero_tolerance;
    case CalibrationParameter::motor_arm_length:
    case CalibrationParameter::rod_length:
      return o.length_tolerance;
    default:
      return o.position_tolerance;
  }
}

// The identified parameters: leg, parameter and tolerance of each column.
struct Columns {
  std::vector<std::size_t> leg, parameter;
  Eigen::VectorXd tolerance;
  Columns(std::size_t legs, const CalibrationOptions& o) {
    for (std::size_t i = 0; i < legs; ++i)
      for (std::size_t k = 0; k < kPerLeg; ++k)
        if (o.identify[k]) {
          leg.push_back(i);
          parameter.push_back(k);
        }
    tolerance.resize(static_cast<Eigen::Index>(leg.size()));
    for (std::size_t j = 0; j < leg.size(); ++j) tolerance(static_cast<Eigen::Index>(j)) = tolerance_of(parameter[j], o);
  }
  std::size_t size() const { return leg.size(); }
  Eigen::Index full(std::size_t j) const { return static_cast<Eigen::Index>(leg[j] * kPerLeg + parameter[j]); }
};

std::vector<CalibrationLeg> legs_at(std::span<const CalibrationLeg> nominal, const Columns& cols,
                                    const Eigen::VectorXd& s) {
  std::vector<CalibrationLeg> legs(nominal.begin(), nominal.end());
  std::vector<Params> p(legs.size());
  for (std::size_t i = 0; i < legs.size(); ++i) p[i] = parameters_of(legs[i]);
  for (std::size_t j = 0; j < cols.size(); ++j) {
    const auto e = static_cast<Eigen::Index>(j);
    p[cols.leg[j]][cols.parameter[j]] += s(e) * cols.tolerance(e);
  }
  for (std::size_t i = 0; i < legs.size(); ++i) set_parameters(legs[i], p[i]);
  return legs;
}

// The weighted residuals (six a sample, then the prior's) and their
// data-only Jacobian in scaled parameters, at one point s.
struct Evaluation {
  bool ok = false;
  double cost = 0.0;
  Eigen::VectorXd data;      // weighted data residuals
  Eigen::MatrixXd jacobian;  // d data / d s
};

Evaluation evaluate(const FitInput& in, const std::vector<std::size_t>& samples, const Columns& cols,
                    const Eigen::VectorXd& s) {
  const std::vector<CalibrationLeg> legs = legs_at(in.nominal, cols, s);
  Vector6 weight;
  weight << in.options.position_noise, in.options.position_noise, in.options.position_noise,
      in.options.rotation_noise, in.options.rotation_noise, in.options.rotation_noise;
  const Eigen::Index rows = static_cast<Eigen::Index>(6 * samples.size());
  const Eigen::Index n_cols = static_cast<Eigen::Index>(cols.size());
  Evaluation ev;
  ev.data.resize(rows);
  ev.jacobian.resize(rows, n_cols);
  for (std::size_t m = 0; m < samples.size(); ++m) {
    const std::size_t n = samples[m];
    const auto theta = horn_angles(legs, in.readings.subspan(6 * n, 6));
    const std::optional<Mat4> pose = close_legs(legs, theta, in.poses[n]);
    if (!pose) return ev;
    const std::optional<PoseSensitivity> sens = pose_sensitivity(legs, theta, *pose);
    if (!sens) return ev;
    const PoseResidual res = pose_residual(*pose, in.poses[n]);
    const Eigen::Index row = static_cast<Eigen::Index>(6 * m);
    ev.data.segment<6>(row) = res.value.cwiseQuotient(weight);
    const Eigen::Matrix<double, 6, Eigen::Dynamic> d_full = weight.cwiseInverse().asDiagonal() * res.d_twist * *sens;
    for (std::size_t j = 0; j < cols.size(); ++j)
      ev.jacobian.block<6, 1>(row, static_cast<Eigen::Index>(j)) =
          d_full.col(cols.full(j)) * cols.tolerance(static_cast<Eigen::Index>(j));
  }
  ev.cost = ev.data.squaredNorm() + s.squaredNorm();
  ev.ok = std::isfinite(ev.cost);
  return ev;
}

// The combinations whose singular value is below the threshold, weakest
// first, each as its largest components (at least a tenth of the largest,
// at most eight).
std::vector<UnobservableDirection> describe(const Eigen::VectorXd& sigma, const Eigen::MatrixXd& v,
                                            const std::vector<bool>& weak, const Columns& cols) {
  std::vector<UnobservableDirection> out;
  for (Eigen::Index k = sigma.size() - 1; k >= 0; --k) {
    if (!weak[static_cast<std::size_t>(k)]) continue;
    UnobservableDirection dir{sigma(0) > 0.0 ? sigma(k) / sigma(0) : 0.0, {}};
    Eigen::VectorXd w = v.col(k);
    Eigen::Index top = 0;
    w.cwiseAbs().maxCoeff(&top);
    if (w(top) < 0.0) w = -w;  // the largest component positive: one sign for one direction
    std::vector<std::size_t> order(cols.size());
    for (std::size_t j = 0; j < order.size(); ++j) order[j] = j;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      return std::fabs(w(static_cast<Eigen::Index>(a))) > std::fabs(w(static_cast<Eigen::Index>(b)));
    });
    for (std::size_t j : order) {
      const double wj = w(static_cast<Eigen::Index>(j));
      if (dir.components.size() == 8 || std::fabs(wj) < 0.1 * w(top)) break;
      dir.components.push_back({cols.leg[j], static_cast<CalibrationParameter>(cols.parameter[j]), wj});
    }
    out.push_back(std::move(dir));
  }
  return out;
}

}  // namespace

std::vector<Vector6> sample_residuals(std::span<const CalibrationLeg> legs, std::span<const double> readings,
                                      std::span<const Mat4> poses) {
  std::vector<Vector6> out(poses.size(), Vector6::Constant(kNaN));
  for (std::size_t n = 0; n < poses.size(); ++n) {
    const std::optional<Mat4> pose = close_legs(legs, horn_angles(legs, readings.subspan(6 * n, 6)), poses[n]);
    if (pose) out[n] = pose_residual(*pose, poses[n]).value;
  }
  return out;
}

FitOutput fit(const FitInput& in) {
  const Columns cols(in.nominal.size(), in.options);
  FitOutput out;
  out.legs.assign(in.nominal.begin(), in.nominal.end());
  out.parameter_std.assign(in.nominal.size() * kPerLeg, kNaN);

  // Samples the nominal model has no pose for (a rod short of reaching, a
  // wrong channel) cannot be linearised: they sit the fit out.
  std::vector<std::size_t> samples;
  const std::vector<Vector6> at_nominal = sample_residuals(in.nominal, in.readings, in.poses);
  for (std::size_t n = 0; n < at_nominal.size(); ++n)
    if (at_nominal[n].allFinite()) samples.push_back(n);
  if (cols.size() == 0) {
    out.converged = true;
    return out;
  }
  if (6 * samples.size() < cols.size()) return out;

  const Eigen::Index p = static_cast<Eigen::Index>(cols.size());
  Eigen::VectorXd s = Eigen::VectorXd::Zero(p);
  Evaluation ev = evaluate(in, samples, cols, s);
  if (!ev.ok) return out;
  double damping = 0.0;
  Eigen::BDCSVD<Eigen::MatrixXd> svd;
  std::vector<bool> weak(static_cast<std::size_t>(p));
  const auto decompose = [&] {
    svd.compute(ev.jacobian, Eigen::ComputeThinV);
    const Eigen::VectorXd& sigma = svd.singularValues();
    for (Eigen::Index k = 0; k < p; ++k)
      weak[static_cast<std::size_t>(k)] = !(sigma(k) > in.options.unobservable_threshold * sigma(0));
  };
  decompose();
  while (out.iterations < in.options.max_iterations) {
    ++out.iterations;
    // Data and prior are both diagonal in the right singular vectors:
    // (sigma^2 + 1 + damping) y = -V^T (J^T r + s), with y = 0 along the
    // directions the data cannot tell apart, which so stay where they are.
    const Eigen::MatrixXd& v = svd.matrixV();
    const Eigen::VectorXd& sigma = svd.singularValues();
    const Eigen::VectorXd g = v.transpose() * (ev.jacobian.transpose() * ev.data + s);
    Eigen::VectorXd y(p);
    for (Eigen::Index k = 0; k < p; ++k)
      y(k) = weak[static_cast<std::size_t>(k)] ? 0.0 : -g(k) / (sigma(k) * sigma(k) + 1.0 + damping);
    const Eigen::VectorXd step = v * y;
    if (step.cwiseAbs().maxCoeff() < kStepDone) {
      out.converged = true;
      break;
    }
    Evaluation trial = evaluate(in, samples, cols, s + step);
    if (trial.ok && trial.cost <= ev.cost) {
      s += step;
      const bool flat = ev.cost - trial.cost <= 1e-12 * ev.cost;
      ev = std::move(trial);
      decompose();
      damping *= 0.1;
      if (flat) {
        out.converged = true;
        break;
      }
    } else {
      // Too far for the linearisation, or out of the model's reach.
      damping = std::max(10.0 * damping, 1e-3);
      if (damping > kDampingGiveUp) break;
    }
  }

  out.legs = legs_at(in.nominal, cols, s);
  // Posterior covariance in scaled parameters: (J^T J + I)^-1, from the
  // same decomposition. Directions held at nominal keep their prior.
  const Eigen::MatrixXd& v = svd.matrixV();
  const Eigen::VectorXd shrink = (svd.singularValues().array().square() + 1.0).inverse().matrix();
  for (std::size_t j = 0; j < cols.size(); ++j) {
    const auto e = static_cast<Eigen::Index>(j);
    const double var = v.row(e).cwiseAbs2().dot(shrink);
    out.parameter_std[static_cast<std::size_t>(cols.full(j))] = cols.tolerance(e) * std::sqrt(var);
  }
  out.unobservable = describe(svd.singularValues(), v, weak, cols);
  return out;
}

}  // namespace zandrel::calibration
