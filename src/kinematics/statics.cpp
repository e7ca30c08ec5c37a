#include "zandrel/statics.hpp"

#include <cmath>
#include <cstddef>
#include <limits>

#include <Eigen/Core>
#include <Eigen/SVD>

#include "mat4_inline.hpp"
#include "rod_system.hpp"

namespace zandrel {

namespace {

constexpr std::size_t kLegs = 6;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Below this fraction of the largest singular value the rods' system is
// taken as singular: the tensions it would give are rounding noise times
// something enormous, and no servo can hold them anyway.
constexpr double kSingularFraction = 1e-12;

using Mat6 = Eigen::Matrix<double, 6, 6>;

// The 3x3 block of m applied to a direction.
Vec3 rotate(const Mat4& m, const Vec3& x) {
  return {(m(0, 0) * x[0] + m(0, 1) * x[1]) + m(0, 2) * x[2],
          (m(1, 0) * x[0] + m(1, 1) * x[1]) + m(1, 2) * x[2],
          (m(2, 0) * x[0] + m(2, 1) * x[1]) + m(2, 2) * x[2]};
}

Vec3 cross(const Vec3& a, const Vec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// Solves J^T g = w for the rod tensions per unit rod length, g. The direct
// solve answers for nearly every pose; near a singularity the decomposition
// decides whether the system still has a meaningful answer. False where it
// has none.
bool tensions(const Mat6RowMajor& j, const Vec6& w, Vec6& g) {
  Mat6RowMajor jt;
  double norm_sq = 0.0;
  for (std::size_t r = 0; r < 6; ++r)
    for (std::size_t c = 0; c < 6; ++c) {
      const double x = j[6 * c + r];
      if (!std::isfinite(x)) return false;
      jt[6 * r + c] = x;
      norm_sq = norm_sq + x * x;
    }
  const double norm = std::sqrt(norm_sq);
  if (!(norm > 0.0) || !std::isfinite(norm)) return false;
  const double floor = norm * 0x1p-40;
  if (floor >= std::numeric_limits<double>::min() && certified_solve(jt, w, floor, g)) return true;

  const Mat6 m = Eigen::Map<const Eigen::Matrix<double, 6, 6, Eigen::RowMajor>>(jt.data());
  const Eigen::JacobiSVD<Mat6> svd(m, Eigen::ComputeFullU | Eigen::ComputeFullV);
  if (svd.info() != Eigen::Success) return false;
  const auto& sigma = svd.singularValues();
  if (!(sigma(5) > kSingularFraction * sigma(0))) return false;
  const Eigen::Matrix<double, 6, 1> x =
      svd.solve(Eigen::Map<const Eigen::Matrix<double, 6, 1>>(w.data()));
  for (std::size_t k = 0; k < 6; ++k) g[k] = x(static_cast<Eigen::Index>(k));
  return true;
}

}  // namespace

Wrench wrench_of(const Load& load, const Mat4& t_world_platform) noexcept {
  const Vec3 weight{load.mass * load.gravity[0], load.mass * load.gravity[1],
                    load.mass * load.gravity[2]};
  const Vec3 arm = rotate(t_world_platform, load.centre);
  const Vec3 moment = cross(arm, weight);
  Wrench out;
  for (std::size_t k = 0; k < 3; ++k) {
    out.force[k] = weight[k] + load.extra.force[k];
    out.moment[k] = moment[k] + load.extra.moment[k];
  }
  return out;
}

void servo_torques(const Kinematics& model, const Mat4& t_world_platform,
                   std::span<const double> joint_angles, const Wrench& wrench,
                   std::span<double> out) noexcept {
  for (double& x : out) x = kNaN;
  if (model.branches.size() != kLegs || joint_angles.size() != kLegs || out.size() != kLegs)
    return;
  const std::optional<Mat4> t_platform_world = inverse(t_world_platform);
  if (!t_platform_world) return;
  for (const Branch& branch : model.branches)
    if (!branch.t_motor_world) return;
  JointAngles angles;
  for (std::size_t i = 0; i < kLegs; ++i) angles[i] = joint_angles[i];

  std::array<Vec3, kLegs> rods;
  Mat6RowMajor j;
  rod_system(model, *t_platform_world, angles, rods, j);

  // The load in platform axes: the system's rows are written there.
  const Vec3 force = rotate(*t_platform_world, wrench.force);
  const Vec3 moment = rotate(*t_platform_world, wrench.moment);
  const Vec6 w{force[0], force[1], force[2], moment[0], moment[1], moment[2]};
  Vec6 g;
  if (!tensions(j, w, g)) return;

  for (std::size_t i = 0; i < kLegs; ++i) {
    const Branch& branch = model.branches[i];
    // The rod's pull on the horn tip, g_i d_i, carried into the motor frame.
    const Mat4 t_motor_platform = inline_multiply(*branch.t_motor_world, t_world_platform);
    const Vec3 pull =
        rotate(t_motor_platform, {g[i] * rods[i][0], g[i] * rods[i][1], g[i] * rods[i][2]});
    const double a = model.horn_of(i);
    const double tip_x = a * std::cos(angles[i]), tip_y = a * std::sin(angles[i]);
    // The servo balances the pull's moment about its shaft.
    out[i] = -(tip_x * pull[1] - tip_y * pull[0]);
  }
}

}  // namespace zandrel
