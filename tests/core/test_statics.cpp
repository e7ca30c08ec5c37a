#include "zandrel/statics.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <utility>

#include "hexapod.hpp"

namespace zandrel {
namespace {

using test::ik6;

// Virtual work: for any small motion the servos' work and the load's cancel,
// sum tau_i dtheta_i + F . dp + M . dphi = 0 (dp, dphi the platform origin's
// displacement and rotation, world axes). Six independent motions (along
// and about each body axis) pin all six torques down, signs included.
TEST(ServoTorques, VirtualWorkOfEveryMotionCancels) {
  const Kinematics model = test::make_hexapod();
  const Load load{0.5, {0.004, -0.002, 0.03}, {0.0, 0.0, -9.81}, {{0.3, -0.2, 0.1}, {0.01, 0.02, -0.015}}};
  for (const Mat4& pose : test::sample_poses()) {
    const Wrench w = wrench_of(load, pose);
    std::array<double, 6> tau{};
    servo_torques(model, pose, ik6(model, pose), w, tau);
    for (int k = 0; k < 6; ++k) {
      const double h = 1e-6;
      auto moved = [&](double s) {
        const double v = k < 3 ? s : 0.0, a = k < 3 ? 0.0 : s;
        return multiply(pose, test::rigid_pose(k == 0 ? v : 0, k == 1 ? v : 0, k == 2 ? v : 0,
                                               k == 5 ? a : 0, k == 4 ? a : 0, k == 3 ? a : 0));
      };
      const auto up = ik6(model, moved(h)), down = ik6(model, moved(-h));
      double work = 0.0, scale = 0.0;
      for (std::size_t i = 0; i < 6; ++i) {
        const double term = tau[i] * (up[i] - down[i]) / (2 * h);
        work += term;
        scale += std::fabs(term);
      }
      // The body axis k in world axes, moving the origin or turning about it.
      const Vec3& f = k < 3 ? w.force : w.moment;
      const double load_work = pose(0, k % 3) * f[0] + pose(1, k % 3) * f[1] + pose(2, k % 3) * f[2];
      EXPECT_NEAR(work + load_work, 0.0, 1e-6 * (scale + std::fabs(load_work))) << "motion " << k;
    }
  }
}

TEST(ServoTorques, NaNWhereTheRodsCannotHold) {
  const Wrench w{{0.0, 0.0, -9.81}, {}};
  const Mat4 home = Mat4::identity();
  // Two legs on one line: nothing holds the platform against a push across them.
  Kinematics twin(test::kHornLength, test::kRodLength), seven = test::make_hexapod();
  const auto legs = test::hexapod_legs();
  for (std::size_t i = 0; i < 6; ++i) {
    const test::Leg& leg = legs[i == 1 ? 0 : i];
    twin.add_branch(leg.anchor, leg.t_world_motor, -1.0);
  }
  seven.add_branch({0.01, 0.0, 0.0}, home, 1.0);
  const Kinematics model = test::make_hexapod();
  const Mat4 far = test::translation(0, 0, 1.0);
  using Case = std::pair<const Kinematics*, Mat4>;
  for (const auto& [m, pose] : {Case{&twin, home}, Case{&seven, home}, Case{&model, far}}) {
    std::array<double, 6> tau{};
    servo_torques(*m, pose, ik6(model, pose), w, tau);
    for (double x : tau) EXPECT_TRUE(std::isnan(x));
  }
}

}  // namespace
}  // namespace zandrel
