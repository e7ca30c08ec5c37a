#include "zandrel/statics.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "hexapod.hpp"

namespace zandrel {
namespace {

using test::ik6;
using test::make_hexapod;
using test::rigid_pose;

// A small platform motion, body-fixed: `twist` (v, w) scaled by h.
Mat4 moved(const Mat4& pose, const std::array<double, 6>& twist, double h) {
  const Mat4 step = rigid_pose(h * twist[0], h * twist[1], h * twist[2], h * twist[5],
                               h * twist[4], h * twist[3]);
  return multiply(pose, step);
}

// Virtual work: for any small motion the servos' work and the load's cancel,
// sum tau_i dtheta_i + F . dp + M . dphi = 0 (dp, dphi the platform origin's
// displacement and rotation in world axes). Six independent motions pin all
// six torques down, so this checks each one, sign included.
TEST(ServoTorques, VirtualWorkOfEveryMotionCancels) {
  const Kinematics model = make_hexapod();
  Load load;
  load.mass = 0.5;
  load.centre = {0.004, -0.002, 0.03};
  load.extra = {{0.3, -0.2, 0.1}, {0.01, 0.02, -0.015}};
  for (const Mat4& pose : test::sample_poses()) {
    const Wrench w = wrench_of(load, pose);
    std::array<double, 6> tau{};
    servo_torques(model, pose, ik6(model, pose), w, tau);
    for (std::size_t k = 0; k < 6; ++k) {
      std::array<double, 6> twist{};
      twist[k] = 1.0;
      const double h = 1e-6;
      const auto up = ik6(model, moved(pose, twist, h));
      const auto down = ik6(model, moved(pose, twist, -h));
      double servo_work = 0.0, scale = 0.0;
      for (std::size_t i = 0; i < 6; ++i) {
        const double dtheta = (up[i] - down[i]) / (2 * h);
        servo_work += tau[i] * dtheta;
        scale += std::fabs(tau[i] * dtheta);
      }
      // Body-fixed axes turned into world axes.
      Vec3 dp{}, dphi{};
      for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
          dp[r] += pose(r, c) * twist[c];
          dphi[r] += pose(r, c) * twist[3 + c];
        }
      double load_work = 0.0;
      for (int r = 0; r < 3; ++r) load_work += w.force[r] * dp[r] + w.moment[r] * dphi[r];
      EXPECT_NEAR(servo_work + load_work, 0.0, 1e-6 * (scale + std::fabs(load_work)))
          << "motion " << k;
    }
  }
}

TEST(ServoTorques, NaNWhereTheRodsCannotHold) {
  const Kinematics model = make_hexapod();
  const Wrench w = wrench_of(Load{1.0, {}, {0.0, 0.0, -9.81}, {}}, Mat4::identity());
  std::array<double, 6> tau{};
  auto all_nan = [&] {
    for (double x : tau)
      if (!std::isnan(x)) return false;
    return true;
  };
  // Out of reach: inverse kinematics gives NaN angles.
  servo_torques(model, test::translation(0, 0, 1.0),
                ik6(model, test::translation(0, 0, 1.0)), w, tau);
  EXPECT_TRUE(all_nan());
  Kinematics seven = make_hexapod();
  seven.add_branch({0.01, 0.0, 0.0}, Mat4::identity(), 1.0);
  servo_torques(seven, Mat4::identity(), ik6(model, Mat4::identity()), w, tau);
  EXPECT_TRUE(all_nan());
  // Two legs on the same line: their rows coincide, and nothing holds the
  // platform against a push across them.
  Kinematics twin(test::kHornLength, test::kRodLength);
  const auto legs = test::hexapod_legs();
  for (std::size_t i = 0; i < 6; ++i) {
    const test::Leg& leg = legs[i == 1 ? 0 : i];
    twin.add_branch(leg.anchor, leg.t_world_motor, -1.0);
  }
  servo_torques(twin, Mat4::identity(), ik6(twin, Mat4::identity()), w, tau);
  EXPECT_TRUE(all_nan());
  servo_torques(model, Mat4::identity(), ik6(model, Mat4::identity()), w, tau);
  EXPECT_FALSE(all_nan());
}

}  // namespace
}  // namespace zandrel
