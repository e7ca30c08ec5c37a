#include "zandrel/forward.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <string>

#include "hexapod.hpp"
#include "zandrel/fatal.hpp"

namespace zandrel {
namespace {

using std::nullopt;
using test::ik6;
using test::make_hexapod;
using test::max_abs_diff;
using test::rod_error_norm;
using test::same_bits;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The fatal error a step throws ("" and no kind when it throws none).
struct Fatal {
  std::optional<FatalKind> kind;
  std::string what;
};

Fatal fatal_of(Kinematics& model, const JointAngles& angles) {
  try {
    forward_kinematics(model, angles, nullopt);
  } catch (const FatalError& e) {
    return {e.kind(), e.what()};
  }
  return {};
}


// ------------------------------------------------------------- branch count

class BranchCount : public ::testing::TestWithParam<int> {};

TEST_P(BranchCount, AnythingButSixIsFatalBeforeTouchingThePose) {
  Kinematics model(0.04, 0.085);
  const auto legs = test::hexapod_legs();
  for (int i = 0; i < GetParam(); ++i) model.add_branch(legs[i % 6].anchor, legs[i % 6].t_world_motor, -1.0);
  // A singular starting pose would fail too; the count is checked first.
  model.fk_pose = Mat4{};
  const Fatal fatal = fatal_of(model, JointAngles{});
  EXPECT_EQ(fatal.kind, FatalKind::leg_count);
  EXPECT_NE(fatal.what.find("has " + std::to_string(GetParam()) + " legs"), std::string::npos)
      << fatal.what;
  EXPECT_EQ(model.fk_pose, Mat4{});
}

INSTANTIATE_TEST_SUITE_P(ForwardKinematics, BranchCount, ::testing::Values(0, 1, 5, 7, 12));

// ------------------------------------------------------------- fixed points

TEST(ForwardKinematics, FreshModelAtHomeReturnsTheIdentityExactly) {
  Kinematics model = make_hexapod();
  const Mat4 out = forward_kinematics(model, ik6(model, Mat4::identity()), nullopt);
  EXPECT_EQ(out, Mat4::identity());
  EXPECT_EQ(model.fk_pose, Mat4::identity());
}

class AtPose : public ::testing::TestWithParam<Mat4> {};

TEST_P(AtPose, ConsistentAnglesReturnTheStoredPoseElementForElement) {
  Kinematics model = make_hexapod();
  const Mat4& pose = GetParam();
  reset_forward_kinematics(model, pose);
  const JointAngles angles = ik6(model, pose);
  ASSERT_LT(rod_error_norm(model, pose, angles), 1e-12);
  EXPECT_TRUE(same_bits(forward_kinematics(model, angles, nullopt), pose));
  EXPECT_TRUE(same_bits(model.fk_pose, pose));
}

TEST_P(AtPose, YawedAnglesFromYawedStartReturnThePose) {
  Kinematics model = make_hexapod();
  const Mat4& pose = GetParam();
  for (double psi : {0.2, -0.6}) {
    const Mat4 start = multiply(test::prerotation(psi), pose);
    reset_forward_kinematics(model, start);
    const Mat4 out = forward_kinematics(model, ik6(model, pose, psi), psi);
    EXPECT_TRUE(same_bits(model.fk_pose, start)) << "a step was taken for psi " << psi;
    EXPECT_LT(max_abs_diff(out, pose), 1e-15) << psi;
  }
}

TEST_P(AtPose, ConvergesOverRepeatedCallsWithoutRaisingTheResidual) {
  Kinematics model = make_hexapod();
  const Mat4& target = GetParam();
  const JointAngles angles = ik6(model, target);
  const Mat4 start = multiply(target, test::rigid_pose(0.004, -0.003, 0.003, 0.04, -0.03, 0.02));
  reset_forward_kinematics(model, start);

  double previous = rod_error_norm(model, start, angles);
  ASSERT_GT(previous, 1e-4);
  for (int call = 0; call < 40; ++call) {
    const Mat4 out = forward_kinematics(model, angles, nullopt);
    EXPECT_EQ(out, model.fk_pose);
    const double residual = rod_error_norm(model, out, angles);
    EXPECT_LE(residual, previous + 1e-16) << "call " << call;
    previous = residual;
  }
  // Steps stop once the residual is within the 1e-6 tolerance.
  EXPECT_LE(previous, 1e-6);
  EXPECT_LT(max_abs_diff(model.fk_pose, target), 1e-4);
  // And from then on the pose stays put.
  const Mat4 settled = model.fk_pose;
  forward_kinematics(model, angles, nullopt);
  EXPECT_TRUE(same_bits(model.fk_pose, settled));
}

TEST_P(AtPose, OneCallTakesOneStepOnly) {
  // A single Gauss-Newton step from a sizeable offset improves the residual
  // but does not reach the solution; the next call carries on from there.
  Kinematics model = make_hexapod();
  const JointAngles angles = ik6(model, GetParam());
  const Mat4 start = multiply(GetParam(), test::rigid_pose(0.01, 0.0, -0.01, 0.15, 0.0, 0.1));
  reset_forward_kinematics(model, start);
  const double r0 = rod_error_norm(model, start, angles);
  const Mat4 first = forward_kinematics(model, angles, nullopt);
  const double r1 = rod_error_norm(model, first, angles);
  EXPECT_LT(r1, r0);
  EXPECT_GT(r1, 1e-6);
  const Mat4 second = forward_kinematics(model, angles, nullopt);
  EXPECT_LT(rod_error_norm(model, second, angles), r1);
}

TEST_P(AtPose, NaNAngleTakesNoStep) {
  Kinematics model = make_hexapod();
  const Mat4 stored = test::rigid_pose(0.002, 0.0, -0.001, 0.05, 0.0, 0.0);
  JointAngles angles = ik6(model, GetParam());
  angles[3] = kNaN;
  reset_forward_kinematics(model, stored);
  EXPECT_TRUE(same_bits(forward_kinematics(model, angles, nullopt), stored));
  EXPECT_TRUE(same_bits(model.fk_pose, stored));

  // With a yaw, the stored pose is returned turned, as for a converged pose.
  Kinematics converged = make_hexapod();
  reset_forward_kinematics(converged, stored);
  const Mat4 expected = forward_kinematics(converged, ik6(converged, stored), 0.4);
  ASSERT_TRUE(same_bits(converged.fk_pose, stored));
  EXPECT_TRUE(same_bits(forward_kinematics(model, angles, 0.4), expected));
  EXPECT_TRUE(same_bits(model.fk_pose, stored));
}

INSTANTIATE_TEST_SUITE_P(ForwardKinematics, AtPose, ::testing::ValuesIn(test::sample_poses()));

TEST(ForwardKinematics, StepIsTakenInPlatformCoordinates) {
  // With the platform frame a quarter turn away from the world frame, a step
  // applied on the wrong side of the stored pose points the wrong way.
  const double turn = std::numbers::pi / 2;
  Kinematics model = test::make_turned_hexapod(turn);
  const Mat4 home = test::rot_z(turn);
  const JointAngles angles = ik6(model, home);
  for (double th : angles) ASSERT_NEAR(th, 0.0, 1e-12);

  reset_forward_kinematics(model, multiply(home, test::rigid_pose(0.005, 0.0, 0.0, 0.0, 0.0, 0.0)));
  for (int call = 0; call < 40; ++call) forward_kinematics(model, angles, nullopt);
  EXPECT_LT(max_abs_diff(model.fk_pose, home), 1e-4);
  EXPECT_LE(rod_error_norm(model, model.fk_pose, angles), 1e-6);
}

TEST(ForwardKinematics, ZeroLineSearchTrialsNeverMoves) {
  Kinematics model = make_hexapod();
  model.fk_line_search_trials = 0;
  const Mat4 start = test::translation(0.003, 0.0, 0.0);
  reset_forward_kinematics(model, start);
  forward_kinematics(model, ik6(model, Mat4::identity()), nullopt);
  EXPECT_TRUE(same_bits(model.fk_pose, start));
}

// ------------------------------------------------------------- body yaw output

class OutputYaw : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_forward_kinematics(model, stored);
    angles = ik6(model, stored);
  }
  Mat4 run(std::optional<double> yaw) {
    const Mat4 out = forward_kinematics(model, angles, yaw);
    EXPECT_TRUE(same_bits(model.fk_pose, stored)) << "the yaw must never be stored";
    return out;
  }
  Kinematics model = make_hexapod();
  Mat4 stored = test::rigid_pose(0.004, -0.002, 0.005, 0.3, 0.05, -0.04);
  JointAngles angles{};
};

TEST_F(OutputYaw, ZeroOfEitherSignDiffersFromAbsentOnlyByThePivotRoundTrip) {
  const Mat4 absent = run(nullopt);
  for (double zero : {0.0, -0.0}) {
    Mat4 out = run(zero);
    EXPECT_EQ(out(2, 3), (stored(2, 3) + (-0.177)) + 0.177);
    out(2, 3) = absent(2, 3);
    EXPECT_EQ(out, absent);
  }
}

TEST_F(OutputYaw, FiniteYawTurnsAboutTheVerticalAxisThroughThePivot) {
  for (double psi : {0.5, -1.2, 3.0}) {
    const Mat4 expected = multiply(
        multiply(multiply(test::translation(0, 0, 0.177), test::rot_z(psi)),
                 test::translation(0, 0, -0.177)),
        stored);
    EXPECT_LT(max_abs_diff(run(psi), expected), 1e-15) << psi;
  }
}

TEST_F(OutputYaw, NonFiniteYawGivesNaNRowsAndTheStoredBottomRow) {
  for (double psi : {kNaN, kInf, -kInf}) {
    const Mat4 out = run(psi);
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 4; ++c) EXPECT_TRUE(std::isnan(out(r, c))) << psi << " " << r << c;
    for (int c = 0; c < 4; ++c) EXPECT_EQ(out(3, c), stored(3, c));
  }
}

// ------------------------------------------------------------- fatal poses

TEST(ForwardKinematics, SingularStoredPoseIsFatalAndLeavesItInPlace) {
  Kinematics model = make_hexapod();
  Mat4 flat = Mat4::identity();
  flat(1, 1) = 0.0;
  for (const Mat4& singular : {Mat4{}, flat}) {
    reset_forward_kinematics(model, singular);
    EXPECT_EQ(fatal_of(model, JointAngles{}).kind, FatalKind::singular_matrix);
    EXPECT_TRUE(same_bits(model.fk_pose, singular));
  }
}

// ------------------------------------------------------------- non-finite input
//
// None of these may hang (the decomposition must terminate on anything) and
// none may move the stored pose. ctest's timeout catches a hang.

struct NonFinite {
  const char* name;
  void (*spoil)(Kinematics&, JointAngles&);
  friend void PrintTo(const NonFinite& c, std::ostream* os) { *os << c.name; }
};

class NonFiniteModel : public ::testing::TestWithParam<NonFinite> {};

TEST_P(NonFiniteModel, TerminatesAndKeepsTheStoredPose) {
  Kinematics model = make_hexapod();
  JointAngles angles = ik6(model, Mat4::identity());
  const Mat4 start = test::translation(0.002, -0.001, 0.003);
  model.fk_pose = start;
  GetParam().spoil(model, angles);
  const Mat4 before = model.fk_pose;
  for (int call = 0; call < 3; ++call) {
    const Mat4 out = forward_kinematics(model, angles, nullopt);
    EXPECT_TRUE(same_bits(out, before));
    EXPECT_TRUE(same_bits(model.fk_pose, before));
  }
}

INSTANTIATE_TEST_SUITE_P(
    ForwardKinematics, NonFiniteModel,
    ::testing::Values(
        // Infinite anchor: the residual is infinite (so a step is attempted)
        // and the Jacobian holds infinities and NaNs.
        NonFinite{"InfiniteAnchor",
                  [](Kinematics& m, JointAngles&) {
                    Branch& b = m.branches[2];
                    b.branch_platform[0] = kInf;
                    b.point_jacobian = point_jacobian_of(b.branch_platform);
                  }},
        // Finite residual, but the Jacobian overflows: the anchor and its
        // motor sit at 1e307 and a 1e5 horn multiplies into infinity. The
        // stored pose holds a -0.0, which any trial pose fk_pose * S would
        // turn into +0.0: an equal (not lower) residual must not be accepted.
        NonFinite{"OverflowingJacobianFiniteResidual",
                  [](Kinematics& m, JointAngles& angles) {
                    m = Kinematics(1e5, 1.0);
                    m.fk_pose = Mat4::identity();
                    m.fk_pose(0, 1) = -0.0;
                    for (int i = 0; i < 6; ++i)
                      m.add_branch({0.0, 1e307, 0.0}, test::translation(0.0, 1e307, 0.0), 1.0);
                    angles = {0.1, 0.2, 0.3, 0.4, 0.5, 0.6};
                  }},
        NonFinite{"NaNMotorPose",
                  [](Kinematics& m, JointAngles&) { m.branches[4].t_world_motor(0, 3) = kNaN; }},
        NonFinite{"InfiniteHorn",
                  [](Kinematics& m, JointAngles&) { m.motor_arm_length = kInf; }},
        NonFinite{"InfiniteAngle", [](Kinematics&, JointAngles& a) { a[0] = kInf; }},
        NonFinite{"InfiniteStoredTranslation",
                  [](Kinematics& m, JointAngles&) { m.fk_pose(1, 3) = kInf; }},
        NonFinite{"NaNRodLength", [](Kinematics& m, JointAngles&) { m.rod_length = kNaN; }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zandrel
