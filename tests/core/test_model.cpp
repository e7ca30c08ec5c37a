#include <gtest/gtest.h>

#include <cmath>

#include "zandrel/model.hpp"
#include "print_mat4.hpp"

namespace zandrel {
namespace {

// Element (r, c) of the column-major 3x6 point Jacobian.
double jacobian_at(const Branch& b, int r, int c) { return b.point_jacobian[3 * c + r]; }

TEST(Model, StartsEmptyAtIdentityWithSixteenTrials) {
  const Kinematics k(0.04, 0.085);
  EXPECT_TRUE(k.branches.empty());
  EXPECT_EQ(k.fk_pose, Mat4::identity());
  EXPECT_EQ(k.fk_line_search_trials, 16u);
  EXPECT_EQ(k.motor_arm_length, 0.04);
  EXPECT_EQ(k.rod_length, 0.085);
}

TEST(Model, PointJacobianIsIdentityBesideNegatedCrossMatrix) {
  Kinematics k(1.0, 1.0);
  k.add_branch({1.0, 2.0, 3.0}, Mat4::identity(), 1.0);
  const double expected[3][6] = {{1, 0, 0, 0, 3, -2}, {0, 1, 0, -3, 0, 1}, {0, 0, 1, 2, -1, 0}};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 6; ++c) EXPECT_EQ(jacobian_at(k.branches[0], r, c), expected[r][c]) << r << c;
}

TEST(Model, PointJacobianTimesTwistIsAnchorVelocity) {
  // G (v, w) must equal v + w x p for any twist.
  const Vec3 p{0.3, -1.5, 2.25};
  const auto g = point_jacobian_of(p);
  const double v[3] = {0.5, -0.25, 2.0}, w[3] = {1.5, 0.75, -3.0};
  const double cross[3] = {w[1] * p[2] - w[2] * p[1], w[2] * p[0] - w[0] * p[2],
                           w[0] * p[1] - w[1] * p[0]};
  for (int r = 0; r < 3; ++r) {
    double sum = 0.0;
    for (int c = 0; c < 3; ++c) sum += g[3 * c + r] * v[c] + g[3 * (c + 3) + r] * w[c];
    EXPECT_DOUBLE_EQ(sum, v[r] + cross[r]) << r;
  }
}

TEST(Model, MotorPoseIsReadRowByRow) {
  const double rows[16] = {1, 0, 0, 10, 0, 1, 0, 20, 0, 0, 1, 30, 0, 0, 0, 1};
  Kinematics k(1.0, 1.0);
  k.add_branch({0, 0, 0}, Mat4::from_rows(rows), -1.0);
  const Mat4& t = k.branches[0].t_world_motor;
  EXPECT_EQ(t(0, 3), 10.0);
  EXPECT_EQ(t(1, 3), 20.0);
  EXPECT_EQ(t(2, 3), 30.0);
  EXPECT_EQ(t(3, 0), 0.0);
  const Vec3 moved = transform_point(t, {1.0, 2.0, 3.0});
  EXPECT_EQ(moved, (Vec3{11.0, 22.0, 33.0}));
}

TEST(Model, StoresAnyValuesAndDuplicatesInOrder) {
  Kinematics k(-1.0, std::nan(""));
  const Mat4 zero{};
  k.add_branch({1, 2, 3}, zero, 0.5);
  k.add_branch({1, 2, 3}, zero, 0.5);
  k.add_branch({4, 5, 6}, Mat4::identity(), 0.0);
  ASSERT_EQ(k.branches.size(), 3u);
  EXPECT_EQ(k.branches[0].solution, 0.5);
  EXPECT_FALSE(k.branches[0].t_motor_world.has_value());  // singular, kept anyway
  EXPECT_EQ(k.branches[2].branch_platform, (Vec3{4, 5, 6}));
  EXPECT_EQ(k.branches[2].solution, 0.0);
  EXPECT_EQ(k.branches[2].t_motor_world, Mat4::identity());
}

}  // namespace
}  // namespace zandrel
