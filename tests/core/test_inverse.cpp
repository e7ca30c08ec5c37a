#include "zandrel/inverse.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "hexapod.hpp"
#include "zandrel/fatal.hpp"

namespace zandrel {
namespace {

using std::numbers::pi;
using test::ik6;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::vector<double> solve(const Kinematics& model, const Mat4& pose,
                          std::optional<double> yaw = std::nullopt) {
  std::vector<double> out(model.branches.size(), -123.0);
  inverse_kinematics(model, pose, yaw, out);
  return out;
}

// One leg with an identity motor: the anchor is given directly in motor
// coordinates at the identity pose.
Kinematics single_leg(double a, double b, const Vec3& anchor, double solution) {
  Kinematics model(a, b);
  model.add_branch(anchor, Mat4::identity(), solution);
  return model;
}


TEST(InverseKinematics, WorkedExampleTwoAssemblyModes) {
  Kinematics model(1.0, 1.0);
  model.add_branch({1.0, 1.0, 0.0}, Mat4::identity(), 1.0);
  model.add_branch({1.0, 1.0, 0.0}, Mat4::identity(), -1.0);

  const std::vector<double> plain = solve(model, Mat4::identity());
  EXPECT_NEAR(plain[0], pi / 2, 1e-15);
  EXPECT_EQ(plain[1], 0.0);

  const std::vector<double> yawed = solve(model, Mat4::identity(), pi / 2);
  EXPECT_NEAR(yawed[0], 0.0, 1e-15);
  EXPECT_NEAR(yawed[1], -pi / 2, 1e-15);
}

TEST(InverseKinematics, EmptyModelWritesNothing) {
  const Kinematics model(0.04, 0.085);
  for (std::optional<double> yaw : {std::optional<double>{}, std::optional<double>{0.3}})
    EXPECT_NO_THROW(inverse_kinematics(model, Mat4::identity(), yaw, std::span<double>{}));
}

TEST(InverseKinematics, OutputSizeMustMatchBranchCount) {
  const Kinematics model = test::make_hexapod();
  std::array<double, 5> too_short{};
  EXPECT_THROW(inverse_kinematics(model, Mat4::identity(), std::nullopt, too_short),
               std::invalid_argument);
}

// Cases built so that atan2 lands exactly on pi/2 or +-pi, where the wrap
// must map phi = pi to -pi and phi = +-2pi to 0.
struct WrapCase {
  const char* name;
  double a, b;
  Vec3 anchor;
  double solution;
  double expected;
  friend void PrintTo(const WrapCase& c, std::ostream* os) { *os << c.name; }
};

class Wrap : public ::testing::TestWithParam<WrapCase> {};

TEST_P(Wrap, DoubledAngleAtTheEnds) {
  const WrapCase& c = GetParam();
  const std::vector<double> out = solve(single_leg(c.a, c.b, c.anchor, c.solution),
                                        Mat4::identity());
  EXPECT_EQ(out[0], c.expected);
  EXPECT_FALSE(std::signbit(out[0]) && c.expected == 0.0) << "expected +0.0";
}

INSTANTIATE_TEST_SUITE_P(
    InverseKinematics, Wrap,
    ::testing::Values(
        // u = 0, v = 4: h = pi/2, phi = pi, returned as -pi.
        WrapCase{"PhiPi", 1.0, 1.0, {-1.0, 1.0, 0.0}, 1.0, -pi},
        // D = 0, u = -4, v = +0: h = pi, phi = 2pi, returned as 0.
        WrapCase{"PhiTwoPi", 1.0, 2.0, {-1.0, 0.0, 0.0}, 1.0, 0.0},
        // v = -0 (negative root of zero plus a negative-zero y): h = -pi.
        WrapCase{"PhiMinusTwoPi", 1.0, 2.0, {-1.0, -0.0, 0.0}, -1.0, 0.0}),
    [](const auto& info) { return std::string(info.param.name); });

// The angle that closes the leg for an anchor at q in the motor frame (a
// single leg with an identity motor), in extended precision: the anchor's
// direction plus or minus acos(K / 2aR).
double closing_angle(double a, double b, const Vec3& q, double solution) {
  using L = long double;
  const L x = q[0], y = q[1], z = q[2], la = a, lb = b;
  const L k = x * x + y * y + z * z + la * la - lb * lb;
  const L theta = std::atan2(y, x) + solution * std::acos(k / (2 * la * std::sqrt(x * x + y * y)));
  return static_cast<double>(std::remainder(theta, 2 * std::numbers::pi_v<L>));
}

// Where the other root lies at +-pi, the half-angle arguments u and v both
// vanish: exactly at (-1, 1, 0) with a = b = 1 (the angle is pi/2, not the 0
// that atan2(+0, 0) gives), and to rounding noise near any point whose horn
// at pi closes the leg. The angle must still be the one that closes it.
TEST(InverseKinematics, OtherRootAtPiStillClosesTheLeg) {
  EXPECT_NEAR(solve(single_leg(1.0, 1.0, {-1.0, 1.0, 0.0}, -1.0), Mat4::identity())[0], pi / 2,
              1e-15);
  // The sample's lengths; y > 0, so solution -1 is the root away from pi.
  const double a = 0.04, b = 0.085, y = 0.03, z = 0.02;
  const double x_on_surface = -a + std::sqrt(b * b - y * y - z * z);
  for (double offset : {0.0, 1e-17, -1e-15, 1e-13, -1e-11, 1e-9, 1e-7}) {
    const Vec3 q{x_on_surface + offset, y, z};
    const double angle = solve(single_leg(a, b, q, -1.0), Mat4::identity())[0];
    // Off the surface the half-angle form is kept, accurate to about 1e-10
    // at the edge of the cancelling band; the rod then closes to 4e-12.
    EXPECT_NEAR(angle, closing_angle(a, b, q, -1.0), 1e-10) << "offset " << offset;
  }
}

TEST(InverseKinematics, EdgeOfReachGivesOneAngleForBothRoots) {
  // Anchor at distance a + b straight along +Y: D is exactly zero.
  const double plus = solve(single_leg(1.0, 1.0, {0.0, 2.0, 0.0}, 1.0), Mat4::identity())[0];
  const double minus = solve(single_leg(1.0, 1.0, {0.0, 2.0, 0.0}, -1.0), Mat4::identity())[0];
  EXPECT_EQ(plus, minus);
  EXPECT_NEAR(plus, pi / 2, 1e-15);
}

TEST(InverseKinematics, ExpandedRadicandDecidesReachAtTheEdge) {
  // Anchors on the edge of reach (a = b = 1) where the term-by-term radicand
  // and the factored 4a^2(x^2 + y^2) - K^2 round to opposite signs.
  Kinematics model(1.0, 1.0);
  model.add_branch({-0.018, 1.9948052163952406, -0.101}, Mat4::identity(), 1.0);
  model.add_branch({-0.699, 1.534973914387956, -0.727}, Mat4::identity(), 1.0);
  const std::vector<double> out = solve(model, Mat4::identity());
  EXPECT_TRUE(std::isnan(out[0]));  // expanded D ~ -3.6e-15, factored ~ +1.8e-15
  EXPECT_FALSE(std::isnan(out[1]));  // expanded D ~ +2.0e-15, factored ~ -1.8e-15
}

TEST(InverseKinematics, UnreachableAnchorIsNaNInItsOwnSlotOnly) {
  Kinematics model(1.0, 1.0);
  model.add_branch({1.0, 1.0, 0.0}, Mat4::identity(), 1.0);
  model.add_branch({10.0, 0.0, 0.0}, Mat4::identity(), 1.0);  // 10 > a + b
  model.add_branch({1.0, 1.0, 0.0}, Mat4::identity(), -1.0);
  const std::vector<double> out = solve(model, Mat4::identity());
  EXPECT_NEAR(out[0], pi / 2, 1e-15);
  EXPECT_TRUE(std::isnan(out[1]));
  EXPECT_EQ(out[2], 0.0);
}

TEST(InverseKinematics, NaNMotorDeterminantPoisonsOnlyThatLeg) {
  Kinematics model(1.0, 1.0);
  Mat4 nan_motor = Mat4::identity();
  nan_motor(0, 0) = kNaN;
  model.add_branch({1.0, 1.0, 0.0}, nan_motor, 1.0);
  model.add_branch({1.0, 1.0, 0.0}, Mat4::identity(), 1.0);
  const std::vector<double> out = solve(model, Mat4::identity());
  EXPECT_TRUE(std::isnan(out[0]));
  EXPECT_NEAR(out[1], pi / 2, 1e-15);
}

class SingularMotor : public ::testing::TestWithParam<Mat4> {};

TEST_P(SingularMotor, IsFatalAndNamesTheLeg) {
  Kinematics model(1.0, 1.0);
  model.add_branch({1.0, 1.0, 0.0}, Mat4::identity(), 1.0);
  model.add_branch({1.0, 1.0, 0.0}, GetParam(), 1.0);
  std::vector<double> out(2);
  try {
    inverse_kinematics(model, Mat4::identity(), std::nullopt, out);
    FAIL() << "expected a fatal error";
  } catch (const FatalError& e) {
    EXPECT_EQ(e.kind(), FatalKind::singular_matrix);
    EXPECT_NE(std::string(e.what()).find("leg 1's t_world_motor"), std::string::npos) << e.what();
  }
}

Mat4 flattened() {
  Mat4 m = Mat4::identity();
  m(2, 2) = 0.0;  // every motor-frame point squashed onto z = 0
  return m;
}

INSTANTIATE_TEST_SUITE_P(InverseKinematics, SingularMotor,
                         ::testing::Values(Mat4{}, flattened()));

TEST(InverseKinematics, NonRigidMotorIsInvertedInFull) {
  // A motor frame scaled by 2 sees the anchor at half its world coordinates;
  // a rigid-only inverse would not.
  Mat4 scaled = Mat4::identity();
  scaled(0, 0) = scaled(1, 1) = scaled(2, 2) = 2.0;
  const Vec3 anchor{1.2, 0.6, 0.4};
  Kinematics model(1.0, 1.0);
  model.add_branch(anchor, scaled, 1.0);
  const double got = solve(model, Mat4::identity())[0];
  const double expected =
      solve(single_leg(1.0, 1.0, {0.6, 0.3, 0.2}, 1.0), Mat4::identity())[0];
  EXPECT_EQ(got, expected);
  EXPECT_FALSE(std::isnan(got));
}

TEST(InverseKinematics, SolutionValueScalesTheRootUnchanged) {
  // solution = 0 drops the root: atan2(2ya, u) for anchor (1, 1, 0).
  const double got = solve(single_leg(1.0, 1.0, {1.0, 1.0, 0.0}, 0.0), Mat4::identity())[0];
  EXPECT_DOUBLE_EQ(got, 2.0 * std::atan2(2.0, 4.0));
}

class HexapodPose : public ::testing::TestWithParam<Mat4> {};

TEST_P(HexapodPose, BothRootsCloseEveryRod) {
  for (double solution : {-1.0, 1.0}) {
    const Kinematics model = test::make_hexapod(solution);
    const std::array<double, 6> angles = ik6(model, GetParam());
    for (double e : test::rod_errors(model, GetParam(), angles)) EXPECT_NEAR(e, 0.0, 1e-14);
    for (double th : angles) {
      EXPECT_GE(th, -pi);
      EXPECT_LT(th, pi);
    }
  }
}

TEST_P(HexapodPose, TheTwoRootsDiffer) {
  const std::array<double, 6> minus = ik6(test::make_hexapod(-1.0), GetParam());
  const std::array<double, 6> plus = ik6(test::make_hexapod(1.0), GetParam());
  for (std::size_t i = 0; i < 6; ++i) EXPECT_GT(std::fabs(plus[i] - minus[i]), 0.1);
}

TEST_P(HexapodPose, ZeroYawOfEitherSignEqualsNoYaw) {
  const Kinematics model = test::make_hexapod();
  const std::array<double, 6> absent = ik6(model, GetParam());
  EXPECT_EQ(ik6(model, GetParam(), 0.0), absent);
  EXPECT_EQ(ik6(model, GetParam(), -0.0), absent);
}

TEST_P(HexapodPose, YawEqualsPreRotatedPose) {
  const Kinematics model = test::make_hexapod();
  for (double psi : {0.1, -0.25, 0.5, -1.0}) {
    const std::array<double, 6> yawed = ik6(model, GetParam(), psi);
    EXPECT_TRUE(test::same_bits(yawed, ik6(model, multiply(test::prerotation(psi), GetParam()))))
        << "psi = " << psi;
  }
}

TEST_P(HexapodPose, YawTurnsTheRequestAgainstTheBody) {
  // Requesting the pose turned by psi with the body turned by psi is the
  // unturned request with no body yaw.
  const Kinematics model = test::make_hexapod();
  const double psi = 0.3;
  const std::array<double, 6> base = ik6(model, GetParam());
  const std::array<double, 6> turned = ik6(model, multiply(test::rot_z(psi), GetParam()), psi);
  for (std::size_t i = 0; i < 6; ++i) EXPECT_NEAR(turned[i], base[i], 1e-12);
}

INSTANTIATE_TEST_SUITE_P(InverseKinematics, HexapodPose,
                         ::testing::ValuesIn(test::sample_poses()));

TEST(InverseKinematics, HomePoseIsReachableWithHornsAlongMotorX) {
  const std::array<double, 6> home = ik6(test::make_hexapod(), Mat4::identity());
  for (double th : home) EXPECT_NEAR(th, 0.0, 1e-12);
}

TEST(InverseKinematics, NonFiniteYawMakesEveryAngleNaN) {
  const Kinematics model = test::make_hexapod();
  for (double psi : {kNaN, kInf, -kInf})
    for (double th : ik6(model, Mat4::identity(), psi)) EXPECT_TRUE(std::isnan(th)) << psi;
}

}  // namespace
}  // namespace zandrel
