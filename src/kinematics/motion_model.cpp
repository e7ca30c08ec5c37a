#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "servo_reading.hpp"
#include "zandrel/forward.hpp"
#include "zandrel/inverse.hpp"
#include "zandrel/motion.hpp"
#include "zandrel/singularity.hpp"

namespace zandrel {

namespace {

constexpr double kPi = 3.141592653589793;

[[noreturn]] void refuse(const std::string& what) { throw std::invalid_argument("motion model: " + what); }

std::string leg_name(std::size_t i) { return "leg " + std::to_string(i) + ": "; }

bool finite_pose(const Mat4& m) {
  for (double x : m.v)
    if (!std::isfinite(x)) return false;
  return true;
}

void check_servo(const ServoLimits& s, std::size_t i) {
  if (!(s.direction == 1.0 || s.direction == -1.0)) refuse(leg_name(i) + "servo direction must be +1 or -1");
  if (!std::isfinite(s.zero)) refuse(leg_name(i) + "servo zero must be finite");
  if (!(s.lower >= -kPi && s.upper <= kPi && s.lower < s.upper))
    refuse(leg_name(i) + "servo range must satisfy -pi <= lower < upper <= pi");
  if (!(s.speed > 0.0)) refuse(leg_name(i) + "servo speed must be positive (infinity: unlimited)");
  if (!(s.acceleration > 0.0)) refuse(leg_name(i) + "servo acceleration must be positive (infinity: unlimited)");
  if (!(s.torque > 0.0)) refuse(leg_name(i) + "servo torque must be positive (infinity: unlimited)");
  const bool no_pulse = std::isnan(s.pulse_lower) && std::isnan(s.pulse_upper);
  if (!no_pulse && !(std::isfinite(s.pulse_lower) && std::isfinite(s.pulse_upper) && s.pulse_lower > 0.0 &&
                     s.pulse_lower < s.pulse_upper))
    refuse(leg_name(i) + "servo pulse widths must be positive and increasing (NaN for none)");
}

}  // namespace

std::shared_ptr<const MotionModel> MotionModel::create(const MotionModelSpec& spec) {
  if (!(std::isfinite(spec.motor_arm_length) && spec.motor_arm_length > 0.0))
    refuse("motor_arm_length must be positive and finite");
  if (!(std::isfinite(spec.rod_length) && spec.rod_length > 0.0)) refuse("rod_length must be positive and finite");
  if (!(std::isfinite(spec.unit_per_metre) && spec.unit_per_metre > 0.0))
    refuse("unit_per_metre must be positive and finite");
  if (spec.legs.empty()) refuse("needs at least one leg");
  if (spec.load) {
    const Load& load = *spec.load;
    bool finite = std::isfinite(load.mass);
    for (const Vec3* v : {&load.centre, &load.gravity, &load.extra.force, &load.extra.moment})
      for (double x : *v) finite = finite && std::isfinite(x);
    if (!finite || !(load.mass >= 0.0)) refuse("the load must be finite, its mass zero or positive");
    if (spec.legs.size() != 6) refuse("a load needs six legs to share it");
  }
  if (!finite_pose(spec.home)) refuse("home must be finite");

  std::shared_ptr<MotionModel> model(new MotionModel());
  model->kinematics_ = Kinematics(spec.motor_arm_length, spec.rod_length);
  model->unit_per_metre_ = spec.unit_per_metre;
  model->home_ = spec.home;
  model->load_ = spec.load;
  for (std::size_t i = 0; i < spec.legs.size(); ++i) {
    const LegSpec& leg = spec.legs[i];
    if (!finite_pose(leg.t_world_motor) || !inverse(leg.t_world_motor))
      refuse(leg_name(i) + "t_world_motor must be finite and invertible");
    for (double x : leg.branch_platform)
      if (!std::isfinite(x)) refuse(leg_name(i) + "branch_platform must be finite");
    if (!(leg.solution == 1.0 || leg.solution == -1.0)) refuse(leg_name(i) + "solution must be +1 or -1");
    check_servo(leg.servo, i);
    const double horn = leg.motor_arm_length.value_or(spec.motor_arm_length);
    const double rod = leg.rod_length.value_or(spec.rod_length);
    if (!(std::isfinite(horn) && horn > 0.0)) refuse(leg_name(i) + "motor_arm_length must be positive and finite");
    if (!(std::isfinite(rod) && rod > 0.0)) refuse(leg_name(i) + "rod_length must be positive and finite");
    model->kinematics_.add_branch(leg.branch_platform, leg.t_world_motor, leg.solution, horn, rod);
    model->servos_.push_back(leg.servo);
  }
  // A margin over 1.0 is the determinant itself (NaN without six legs).
  model->home_determinant_ = singularity_margin(model->kinematics_, model->in_metres(spec.home), 1.0);
  if (model->legs() == 6 && !(std::fabs(model->home_determinant_) > 0.0))
    refuse("home is at a singularity");
  std::vector<double> angles(model->legs()), readings(model->legs());
  const Verdict home = model->solve(spec.home, angles, readings);
  if (!home.feasible()) refuse("home is not feasible (leg " + std::to_string(home.leg) + ")");
  return model;
}

double ServoLimits::pulse(double reading) const noexcept {
  // As the typed layer computes it: the width per radian first, then the
  // offset from the lower end scaled by it.
  if (!(reading >= lower && reading <= upper)) return std::numeric_limits<double>::quiet_NaN();
  const double per_radian = (pulse_upper - pulse_lower) / (upper - lower);
  return pulse_lower + (reading - lower) * per_radian;
}

Mat4 MotionModel::in_metres(const Mat4& pose) const noexcept {
  Mat4 m = pose;
  if (unit_per_metre_ != 1.0)
    for (int i = 0; i < 3; ++i) m(i, 3) = pose(i, 3) / unit_per_metre_;
  return m;
}

Verdict MotionModel::solve(const Mat4& pose, std::span<double> angles, std::span<double> readings) const noexcept {
  const Mat4 metres = in_metres(pose);
  // Motor poses were checked invertible and the spans are legs() long, so
  // nothing here throws.
  inverse_kinematics(kinematics_, metres, std::nullopt, angles);
  Verdict verdict;
  for (std::size_t i = 0; i < servos_.size(); ++i) {
    const ServoLimits& s = servos_[i];
    readings[i] = servo_reading(angles[i], s.zero, s.direction);
    if (verdict.feasible()) {
      if (!std::isfinite(angles[i])) verdict = {Infeasibility::reach, static_cast<int>(i)};
      else if (readings[i] < s.lower) verdict = {Infeasibility::servo_lower, static_cast<int>(i)};
      else if (readings[i] > s.upper) verdict = {Infeasibility::servo_upper, static_cast<int>(i)};
    }
  }
  if (verdict.feasible() && servos_.size() == 6) {
    JointAngles theta;
    for (std::size_t i = 0; i < 6; ++i) theta[i] = angles[i];
    if (!(rod_jacobian_determinant(kinematics_, metres, theta) / home_determinant_ > 0.0))
      verdict = {Infeasibility::singularity, -1};
  }
  if (verdict.feasible() && load_) {
    std::array<double, 6> torques;
    servo_torques(kinematics_, metres, angles, wrench_of(*load_, metres), torques);
    for (std::size_t i = 0; i < 6 && verdict.feasible(); ++i)
      if (!(std::fabs(torques[i]) <= servos_[i].torque)) verdict = {Infeasibility::torque, static_cast<int>(i)};
  }
  return verdict;
}

}  // namespace zandrel
