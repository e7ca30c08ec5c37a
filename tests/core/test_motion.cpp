// The motion engine: every command within the servos' limits and the
// feasible set, on the straight path, arriving exactly or clamping with the
// leg and the reason.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <optional>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "hexapod.hpp"
#include "kinematics/straight_path.hpp"
#include "zandrel/motion.hpp"

namespace zandrel::test {
namespace {

constexpr double kRate = 200.0;

MotionModelSpec hexapod_spec(double speed = 6.0, double acceleration = 80.0, double unit = 1000.0) {
  MotionModelSpec spec{kHornLength, kRodLength, {}, Mat4::identity(), unit};
  for (const Leg& leg : hexapod_legs()) {
    ServoLimits servo;
    servo.lower = -1.2;
    servo.upper = 1.2;
    servo.speed = speed;
    servo.acceleration = acceleration;
    spec.legs.push_back({leg.anchor, leg.t_world_motor, -1.0, servo});
  }
  return spec;
}

// Every pair and triple of commands within the limits, with rest before.
struct LimitWatch {
  const MotionModel& model;
  std::vector<double> before, last;
  double worst = 0.0;  // largest use of a limit, as a fraction of it
  void see(std::span<const double> r) {
    if (last.empty()) last.assign(r.begin(), r.end());
    if (before.empty()) before = last;
    for (std::size_t j = 0; j < r.size(); ++j) {
      const ServoLimits& s = model.servo(j);
      const double v = std::fabs(r[j] - last[j]) * kRate;
      const double a = std::fabs(r[j] - 2.0 * last[j] + before[j]) * kRate * kRate;
      worst = std::max({worst, v / s.speed, a / s.acceleration});
    }
    before = last;
    last.assign(r.begin(), r.end());
  }
};

// Translation off the line from a to b, in the model's unit.
double off_line(const Mat4& a, const Mat4& b, const Mat4& p) {
  Vec3 d{}, e{};
  double dd = 0.0, de = 0.0;
  for (int i = 0; i < 3; ++i) {
    d[i] = b(i, 3) - a(i, 3);
    e[i] = p(i, 3) - a(i, 3);
    dd += d[i] * d[i];
    de += d[i] * e[i];
  }
  const double t = dd > 0.0 ? de / dd : 0.0;
  double off = 0.0;
  for (int i = 0; i < 3; ++i) off += std::pow(e[i] - t * d[i], 2);
  return std::sqrt(off);
}

TEST(Motion, FactoryRefusesWhatCannotBeMoved) {
  auto spec = hexapod_spec();
  spec.legs[2].servo.speed = 0.0;
  EXPECT_THROW(MotionModel::create(spec), std::invalid_argument);
  spec = hexapod_spec();
  spec.home = translation(0.0, 0.0, 200.0);  // out of reach, in mm
  EXPECT_THROW(MotionModel::create(spec), std::invalid_argument);
  EXPECT_NO_THROW(MotionModel::create(hexapod_spec()));
}

TEST(Motion, FollowerKeepsLimitsPathAndArrivesExactly) {
  const auto model = MotionModel::create(hexapod_spec());
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int trial = 0; trial < 20; ++trial) {
    const Mat4 target = rigid_pose(8.0 * u(rng), 8.0 * u(rng), 6.0 * u(rng), 0.2 * u(rng), 0.15 * u(rng), 0.15 * u(rng));
    Follower follower(model, kRate);
    LimitWatch watch{*model, {}, {}};
    watch.see(follower.last().servo_angles);
    std::vector<double> angles(6), readings(6);
    bool arrived = false;
    for (int k = 0; k < 2000 && !arrived; ++k) {
      const Command& c = follower.step(target);
      watch.see(c.servo_angles);
      ASSERT_TRUE(model->solve(c.pose, angles, readings).feasible());
      for (std::size_t j = 0; j < 6; ++j) ASSERT_EQ(angles[j], c.angles[j]);
      ASSERT_LT(off_line(Mat4::identity(), target, c.pose), 1e-9);
      arrived = c.status == MotionStatus::arrived;
      if (!arrived) ASSERT_EQ(c.status, MotionStatus::moving);
    }
    ASSERT_TRUE(arrived) << "trial " << trial;
    EXPECT_EQ(follower.last().pose, target);
    watch.see(follower.step(target).servo_angles);  // and rests there
    EXPECT_TRUE(follower.at_rest());
    EXPECT_LE(watch.worst, 1.0 + 1e-9);
    EXPECT_EQ(follower.overruns(), 0u);
  }
}

TEST(Motion, ClampsAtTheLastFeasiblePoseWithTheLeg) {
  const auto model = MotionModel::create(hexapod_spec());
  Follower follower(model, kRate);
  const Mat4 far = translation(0.0, 0.0, 60.0);  // beyond every rod
  LimitWatch watch{*model, {}, {}};
  watch.see(follower.last().servo_angles);
  for (int k = 0; k < 1000; ++k) watch.see(follower.step(far).servo_angles);
  const Command& c = follower.last();
  EXPECT_EQ(c.status, MotionStatus::clamped);
  // Straight up, the rods line up with the platform's lift before they
  // run out of length: the singularity stops it, and no leg is to blame.
  EXPECT_EQ(c.reason, Infeasibility::singularity);
  EXPECT_EQ(c.leg, -1);
  EXPECT_TRUE(follower.at_rest());
  EXPECT_GT(c.pose(2, 3), 1.0);
  EXPECT_LE(watch.worst, 1.0 + 1e-9);
}

// A servo whose reading peaks between two of the path's grid points, with
// its upper limit just under the peak: the path leaves the servo's range
// over a stretch narrower than the grid sees but wider than a step. The
// follower must brake for it in time, not find it by stepping into it.
TEST(Motion, BrakesInTimeForADipTheGridDoesNotSee) {
  constexpr int kFine = 4096, kGridPoints = 64;
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<double> angles(6), readings(6);
  const auto wide = MotionModel::create(hexapod_spec(0.3, 4.0));
  for (int attempt = 0; attempt < 400; ++attempt) {
    const Mat4 target = rigid_pose(8.0 * u(rng), 8.0 * u(rng), 8.0 * u(rng), 0.3 * u(rng), 0.3 * u(rng), 0.3 * u(rng));
    const StraightPath line(Mat4::identity(), target);
    std::vector<std::array<double, 6>> r(kFine + 1);
    bool feasible = true;
    for (int i = 0; i <= kFine && feasible; ++i) {
      feasible = wide->solve(line.pose(static_cast<double>(i) / kFine), angles, readings).feasible();
      std::copy(readings.begin(), readings.end(), r[i].begin());
    }
    if (!feasible) continue;
    for (std::size_t leg = 0; leg < 6; ++leg) {
      int peak = 0;
      for (int i = 0; i <= kFine; ++i) if (r[i][leg] > r[peak][leg]) peak = i;
      // The limit under the peak at which the range is left for about a
      // hundredth of the path (the grid's spacing is 1/64), with no grid
      // point in that stretch.
      const int half = kFine / 200;
      if (peak - half <= 0 || peak + half >= kFine) continue;
      const double upper = std::max(r[peak - half][leg], r[peak + half][leg]);
      if (!(r[peak][leg] - upper > 1e-7)) continue;
      int first = peak, last = peak;
      while (r[first - 1][leg] > upper) --first;
      while (r[last + 1][leg] > upper) ++last;
      if ((first - 1) / (kFine / kGridPoints) != (last + 1) / (kFine / kGridPoints)) continue;
      auto spec = hexapod_spec(0.3, 4.0);
      spec.legs[leg].servo.upper = upper;
      const auto model = MotionModel::create(spec);
      Follower follower(model, kRate);
      LimitWatch watch{*model, {}, {}};
      watch.see(follower.last().servo_angles);
      for (int k = 0; k < 2000; ++k) watch.see(follower.step(target).servo_angles);
      const Command& c = follower.last();
      EXPECT_EQ(c.status, MotionStatus::clamped);
      EXPECT_EQ(c.leg, static_cast<int>(leg));
      EXPECT_EQ(c.reason, Infeasibility::servo_upper);
      EXPECT_LE(watch.worst, 1.0 + 1e-9);
      EXPECT_EQ(follower.overruns(), 0u);
      return;
    }
  }
  FAIL() << "no path with a reading that peaks between grid points";
}

// With a load, a servo's torque limit bounds the path like its range does:
// the follower stops where holding the load would take more.
TEST(Motion, ClampsWhereALoadNeedsMoreTorqueThanAServoHas) {
  auto spec = hexapod_spec();
  spec.load = Load{1.5, {0.0, 0.0, 0.03}, {0.0, 0.0, -9.81}, {}};
  const auto free_model = MotionModel::create(spec);
  std::vector<double> angles(6), readings(6), torques(6);
  ASSERT_TRUE(free_model->solve(Mat4::identity(), angles, readings).feasible());
  servo_torques(free_model->kinematics(), Mat4::identity(), angles, wrench_of(*spec.load, Mat4::identity()), torques);
  double most = 0.0;
  for (double t : torques) most = std::max(most, std::fabs(t));
  for (auto& leg : spec.legs) leg.servo.torque = 1.5 * most;
  const auto model = MotionModel::create(spec);
  Follower follower(model, kRate);
  const Mat4 tilted = rigid_pose(0.0, 0.0, 0.0, 0.0, 0.5, 0.0);  // far more than the limit allows
  for (int k = 0; k < 1000; ++k) {
    const Command& c = follower.step(tilted);
    const Mat4 metres = model->in_metres(c.pose);
    servo_torques(model->kinematics(), metres, c.angles, wrench_of(*spec.load, metres), torques);
    for (double t : torques) ASSERT_LE(std::fabs(t), 1.5 * most);
  }
  EXPECT_EQ(follower.last().status, MotionStatus::clamped);
  EXPECT_EQ(follower.last().reason, Infeasibility::torque);
  EXPECT_GE(follower.last().leg, 0);
  EXPECT_EQ(follower.overruns(), 0u);
}

TEST(Motion, RandomTargetsAndHoldsNeverBreakALimit) {
  const auto model = MotionModel::create(hexapod_spec(4.0, 40.0));
  Follower follower(model, kRate);
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  LimitWatch watch{*model, {}, {}};
  watch.see(follower.last().servo_angles);
  std::vector<double> angles(6), readings(6);
  std::optional<Mat4> target;
  for (int k = 0; k < 4000; ++k) {
    if (k % 37 == 0) {
      const double reach = k % 3 == 0 ? 40.0 : 8.0;
      target = rigid_pose(reach * u(rng), reach * u(rng), reach * u(rng), 0.3 * u(rng), 0.3 * u(rng), 0.3 * u(rng));
      if (k % 5 == 0) target.reset();
    }
    const Command& c = follower.step(target);
    watch.see(c.servo_angles);
    ASSERT_TRUE(model->solve(c.pose, angles, readings).feasible());
  }
  EXPECT_LE(watch.worst, 1.0 + 1e-9);
  EXPECT_EQ(follower.overruns(), 0u);
}

// Moves at a coarse tick during which a servo's reading turns round within
// a few steps, some after a halt or into a clamp at the edge of reach, with
// targets that are not rigid among them: each ends every tick within every
// servo's limits, without a tick on which no step kept them. The readings
// bend there far more sharply than the differences over the path's grid
// say, and a step within every window can be a sliver that only an
// overstep's minimum finds.
struct TurnCase {
  const char* name;
  double speed, acceleration;
  Mat4 home;
  std::vector<std::pair<std::optional<Mat4>, int>> moves;  // target (or none) and ticks held
};

void PrintTo(const TurnCase& turn, std::ostream* out) { *out << turn.name; }

class CoarseTurn : public ::testing::TestWithParam<TurnCase> {};

TEST_P(CoarseTurn, KeepsEveryLimitWithoutOverrun) {
  const TurnCase& turn = GetParam();
  MotionModelSpec spec = hexapod_spec(turn.speed, turn.acceleration);
  spec.home = turn.home;
  const auto model = MotionModel::create(spec);
  Follower follower(model, kRate);
  LimitWatch watch{*model, {}, {}};
  watch.see(follower.last().servo_angles);
  for (const auto& [target, ticks] : turn.moves)
    for (int k = 0; k < ticks; ++k) watch.see(follower.step(target).servo_angles);
  EXPECT_LE(watch.worst, 1.0 + 1e-9);
  EXPECT_EQ(follower.overruns(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Motion, CoarseTurn,
    ::testing::Values(
    TurnCase{"ClampingAtTheEdgeOfReach", 82.766818983985232, 121.9466000195615,
     Mat4{{0.99133410587704895, 0.085381376456301603, -0.099833416646828155, 0, -0.075451428252077221, 0.99218935071959535, 0.099334658067309831, 0, 0.10753498267853824, -0.090941260564471077, 0.99003328965609616, 0, 2.8705882352941168, 2.8705882352941168, 2.8705881409859124, 1}},
     {{std::nullopt, 16},
      {Mat4{{0.70710653689451275, 0.00058777635966110399, 0.70710678118654757, 0, 0.63938420813006291, 0.42652367569277405, -0.63973853132933745, 0, -0.3019738066040521, 0.90447620675862805, 0.30122186430035625, 0, -1.4892578860052907, -190.62499986143246, -144.35643702745384, 1}}, 44},
      {Mat4{{0.96053049700144255, 0.19470917115432523, -0.19866933079506122, 0, -0.15602643042143441, 0.96837187674897962, 0.19470917115432523, 0, 0.23029745404608157, -0.15602643042143441, 0.96053049700144255, 0, -5.0397257663143424, -3.4290030918151051, -0.45238012171750985, 2}}, 16},
      {Mat4{{1, -1.2246467991473532e-16, -1.4333319395116739e-14, 0, 2.8323380868887627e-16, 0.99993708748458376, 0.011216999280011828, 0, 1.4331043963712896e-14, -0.011216999280011828, 0.99993708748458376, 0, 200, 199.99999999995123, -104.89001442006489, 1}}, 16},
      {Mat4{{0.99999999550540453, -5.9546616006973799e-05, 7.3779343629865759e-05, 0, 5.9546616168619947e-05, 0.99999999822710028, 5.7146624014769483e-12, 0, -7.3779343499402668e-05, 4.3875955939245398e-09, 0.99999999727830424, 0, 199.99911439185047, 140.94597501680184, 199.99518275791823, 1}}, 16}}},
    TurnCase{"TurningRoundSharply", 82.766818983985232, 121.9466000195615,
     Mat4{{0.99133410587704895, 0.085381376456301603, -0.099833416646828155, 0, -0.075451428252077221, 0.99218935071959535, 0.099334658067309831, 0, 0.10753498267853824, -0.090941260564471077, 0.99003328965609616, 0, 2.7457997525642628, -2.8835703796197083, -3.5986491865897712, 1}},
     {{std::nullopt, 16},
      {Mat4{{0.70710653689451275, 0.00058777635966110399, 0.70710678118654757, 0, 0.63938420813006291, 0.42652367569277405, -0.63973853132933745, 0, -0.3019738066040521, 0.90447620675862805, 0.30122186430035625, 0, -1.4892578860052907, -190.62499986143246, -144.35643702745384, 1}}, 44},
      {Mat4{{0.97468021426542362, -0.1026108031395836, -0.19866933079506122, 0, 0.1418633850655181, 0.97054784459404608, 0.1947091711543244, 0, 0.17283882635930031, -0.2179630804354285, 0.96053049700144277, 0, -5.0397257663143424, -3.4290030918151051, -0.45238012055295529, 0.0035705566420247692}}, 16},
      {Mat4{{0.95531113655988587, 0.29551236407833209, 0.0072852619372580181, 0, -0.29383655879179904, 0.95200639083829908, -0.085696607403265068, 0, -0.032260022970432199, 0.079726247120198712, 0.99629464338521678, 0, 11.999710965475092, 11.999772548680482, -11.999718183651568, 1}}, 61}}},
    TurnCase{"TurningRoundAfterAHalt", 82.766818983985232, 121.9466000195615,
     Mat4{{0.99133410587704895, 0.085381376456301603, -0.099833416646828155, 0, -0.075451428252077221, 0.99218935071959535, 0.099334658067309831, 0, 0.10753498267853824, -0.090941260564471077, 0.99003328965609616, 0, 2.7457997525642628, -2.8835703796197083, -3.5986491865897712, 1}},
     {{std::nullopt, 16},
      {Mat4{{0.70710653689451275, 0.00058777635966110399, 0.70710678118654757, 0, 0.63938420813005858, 0.42652367569278693, -0.63973853132933312, 0, -0.3019738066040612, 0.90447620675862195, 0.30122186430036535, 0, -1.4892578860052907, -190.62499986143246, -144.35643702745384, 1}}, 60},
      {std::nullopt, 16},
      {Mat4{{0.97361807209742091, 0.14153251278890788, 0.17898714341806501, 0, -0.17202294876782642, 0.97062286139407539, 0.16822414370943004, 0, -0.14991982784983149, -0.19457596268092014, 0.96936280100087924, 0, -9.9999999999999449, 9.9999999999826628, -9.8476388515538638, 1}}, 74},
      {Mat4{{0.009788586904156512, -0.77851135280293982, 0.62755418660332141, 0, 0.6915122189928864, -0.44805465331598376, -0.56661969487957964, 0, 0.72229843870103583, 0.43950779424127412, 0.53396429117611954, 0, -198.58247617298127, -22.919661166280331, -9.0509694167102968, 1}}, 10},
      {Mat4{{0.94329342009849171, 0.29029098920713492, -0.16102380315976142, 0, -0.23551321509086148, 0.92707590520918126, 0.29165697574058252, 0, 0.23394668007145591, -0.23719487255360347, 0.94287196549575258, 0, 8.8893785061259916, 10.593749999999998, 12, 1}}, 16}}}),
    [](const ::testing::TestParamInfo<TurnCase>& info) { return std::string(info.param.name); });

TEST(Motion, PlanStopsAtEveryKeyframeAndNamesAFailingSegment) {
  const auto model = MotionModel::create(hexapod_spec());
  const std::vector<Mat4> keys{Mat4::identity(), rigid_pose(0, 0, 5, 0, 0.2, 0), rigid_pose(5, 0, 0, 0.2, 0, 0)};
  const Plan ok = plan(model, keys, kRate);
  ASSERT_FALSE(ok.failure);
  const Trajectory& t = ok.trajectory;
  EXPECT_EQ(t.poses.back(), keys.back());
  EXPECT_DOUBLE_EQ(t.duration, t.times.back());
  std::size_t stops = 0;
  for (std::size_t k = 1; k < t.poses.size(); ++k) stops += t.poses[k] == keys[1] && t.poses[k - 1] == keys[1];
  EXPECT_EQ(stops, 1u);

  const std::vector<Mat4> bad{Mat4::identity(), rigid_pose(0, 0, 5, 0, 0, 0), translation(0, 0, 80)};
  const Plan failed = plan(model, bad, kRate);
  ASSERT_TRUE(failed.failure);
  EXPECT_EQ(failed.failure->segment, 1u);
  EXPECT_FALSE(failed.failure->keyframe);
  EXPECT_GT(failed.failure->time, 0.0);
}

TEST(Motion, GeodesicEndsAndMiddle) {
  const Mat4 a = rigid_pose(1, 2, 3, 0.3, -0.2, 0.1), b = rigid_pose(-1, 0, 2, -2.9, 0.4, 3.0);
  const StraightPath path(a, b);
  EXPECT_EQ(path.pose(0.0), a);
  EXPECT_EQ(path.pose(1.0), b);
  // Halfway twice is the whole way: the rotation has one constant axis.
  const StraightPath half(a, path.pose(0.5));
  EXPECT_LT(max_abs_diff(StraightPath(path.pose(0.5), b).pose(0.5), path.pose(0.75)), 1e-12);
  EXPECT_LT(max_abs_diff(half.pose(1.0), path.pose(0.5)), 1e-15);
}

}  // namespace
}  // namespace zandrel::test
