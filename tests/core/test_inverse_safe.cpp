#include "zandrel/inverse_safe.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "hexapod.hpp"
#include "zandrel/fatal.hpp"
#include "zandrel/inverse.hpp"

namespace zandrel {
namespace {

using std::nullopt;
using Opt = std::optional<double>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct SafeResult {
  double yaw;
  std::array<double, 6> angles;
};

SafeResult run_safe(const Kinematics& model, const Mat4& pose, Opt yaw, Opt max_rel,
                    Opt max_body) {
  SafeResult r{};
  r.yaw = inverse_kinematics_safe(model, pose, yaw, max_rel, max_body, r.angles);
  return r;
}

// ---------------------------------------------------------------- yaw choice

TEST(InverseKinematicsSafe, WorkedExampleRelativeThenAbsolute) {
  const Kinematics model = test::make_hexapod();
  const SafeResult rel = run_safe(model, Mat4::identity(), 0.3, 0.1, nullopt);
  EXPECT_EQ(rel.yaw, 0.1);
  EXPECT_EQ(rel.angles, test::ik6(model, Mat4::identity(), 0.1));

  const SafeResult both = run_safe(model, Mat4::identity(), 0.3, 0.1, 0.05);
  EXPECT_EQ(both.yaw, 0.05);
  EXPECT_EQ(both.angles, test::ik6(model, Mat4::identity(), 0.05));
}

TEST(InverseKinematicsSafe, WithoutLimitsTheYawIsPassedThroughExactly) {
  const Kinematics model = test::make_hexapod();
  for (double y : {0.123456789, -0.25, 1e300, -0.0}) {
    const SafeResult r = run_safe(model, test::rot_z(0.4), y, nullopt, nullopt);
    EXPECT_EQ(r.yaw, y);
    EXPECT_EQ(std::signbit(r.yaw), std::signbit(y));
    EXPECT_TRUE(test::same_bits(r.angles, test::ik6(model, test::rot_z(0.4), y))) << y;
  }
}

TEST(InverseKinematicsSafe, AbsentYawIsPositiveZeroAndLimitsAreIgnored) {
  const Kinematics model = test::make_hexapod();
  const Mat4 pose = test::sample_poses()[2];
  for (Opt limit : {Opt{}, Opt{-1.0}, Opt{kNaN}, Opt{0.2}}) {
    const SafeResult r = run_safe(model, pose, nullopt, limit, limit);
    EXPECT_EQ(r.yaw, 0.0);
    EXPECT_FALSE(std::signbit(r.yaw));
    EXPECT_EQ(r.angles, test::ik6(model, pose, 0.0));
  }
}

TEST(InverseKinematicsSafe, NegatedFormDecidesTheSignOfZero) {
  const Kinematics model = test::make_hexapod();
  const SafeResult r = run_safe(model, Mat4::identity(), 0.0, 0.5, nullopt);
  EXPECT_EQ(r.yaw, 0.0);
  EXPECT_TRUE(std::signbit(r.yaw));
}

TEST(InverseKinematicsSafe, ZeroRelativeLimitFollowsThePlatformHeading) {
  const Kinematics model = test::make_hexapod();
  for (double y : {-1.0, 0.0, 0.7, 2.0})
    EXPECT_NEAR(run_safe(model, test::rot_z(0.7), y, 0.0, nullopt).yaw, 0.7, 1e-15);
}

TEST(InverseKinematicsSafe, RelativeDifferenceIsNotWrapped) {
  // Headings -3.0 and 3.0 are 0.28 apart on the circle, but the band is
  // applied to the plain difference of 6.0.
  const Kinematics model = test::make_hexapod();
  const SafeResult r = run_safe(model, test::rot_z(-3.0), 3.0, 0.5, nullopt);
  EXPECT_NEAR(r.yaw, -2.5, 1e-14);
}

TEST(InverseKinematicsSafe, HeadingIsReadFromRowZero) {
  // A tilted platform: the heading is atan2(t(0,1), t(0,0)), here of a pose
  // whose row 0 and column 0 disagree.
  const Kinematics model = test::make_hexapod();
  const Mat4 pose = test::rigid_pose(0, 0, 0, 0.3, 0.4, 0.5);
  const double heading = -std::atan2(pose(0, 1), pose(0, 0));
  ASSERT_GT(std::fabs(heading - std::atan2(pose(1, 0), pose(0, 0))), 0.01);
  EXPECT_NEAR(run_safe(model, pose, 5.0, 0.0, nullopt).yaw, heading, 1e-15);
}

TEST(InverseKinematicsSafe, AbsoluteLimitWinsOverRelative) {
  const Kinematics model = test::make_hexapod();
  // Relative band around heading 1.0 is [0.9, 1.1]; absolute band [-0.2, 0.2].
  EXPECT_EQ(run_safe(model, test::rot_z(1.0), 1.0, 0.1, 0.2).yaw, 0.2);
  EXPECT_EQ(run_safe(model, test::rot_z(1.0), -3.0, nullopt, 0.2).yaw, -0.2);
}

TEST(InverseKinematicsSafe, NegativeZeroBodyLimitForcesZero) {
  const Kinematics model = test::make_hexapod();
  for (double y : {0.5, -0.5, 0.0, 1e10}) {
    const SafeResult r = run_safe(model, Mat4::identity(), y, nullopt, -0.0);
    EXPECT_EQ(r.yaw, 0.0) << y;
  }
}

TEST(InverseKinematicsSafe, NaNYawPassesThroughTheClamps) {
  const Kinematics model = test::make_hexapod();
  const SafeResult r = run_safe(model, Mat4::identity(), kNaN, 0.1, 0.1);
  EXPECT_TRUE(std::isnan(r.yaw));
  for (double th : r.angles) EXPECT_TRUE(std::isnan(th));
}

TEST(InverseKinematicsSafe, EmptyModelReturnsOnlyTheYaw) {
  const Kinematics model(0.04, 0.085);
  EXPECT_EQ(inverse_kinematics_safe(model, Mat4::identity(), 0.3, 0.1, nullopt, {}), 0.1);
}

TEST(InverseKinematicsSafe, SingularMotorIsFatalAsInThePlainSolver) {
  Kinematics model(1.0, 1.0);
  model.add_branch({1, 1, 0}, Mat4{}, 1.0);
  std::array<double, 1> out{};
  EXPECT_THROW(inverse_kinematics_safe(model, Mat4::identity(), nullopt, nullopt, nullopt, out),
               FatalError);
}

// ---------------------------------------------------------------- bad limits

class InvalidLimit : public ::testing::TestWithParam<double> {};

// The limit an invalid_yaw_limit error carries and its message; nullopt when
// the call succeeds. Any other error fails the test.
struct Rejected {
  double limit;
  std::string what;
};

std::optional<Rejected> rejected(const Kinematics& model, Opt max_rel, Opt max_body) {
  std::array<double, 6> out{};
  try {
    inverse_kinematics_safe(model, Mat4::identity(), 0.1, max_rel, max_body, out);
  } catch (const FatalError& e) {
    EXPECT_EQ(e.kind(), FatalKind::invalid_yaw_limit);
    return Rejected{e.yaw_limit(), e.what()};
  }
  return std::nullopt;
}

// The limit comes back exactly as passed (the binding builds the module's
// message from it), and the message names the parameter.
TEST_P(InvalidLimit, RelativeLimit) {
  const auto r = rejected(test::make_hexapod(), GetParam(), nullopt);
  ASSERT_TRUE(r);
  EXPECT_TRUE(test::same_bits(r->limit, GetParam()));
  EXPECT_EQ(r->what.rfind("inverse_kinematics_safe: max_relative_yaw must be", 0), 0u) << r->what;
}

TEST_P(InvalidLimit, BodyLimit) {
  const auto r = rejected(test::make_hexapod(), nullopt, GetParam());
  ASSERT_TRUE(r);
  EXPECT_TRUE(test::same_bits(r->limit, GetParam()));
  EXPECT_EQ(r->what.rfind("inverse_kinematics_safe: max_body_yaw must be", 0), 0u) << r->what;
}

TEST_P(InvalidLimit, RelativeIsReportedBeforeBody) {
  const auto r = rejected(test::make_hexapod(), GetParam(), -7.0);
  ASSERT_TRUE(r);
  EXPECT_TRUE(test::same_bits(r->limit, GetParam()));
}

INSTANTIATE_TEST_SUITE_P(InverseKinematicsSafe, InvalidLimit,
                         ::testing::Values(-0.5, -1e-5, -1e16, -kInf, kNaN, -kNaN));

TEST(InverseKinematicsSafe, ValidRelativeLimitDoesNotMaskAnInvalidBodyLimit) {
  const auto r = rejected(test::make_hexapod(), 0.5, -0.25);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->limit, -0.25);
  EXPECT_EQ(r->what, "inverse_kinematics_safe: max_body_yaw must be zero or positive, got -0.25");
}

TEST(InverseKinematicsSafe, ZeroLimitsOfEitherSignPass) {
  EXPECT_FALSE(rejected(test::make_hexapod(), -0.0, 0.0));
  EXPECT_FALSE(rejected(test::make_hexapod(), 0.0, -0.0));
}

}  // namespace
}  // namespace zandrel
