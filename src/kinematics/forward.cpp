#include "forward_step.hpp"
#include "rod_system.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include <Eigen/Core>
#include <Eigen/LU>
#include <Eigen/SVD>

#include "mat4_inline.hpp"
#include "zandrel/fatal.hpp"
#include "zandrel/singularity.hpp"

namespace zandrel {

namespace {

constexpr std::size_t kLegs = 6;
constexpr double kResidualTolerance = 1e-6;
constexpr double kPseudoInverseTolerance = 1e-6;
constexpr double kSmallRotation = 1e-6;
constexpr double kStepReduction = 0.5;
constexpr double kYawPivotHeight = 0.177;

using Mat6 = Eigen::Matrix<double, 6, 6>;
using HornTips = std::array<Vec3, kLegs>;

// Square root of the sum of squares, added first component to last.
double norm3(const Vec3& x) { return std::sqrt((x[0] * x[0] + x[1] * x[1]) + x[2] * x[2]); }

double norm6(const Vec6& x) {
  double sum = x[0] * x[0];
  for (std::size_t k = 1; k < x.size(); ++k) sum = sum + x[k] * x[k];
  return std::sqrt(sum);
}

// The throws are out of line and cold: their messages are built only on the
// way out, and the step's loops stay as small as they were.
[[noreturn, gnu::cold, gnu::noinline]] void throw_singular(const char* which) {
  throw FatalError(FatalKind::singular_matrix,
                   std::string("forward_kinematics: ") + which +
                       " is singular (determinant exactly zero)");
}

[[noreturn, gnu::cold, gnu::noinline]] void throw_leg_count(std::size_t legs) {
  throw FatalError(FatalKind::leg_count, "forward_kinematics: the model has " +
                                             std::to_string(legs) +
                                             " legs; forward kinematics needs exactly 6");
}

void require_six_legs(const Kinematics& model) {
  if (model.branches.size() != kLegs) throw_leg_count(model.branches.size());
}

// `which` names the pose in the error: the stored one or a trial.
Mat4 inverse_or_fatal(const Mat4& m, const char* which) {
  const std::optional<Mat4> inv = inverse(m);
  if (!inv) throw_singular(which);
  return *inv;
}

constexpr const char* kStoredPose = "the stored start pose fk_pose";

// Horn tips in motor frames, shared by the Jacobian and every trial. The
// third component is a * 0.0 so that a non-finite a shows up as NaN.
HornTips horn_tips_of(const Kinematics& model, const JointAngles& joint_angles) {
  HornTips tips;
  for (std::size_t i = 0; i < kLegs; ++i) {
    const double theta = joint_angles[i];
    const double a = model.horn_of(i);
    tips[i] = {a * std::cos(theta), a * std::sin(theta), a * 0.0};
  }
  return tips;
}

// The rod vector from horn tip to anchor, in platform coordinates:
// A - (t_platform_world * t_world_motor) applied to the tip.
Vec3 rod_in_platform(const Mat4& t_platform_world, const Branch& branch, const Vec3& tip) {
  const Vec3 q =
      inline_transform_point(inline_multiply(t_platform_world, branch.t_world_motor), tip);
  const Vec3& anchor = branch.branch_platform;
  return {anchor[0] - q[0], anchor[1] - q[1], anchor[2] - q[2]};
}

// Rods and residuals at the pose whose inverse is t_platform_world.
void rods_and_residuals(const Kinematics& model, const Mat4& t_platform_world,
                        const HornTips& tips, std::array<Vec3, kLegs>& rods, Vec6& r) {
  for (std::size_t i = 0; i < kLegs; ++i) {
    const Vec3 d = rod_in_platform(t_platform_world, model.branches[i], tips[i]);
    r[i] = model.rod_of(i) - norm3(d);
    rods[i] = d;
  }
}

// Jacobian rows d^T G_i, not normalised by |d|.
Mat6RowMajor jacobian_of(const Kinematics& model, const std::array<Vec3, kLegs>& rods) {
  Mat6RowMajor j;
  for (std::size_t i = 0; i < kLegs; ++i) {
    const Vec3& d = rods[i];
    const auto& g = model.branches[i].point_jacobian;  // column-major 3x6: (r, c) is 3c + r
    for (std::size_t col = 0; col < 6; ++col)
      j[6 * i + col] = (g[3 * col + 0] * d[0] + g[3 * col + 1] * d[1]) + g[3 * col + 2] * d[2];
  }
  return j;
}

// Rotation by `angle` about the unit axis u (Rodrigues), as a 4x4 transform
// with zero translation. Written term by term so that a non-finite angle
// poisons all nine entries rather than only the ones that "look" trigonometric.
Mat4 axis_angle_rotation(const Vec3& u, double angle) {
  const double s = std::sin(angle);
  const double c = std::cos(angle);
  const double ux = u[0], uy = u[1], uz = u[2];
  const double ux2 = ux * ux, uy2 = uy * uy, uz2 = uz * uz;
  const double one_c = 1.0 - c;
  Mat4 r = Mat4::identity();
  r(0, 0) = (1.0 - ux2) * c + ux2;
  r(0, 1) = ux * uy * one_c - s * uz;
  r(0, 2) = ux * uz * one_c + s * uy;
  r(1, 0) = ux * uy * one_c + s * uz;
  r(1, 1) = (1.0 - uy2) * c + uy2;
  r(1, 2) = uy * uz * one_c - s * ux;
  r(2, 0) = ux * uz * one_c - s * uy;
  r(2, 1) = uy * uz * one_c + s * ux;
  r(2, 2) = (1.0 - uz2) * c + uz2;
  return r;
}

// Axis of a rotation vector w: w / |w|, renormalised once more, as the step
// defines it.
Vec3 unit_axis(const Vec3& w, double phi) {
  Vec3 u{w[0] / phi, w[1] / phi, w[2] / phi};
  const double len = norm3(u);
  return {u[0] / len, u[1] / len, u[2] / len};
}

// The line search's trial steps S = [R(w) | v; 0 0 0 1], halving v and w
// after every rejected trial. The translation is taken as is, not coupled to
// the rotation; rotations too small to give a stable axis (and a NaN angle)
// are dropped.
//
// Halving w changes neither its axis nor anything but the exponent of |w|,
// bit for bit, as long as no component, square or sum on the way leaves the
// normal range: that holds for the first 64 trials when every nonzero
// component of the full-step w lies in [2^-400, 2^400] (then components stay
// above 2^-464, squares above 2^-928, and nothing overflows). In that case
// the axis and the angle come from the first trial, the angle halved each
// time; otherwise both are recomputed from w for every trial.
class TrialSteps {
 public:
  explicit TrialSteps(const Vec6& delta)
      : v_{delta[0], delta[1], delta[2]}, w_{delta[3], delta[4], delta[5]}, phi_(norm3(w_)) {
    reuse_axis_ = true;
    for (double x : w_) {
      const double m = std::fabs(x);
      if (!(m == 0.0 || (m >= 0x1p-400 && m <= 0x1p400))) reuse_axis_ = false;
    }
    if (reuse_axis_ && phi_ > kSmallRotation) axis_ = unit_axis(w_, phi_);
  }

  Mat4 transform() const {
    Mat4 s = Mat4::identity();
    if (phi_ > kSmallRotation)
      s = axis_angle_rotation(reuse_axis_ ? axis_ : unit_axis(w_, phi_), phi_);
    s(0, 3) = v_[0];
    s(1, 3) = v_[1];
    s(2, 3) = v_[2];
    return s;
  }

  void halve() {
    for (double& x : v_) x *= kStepReduction;
    for (double& x : w_) x *= kStepReduction;
    if (++halvings_ >= 64) reuse_axis_ = false;
    // While the axis is reused, halving gives the value norm3(w_) would (see
    // above). The axis was formed at the first trial if phi_ is above the
    // threshold now, since phi_ was larger then.
    phi_ = reuse_axis_ ? phi_ * kStepReduction : norm3(w_);
  }

 private:
  Vec3 v_, w_;
  double phi_;
  bool reuse_axis_ = false;
  Vec3 axis_{};
  int halvings_ = 0;
};

// Whether the residual norm at `candidate` is strictly below rho. The six
// squares are summed in leg order as norm6 sums them, and a trial is given up
// as soon as the partial sum exceeds reject_above = fl(fl(rho^2) (1 + 2^-48)):
// partial sums of non-negative terms never decrease, and any sum s above
// reject_above exceeds rho^2 (1 + 2^-49) (two roundings cost at most 2^-52),
// so sqrt(s) > rho and its correctly rounded value is at least rho, which
// rho > |r'| rejects. The verdict is the full computation's, only sooner.
bool lowers_residual(const Kinematics& model, const Mat4& candidate, const HornTips& tips,
                     double rho, double reject_above) {
  const Mat4 t_platform_world = inverse_or_fatal(candidate, "a trial pose of the line search");
  double sum = 0.0;  // 0.0 + x is x for the first square, NaN included
  for (std::size_t i = 0; i < kLegs; ++i) {
    const Vec3 d = rod_in_platform(t_platform_world, model.branches[i], tips[i]);
    const double ri = model.rod_of(i) - norm3(d);
    sum = sum + ri * ri;
    if (sum > reject_above) return false;
  }
  return rho > std::sqrt(sum);  // a NaN trial residual is never accepted
}

// Moore-Penrose pseudo-inverse V S+ U^T with singular values <= tolerance (or
// NaN) treated as zero. The products are our own loops so that the summation
// order is fixed; only the decomposition itself comes from Eigen.
//
// A non-finite J yields the all-zero pseudo-inverse, as if every singular
// value were NaN (which the tolerance rule maps to zero). The step is then
// zero, or NaN where a residual is infinite, so each trial reproduces the
// stored pose's residual or a NaN one, none is strictly better, and the stored
// pose is returned unchanged: the same outcome as a NaN anywhere in the model
// or the angles. Checking J ourselves also keeps us independent of how an Eigen
// version treats such input (3.4 reports InvalidInput and leaves U, S and V
// uninitialised).
Mat6 pseudo_inverse(const Mat6RowMajor& values) {
  Mat6 pinv = Mat6::Zero();
  for (double x : values)
    if (!std::isfinite(x)) return pinv;
  const Mat6 j = Eigen::Map<const Eigen::Matrix<double, 6, 6, Eigen::RowMajor>>(values.data());

  const Eigen::JacobiSVD<Mat6> svd(j, Eigen::ComputeFullU | Eigen::ComputeFullV);
  if (svd.info() != Eigen::Success) return pinv;
  const Mat6& u = svd.matrixU();
  const Mat6& v = svd.matrixV();
  const auto& sigma = svd.singularValues();

  Vec6 sigma_inv;
  for (std::size_t k = 0; k < 6; ++k) {
    const double s = sigma(static_cast<Eigen::Index>(k));
    sigma_inv[k] = s > kPseudoInverseTolerance ? 1.0 / s : 0.0;
  }
  for (Eigen::Index row = 0; row < 6; ++row)
    for (Eigen::Index col = 0; col < 6; ++col) {
      // ((t0 + t1) + ...) + t5, starting from the first term itself so that
      // the sign of a zero sum is the sign the terms give it.
      double sum = (v(row, 0) * sigma_inv[0]) * u(col, 0);
      for (Eigen::Index k = 1; k < 6; ++k)
        sum = sum + (v(row, k) * sigma_inv[static_cast<std::size_t>(k)]) * u(col, k);
      pinv(row, col) = sum;
    }
  return pinv;
}

// Turns the pose about the vertical axis through (0, 0, 0.177) by +psi.
Mat4 apply_body_yaw(const Mat4& pose, double psi) {
  Mat4 shifted = pose;
  shifted(2, 3) = pose(2, 3) + (-kYawPivotHeight);
  // Exactly zero: the identity, without evaluating sin/cos. Otherwise the same
  // nine formulas as the step rotation, so a NaN or infinite psi gives NaN
  // in all nine rotation entries.
  const Mat4 rz = psi == 0.0 ? Mat4::identity() : axis_angle_rotation({0.0, 0.0, 1.0}, psi);
  Mat4 out = inline_multiply(rz, shifted);
  out(2, 3) = out(2, 3) + kYawPivotHeight;
  return out;
}

// The step and its line search: fk_pose becomes the first trial pose that
// lowers the residual norm rho, if any does.
void take_step(Kinematics& model, const HornTips& tips, const std::array<Vec3, kLegs>& rods,
               const Vec6& r, double rho) {
  TrialSteps step(gauss_newton_step(jacobian_of(model, rods), r));
  const double reject_above = (rho * rho) * (1.0 + 0x1p-48);
  for (std::uint64_t trial = 0; trial < model.fk_line_search_trials; ++trial) {
    const Mat4 candidate = inline_multiply(model.fk_pose, step.transform());
    if (lowers_residual(model, candidate, tips, rho, reject_above)) {
      model.fk_pose = candidate;
      return;
    }
    step.halve();
  }
}

}  // namespace

void rod_system(const Kinematics& model, const Mat4& t_platform_world,
                const JointAngles& joint_angles, std::array<Vec3, kLegs>& rods,
                Mat6RowMajor& jacobian) {
  Vec6 r;
  rods_and_residuals(model, t_platform_world, horn_tips_of(model, joint_angles), rods, r);
  jacobian = jacobian_of(model, rods);
}

Vec6 pseudo_inverse_step(const Mat6RowMajor& jacobian, const Vec6& r) {
  const Mat6 pinv = pseudo_inverse(jacobian);
  Vec6 delta;
  for (std::size_t row = 0; row < 6; ++row) {
    const auto ri = static_cast<Eigen::Index>(row);
    double sum = pinv(ri, 0) * r[0];
    for (std::size_t col = 1; col < 6; ++col)
      sum = sum + pinv(ri, static_cast<Eigen::Index>(col)) * r[col];
    delta[row] = sum;
  }
  return delta;
}

Vec6 gauss_newton_step(const Mat6RowMajor& jacobian, const Vec6& r) {
  // Nearly always the Jacobian is far from singular (on the sample geometry
  // its smallest singular value is around 2e-3 and its condition around
  // 100): then J+ is J^-1, and the certified direct solve answers in a
  // fraction of the decomposition's time.
  Vec6 delta;
  if (certified_solve(jacobian, r, kPseudoInverseTolerance, delta)) return delta;
  return pseudo_inverse_step(jacobian, r);
}

StepSystem step_system(const Kinematics& model, const JointAngles& joint_angles) {
  require_six_legs(model);
  const HornTips tips = horn_tips_of(model, joint_angles);
  std::array<Vec3, kLegs> rods;
  StepSystem system;
  rods_and_residuals(model, inverse_or_fatal(model.fk_pose, kStoredPose), tips, rods,
                     system.residuals);
  system.jacobian = jacobian_of(model, rods);
  return system;
}

double rod_jacobian_determinant(const Kinematics& model, const Mat4& t_world_platform,
                                const JointAngles& joint_angles) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  const std::optional<Mat4> t_platform_world = inverse(t_world_platform);
  if (model.branches.size() != kLegs || !t_platform_world) return kNaN;
  std::array<Vec3, kLegs> rods;
  Mat6RowMajor j;
  rod_system(model, *t_platform_world, joint_angles, rods, j);
  for (double x : j)
    if (!std::isfinite(x)) return kNaN;
  const Mat6 values = Eigen::Map<const Eigen::Matrix<double, 6, 6, Eigen::RowMajor>>(j.data());
  return values.partialPivLu().determinant();
}

Mat4 forward_kinematics(Kinematics& model, const JointAngles& joint_angles,
                        std::optional<double> body_yaw) {
  require_six_legs(model);

  const HornTips tips = horn_tips_of(model, joint_angles);
  std::array<Vec3, kLegs> rods;
  Vec6 r;
  rods_and_residuals(model, inverse_or_fatal(model.fk_pose, kStoredPose), tips, rods, r);

  const double rho = norm6(r);
  if (rho > kResidualTolerance) take_step(model, tips, rods, r, rho);  // false for NaN: no step

  if (!body_yaw) return model.fk_pose;
  return apply_body_yaw(model.fk_pose, *body_yaw);
}

void reset_forward_kinematics(Kinematics& model, const Mat4& t_world_platform) {
  model.fk_pose = t_world_platform;
}

}  // namespace zandrel
