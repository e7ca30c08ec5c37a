#include <cmath>
#include <stdexcept>
#include <string>

#include "zandrel/motion.hpp"

namespace zandrel {

namespace {

// A follower that rests this many ticks short of its target with nothing in
// the way has stalled, which its step search rules out; the plan says so
// rather than looping.
constexpr int kStalledTicks = 3;

void record(Trajectory& out, const Command& command, double time) {
  out.times.push_back(time);
  out.poses.push_back(command.pose);
  out.angles.insert(out.angles.end(), command.angles.begin(), command.angles.end());
  out.servo_angles.insert(out.servo_angles.end(), command.servo_angles.begin(), command.servo_angles.end());
  out.pulses.insert(out.pulses.end(), command.pulses.begin(), command.pulses.end());
}

}  // namespace

Plan plan(std::shared_ptr<const MotionModel> model, std::span<const Mat4> keyframes, double rate) {
  if (!(std::isfinite(rate) && rate > 0.0)) throw std::invalid_argument("plan: rate must be positive and finite");
  if (keyframes.empty()) throw std::invalid_argument("plan: needs at least one keyframe");
  if (!model) throw std::invalid_argument("plan: no model");
  Plan result;
  std::vector<double> angles(model->legs()), readings(model->legs());
  const Verdict first = model->solve(keyframes[0], angles, readings);
  if (!first.feasible()) {
    result.failure = PlanFailure{0, true, 0.0, first.leg, first.reason};
    return result;
  }
  Follower follower(model, rate, keyframes[0]);
  Trajectory& out = result.trajectory;
  std::size_t tick = 0;
  record(out, follower.last(), 0.0);
  for (std::size_t segment = 0; segment + 1 < keyframes.size(); ++segment) {
    const Mat4& target = keyframes[segment + 1];
    // Until it has arrived and rested there one tick: every keyframe is a stop.
    for (int stalled = 0;;) {
      const Command& command = follower.step(target);
      record(out, command, static_cast<double>(++tick) / rate);
      if (command.status == MotionStatus::clamped && follower.at_rest()) {
        result.failure = PlanFailure{segment, false, static_cast<double>(tick) / rate, command.leg, command.reason};
        break;
      }
      if (command.status == MotionStatus::arrived && follower.at_rest()) break;
      stalled = follower.at_rest() ? stalled + 1 : 0;
      if (stalled == kStalledTicks)
        throw std::logic_error("plan: the follower stalled on segment " + std::to_string(segment));
    }
    if (result.failure) break;
  }
  result.overruns = follower.overruns();
  if (result.failure) {
    result.trajectory = Trajectory{};
    return result;
  }
  out.duration = out.times.back();
  return result;
}

}  // namespace zandrel
