// Calibration: a simulated robot, built within its tolerances, identified
// from noisy measured poses; assembly faults found in its diagnosis.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <stdexcept>
#include <string>

#include "hexapod.hpp"
#include "kinematics/calibration_leg.hpp"
#include "kinematics/calibration_pose.hpp"
#include "zandrel/calibration.hpp"

namespace zandrel::test {
namespace {

constexpr double kDeg = std::numbers::pi / 180.0;
constexpr double kTooth = 14.4 * kDeg;  // one tooth of a 25-tooth spline

// The shared rig, horns on solution -1 (home is the identity), servos
// alternately turned.
std::vector<CalibrationLeg> nominal_legs() {
  std::vector<CalibrationLeg> legs;
  int k = 0;
  for (const Leg& leg : hexapod_legs())
    legs.push_back({leg.t_world_motor, leg.anchor, kHornLength, kRodLength, -1.0, 0.0, k++ % 2 ? -1.0 : 1.0});
  return legs;
}

// The horn angle closing a leg at a pose, worked in the world frame: the
// tip lies on the horn's circle and on the rod's sphere about the anchor.
// NaN when the rod cannot reach.
double closing_angle(const CalibrationLeg& leg, const Mat4& pose, double solution) {
  const Vec3 w = transform_point(pose, leg.branch_platform);
  const Mat4& m = leg.t_world_motor;
  double e[3];  // anchor - motor origin, on the horn's axes (x, y) and shaft (z)
  for (int c = 0; c < 3; ++c) {
    e[c] = 0.0;
    for (int r = 0; r < 3; ++r) e[c] += m(r, c) * (w[r] - m(r, 3));
  }
  const double a = leg.motor_arm_length, b = leg.rod_length;
  const double k = e[0] * e[0] + e[1] * e[1] + e[2] * e[2] + a * a - b * b;
  return std::atan2(e[1], e[0]) + solution * std::acos(k / (2.0 * a * std::hypot(e[0], e[1])));
}

struct Robot {
  std::vector<CalibrationLeg> legs;  // as built
  std::vector<double> solution;      // the side each horn is really on
};

// Every length and position off by its tolerance (Gaussian), zeros by up to
// +-zero_error.
Robot build(std::mt19937& rng, double tolerance, double zero_error) {
  std::normal_distribution<double> part(0.0, tolerance);
  std::uniform_real_distribution<double> zero(-zero_error, zero_error);
  Robot robot{nominal_legs(), std::vector<double>(6, -1.0)};
  for (CalibrationLeg& leg : robot.legs) {
    leg.zero += zero(rng);
    leg.motor_arm_length += part(rng);
    leg.rod_length += part(rng);
    for (int k = 0; k < 3; ++k) {
      leg.branch_platform[k] += part(rng);
      leg.t_world_motor(k, 3) += part(rng);
    }
  }
  return robot;
}

struct Samples {
  std::vector<Mat4> truth, measured;
  std::vector<double> readings;
};

// Poses within +-10 mm and +-10 degrees of home, the robot's readings for
// them, and the poses as measured with the given noise.
Samples sample(std::mt19937& rng, const Robot& robot, int count, double position_noise = 0.5e-3,
               double rotation_noise = 0.3 * kDeg) {
  std::uniform_real_distribution<double> shift(-0.01, 0.01), turn(-10.0 * kDeg, 10.0 * kDeg);
  std::normal_distribution<double> dp(0.0, position_noise), dr(0.0, rotation_noise);
  Samples s;
  while (static_cast<int>(s.truth.size()) < count) {
    const Mat4 pose = rigid_pose(shift(rng), shift(rng), shift(rng), turn(rng), turn(rng), turn(rng));
    std::vector<double> row;
    for (std::size_t i = 0; i < 6; ++i) {
      const CalibrationLeg& leg = robot.legs[i];
      row.push_back(leg.direction * (closing_angle(leg, pose, robot.solution[i]) - leg.zero));
    }
    if (!std::all_of(row.begin(), row.end(), [](double r) { return std::isfinite(r); })) continue;
    s.truth.push_back(pose);
    s.readings.insert(s.readings.end(), row.begin(), row.end());
    const Mat4 noise = rigid_pose(dp(rng), dp(rng), dp(rng), dr(rng), dr(rng), dr(rng));
    Mat4 measured = multiply(noise, pose);
    for (int r = 0; r < 3; ++r) measured(r, 3) = pose(r, 3) + noise(r, 3);
    s.measured.push_back(measured);
  }
  return s;
}

// RMS distance and angle between the legs' poses for the readings and the
// true poses.
std::pair<double, double> prediction_error(const std::vector<CalibrationLeg>& legs, const Samples& s) {
  double sp = 0.0, sr = 0.0;
  for (std::size_t n = 0; n < s.truth.size(); ++n) {
    const std::optional<Mat4> p = solve_pose(legs, std::span(s.readings).subspan(6 * n, 6), s.truth[n]);
    if (!p) return {INFINITY, INFINITY};
    const Mat4& t = s.truth[n];
    sp += std::pow(std::hypot((*p)(0, 3) - t(0, 3), (*p)(1, 3) - t(1, 3), (*p)(2, 3) - t(2, 3)), 2);
    double trace = 0.0;  // of R_truth^T R
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) trace += t(r, c) * (*p)(r, c);
    sr += std::pow(std::acos(std::clamp(0.5 * (trace - 1.0), -1.0, 1.0)), 2);
  }
  const double n = static_cast<double>(s.truth.size());
  return {std::sqrt(sp / n), std::sqrt(sr / n)};
}

// The diagnosis's closed-form horn angle picks the same assembly as the
// inverse kinematics for either solution; at home every horn is level.
TEST(Calibration, ClosingAngleAgreesWithInverseKinematics) {
  const std::vector<CalibrationLeg> legs = nominal_legs();
  for (double solution : {-1.0, 1.0})
    for (const Mat4& pose : sample_poses()) {
      const auto angles = ik6(make_hexapod(solution), pose);
      for (std::size_t i = 0; i < 6; ++i)
        EXPECT_NEAR(std::remainder(calibration::closing_angle(legs[i], pose, solution) - angles[i], 2 * std::numbers::pi),
                    0.0, 1e-9)
            << "leg " << i << ", solution " << solution;
    }
  for (const CalibrationLeg& leg : legs) EXPECT_NEAR(calibration::closing_angle(leg, Mat4::identity(), -1.0), 0.0, 1e-9);
}

// The fit's Jacobian: the implicit derivative of the model pose, through
// the residual against a measured pose, matches central differences of the
// residual for every parameter of every leg.
TEST(Calibration, ResidualDerivativeMatchesDifferences) {
  std::mt19937 rng(3);
  const Robot robot = build(rng, 0.5e-3, 3.0 * kDeg);
  const Samples s = sample(rng, robot, 3, 2e-3, 2.0 * kDeg);
  const std::vector<CalibrationLeg> legs = nominal_legs();
  const auto residual = [&](const std::vector<CalibrationLeg>& l, std::size_t n) {
    const auto theta = calibration::horn_angles(l, std::span(s.readings).subspan(6 * n, 6));
    return calibration::pose_residual(*calibration::close_legs(l, theta, s.measured[n]), s.measured[n]);
  };
  for (std::size_t n = 0; n < 3; ++n) {
    const auto theta = calibration::horn_angles(legs, std::span(s.readings).subspan(6 * n, 6));
    const Mat4 pose = *calibration::close_legs(legs, theta, s.measured[n]);
    const Eigen::MatrixXd analytic =
        residual(legs, n).d_twist * *calibration::pose_sensitivity(legs, theta, pose);
    for (std::size_t i = 0; i < 6; ++i)
      for (std::size_t k = 0; k < 9; ++k) {
        const double h = k == 0 ? 1e-6 : 1e-7;
        std::vector<CalibrationLeg> plus = legs, minus = legs;
        calibration::Params p = calibration::parameters_of(legs[i]), q = p;
        p[k] += h;
        q[k] -= h;
        calibration::set_parameters(plus[i], p);
        calibration::set_parameters(minus[i], q);
        const Eigen::VectorXd numeric = (residual(plus, n).value - residual(minus, n).value) / (2 * h);
        const Eigen::VectorXd column = analytic.col(static_cast<Eigen::Index>(9 * i + k));
        EXPECT_LT((numeric - column).norm(), 1e-6 * (1.0 + column.norm())) << "leg " << i << ", parameter " << k;
      }
  }
}

TEST(Calibration, BuiltRobotPredictsHeldOutPosesBetterThanNominal) {
  std::mt19937 rng(7);
  const Robot robot = build(rng, 0.5e-3, 3.0 * kDeg);
  const Samples fit = sample(rng, robot, 30), held_out = sample(rng, robot, 50);
  const Calibration cal = calibrate(nominal_legs(), fit.readings, fit.measured);
  ASSERT_TRUE(cal.converged);
  const auto [nominal_p, nominal_r] = prediction_error(nominal_legs(), held_out);
  const auto [p, r] = prediction_error(cal.legs, held_out);
  EXPECT_LT(p, 0.5e-3);
  EXPECT_LT(r, 0.006);
  EXPECT_LT(p, nominal_p);
  EXPECT_LT(r, nominal_r);
  // The residual of the fit is the measurement noise, not model error: about
  // sqrt(3) * 0.5 mm.
  EXPECT_LT(cal.rms_position, 1.2e-3);
}

TEST(Calibration, ZeroOnlyRecoversZeros) {
  std::mt19937 rng(11);
  const Robot robot = build(rng, 0.0, 3.0 * kDeg);
  const Samples s = sample(rng, robot, 30);
  CalibrationOptions zeros;
  zeros.identify = CalibrationMask().set(static_cast<std::size_t>(CalibrationParameter::zero));
  const Calibration cal = calibrate(nominal_legs(), s.readings, s.measured, zeros);
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_NEAR(cal.legs[i].zero, robot.legs[i].zero, 0.7 * kDeg) << "leg " << i;
    EXPECT_TRUE(std::isnan(cal.parameter_std[9 * i + 1])) << "horn length not identified";
  }
}

// A pose measured 5 mm off (ten times the noise) is the one outlier.
TEST(Calibration, FlagsTheMismeasuredSampleOnly) {
  std::mt19937 rng(17);
  Samples s = sample(rng, build(rng, 0.5e-3, 3.0 * kDeg), 30);
  s.measured[5](1, 3) += 5e-3;
  const Calibration cal = calibrate(nominal_legs(), s.readings, s.measured);
  for (std::size_t n = 0; n < 30; ++n) EXPECT_EQ(cal.outlier[n], n == 5) << "sample " << n;
}

// Nine measurements of one pose say nothing about 48 of the 54 directions,
// and each of those is reported.
TEST(Calibration, RepeatedPoseLeavesAllButSixDirectionsUnobservable) {
  std::mt19937 rng(13);
  const Robot robot = build(rng, 0.5e-3, 3.0 * kDeg);
  const Samples one = sample(rng, robot, 1, 0.0, 0.0);
  std::vector<double> readings;
  for (int n = 0; n < 9; ++n) readings.insert(readings.end(), one.readings.begin(), one.readings.end());
  const std::vector<Mat4> poses(9, one.measured[0]);
  const Calibration cal = calibrate(nominal_legs(), readings, poses);
  EXPECT_TRUE(cal.converged);
  EXPECT_EQ(cal.unobservable.size(), 48u);
}

// A horn put on a whole number of spline teeth off shows that many teeth in
// its zero shift, from five poses, and every other leg none.
class CalibrationTooth : public ::testing::TestWithParam<int> {};

TEST_P(CalibrationTooth, ZeroShiftCountsTheTeeth) {
  std::mt19937 rng(23);
  Robot robot = build(rng, 0.5e-3, 3.0 * kDeg);
  const int teeth = GetParam();
  robot.legs[2].zero += teeth * kTooth;
  const Samples s = sample(rng, robot, 5);
  CalibrationOptions zeros;
  zeros.identify = CalibrationMask().set(static_cast<std::size_t>(CalibrationParameter::zero));
  const Calibration cal = calibrate(nominal_legs(), s.readings, s.measured, zeros);
  for (std::size_t i = 0; i < 6; ++i)
    EXPECT_NEAR(cal.diagnosis[i].zero_shift, i == 2 ? teeth * kTooth : 0.0, kTooth / 2) << "leg " << i;
}

INSTANTIATE_TEST_SUITE_P(Teeth, CalibrationTooth, ::testing::Values(0, 1, -1));

struct Fault {
  int swap_a = -1, swap_b = -1;  // channels exchanged
  int flipped = -1;              // horn on the other side
};

class CalibrationFault : public ::testing::TestWithParam<Fault> {};

TEST_P(CalibrationFault, DiagnosisNamesExactlyThePlantedFault) {
  const Fault f = GetParam();
  std::mt19937 rng(31);
  Robot robot = build(rng, 0.5e-3, 3.0 * kDeg);
  if (f.flipped >= 0) robot.solution[f.flipped] = 1.0;
  Samples s = sample(rng, robot, 30);
  if (f.swap_a >= 0)
    for (std::size_t n = 0; n < s.truth.size(); ++n) std::swap(s.readings[6 * n + f.swap_a], s.readings[6 * n + f.swap_b]);
  const Calibration cal = calibrate(nominal_legs(), s.readings, s.measured);
  ASSERT_EQ(cal.swapped.size(), f.swap_a >= 0 ? 1u : 0u);
  if (f.swap_a >= 0) {
    EXPECT_EQ(cal.swapped[0].leg_a, static_cast<std::size_t>(f.swap_a));
    EXPECT_EQ(cal.swapped[0].leg_b, static_cast<std::size_t>(f.swap_b));
  }
  for (int i = 0; i < 6; ++i) EXPECT_EQ(cal.diagnosis[i].other_side_suspected, i == f.flipped) << "leg " << i;
}

INSTANTIATE_TEST_SUITE_P(Faults, CalibrationFault,
                         ::testing::Values(Fault{}, Fault{0, 3}, Fault{1, 2}, Fault{-1, -1, 4}));

TEST(Calibration, RefusesInconsistentInput) {
  std::mt19937 rng(5);
  const Samples s = sample(rng, build(rng, 0.0, 0.0), 5);
  const std::vector<CalibrationLeg> legs = nominal_legs();
  try {
    calibrate(legs, s.readings, s.measured);
    FAIL() << "54 parameters from 5 samples";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()), "calibration needs at least 9 samples for 54 parameters, got 5");
  }
  CalibrationOptions zeros;
  zeros.identify = CalibrationMask().set(0);
  EXPECT_NO_THROW(calibrate(legs, std::span(s.readings).first(6), std::span(s.measured).first(1), zeros));
  EXPECT_THROW(calibrate(legs, std::span(s.readings).first(29), s.measured, zeros), std::invalid_argument);
  std::vector<double> bad = s.readings;
  bad[7] = NAN;
  EXPECT_THROW(calibrate(legs, bad, s.measured, zeros), std::invalid_argument);
  std::vector<Mat4> sheared = s.measured;
  sheared[2](0, 1) += 1e-3;
  EXPECT_THROW(calibrate(legs, s.readings, sheared, zeros), std::invalid_argument);
  std::vector<CalibrationLeg> five(legs.begin(), legs.end() - 1);
  EXPECT_THROW(calibrate(five, std::span(s.readings).first(25), s.measured, zeros), std::invalid_argument);
}

}  // namespace
}  // namespace zandrel::test
