#include "zandrel/singularity.hpp"

#include <gtest/gtest.h>

#include <Eigen/SVD>
#include <cmath>

#include "kinematics/forward_step.hpp"
#include "hexapod.hpp"

namespace zandrel {
namespace {

using test::make_hexapod;
using test::rigid_pose;

double home_determinant(const Kinematics& model) {
  return rod_jacobian_determinant(model, Mat4::identity(), test::ik6(model, Mat4::identity()));
}

Kinematics scaled(const Kinematics& model, double factor) {
  Kinematics out(model.motor_arm_length * factor, model.rod_length * factor);
  for (const Branch& b : model.branches) {
    Mat4 motor = b.t_world_motor;
    for (int r = 0; r < 3; ++r) motor(r, 3) *= factor;
    out.add_branch({b.branch_platform[0] * factor, b.branch_platform[1] * factor,
                    b.branch_platform[2] * factor},
                   motor, b.solution);
  }
  return out;
}

TEST(SingularityMargin, OneAtHomeAndTheSameInAnyUnit) {
  const Kinematics m = make_hexapod();
  const Kinematics mm = scaled(m, 1000.0);
  const double det_m = home_determinant(m), det_mm = home_determinant(mm);
  EXPECT_EQ(singularity_margin(m, Mat4::identity(), det_m), 1.0);
  for (double roll : {-0.4, 0.1, 0.3}) {
    const Mat4 pose = rigid_pose(0.002, -0.001, 0.003, 0.2, -0.1, roll);
    Mat4 pose_mm = pose;
    for (int r = 0; r < 3; ++r) pose_mm(r, 3) *= 1000.0;
    EXPECT_NEAR(singularity_margin(mm, pose_mm, det_mm), singularity_margin(m, pose, det_m), 1e-9);
  }
}

TEST(SingularityMargin, NaNWhereItMeansNothing) {
  Kinematics seven = make_hexapod();
  seven.add_branch({0.01, 0.0, 0.0}, Mat4::identity(), 1.0);
  EXPECT_TRUE(std::isnan(singularity_margin(seven, Mat4::identity(), 1.0)));
  const Kinematics m = make_hexapod();
  EXPECT_TRUE(std::isnan(singularity_margin(m, test::translation(0, 0, 1.0), home_determinant(m))));
}

// Tilting from home, the margin first reaches zero exactly where the
// solver's Jacobian loses rank.
TEST(SingularityMargin, ZeroWhereTheSolversJacobianIsSingular) {
  Kinematics m = make_hexapod();
  const double det_home = home_determinant(m);
  auto margin = [&](double roll) {
    return singularity_margin(m, rigid_pose(0, 0, 0, 0, 0, roll), det_home);
  };
  double inside = 0.0, outside = 0.0;
  for (double roll = 0.0; roll < 1.5; roll += 0.01)
    if (!(margin(roll) > 0.0)) {
      outside = roll;
      break;
    }
  ASSERT_GT(outside, 0.0) << "no singularity within 1.5 rad of roll";
  ASSERT_FALSE(std::isnan(margin(outside))) << "left reach before any singularity";
  inside = outside - 0.01;
  for (int i = 0; i < 60; ++i) (margin((inside + outside) / 2) > 0.0 ? inside : outside) = (inside + outside) / 2;
  m.fk_pose = rigid_pose(0, 0, 0, 0, 0, inside);
  const StepSystem system = step_system(m, test::ik6(m, m.fk_pose));
  const Eigen::Matrix<double, 6, 6, Eigen::RowMajor> j(system.jacobian.data());
  const auto sigma = Eigen::JacobiSVD<Eigen::MatrixXd>(j).singularValues();
  EXPECT_LT(sigma(5) / sigma(0), 1e-9);
  EXPECT_GT(margin(inside - 0.01), 0.0);
}

}  // namespace
}  // namespace zandrel
