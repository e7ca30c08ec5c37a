// libFuzzer target for the motion engine. The mechanism is the core tests'
// small hexapod, fixed, so that the input goes to the motion logic: it
// decodes into the servos' limits (valid or not: NaN, infinite, tiny, huge,
// reversed ranges), a unit, a home, a control rate and a start, then a run
// of targets (rigid poses near home or far from it, NaN, infinite, scaled,
// absent) each held for some ticks, and a few keyframes for a plan.
// Beyond the sanitizers it checks what the engine promises for any input:
// only std::invalid_argument out of the factory, the follower's constructor
// and plan, and only for what they refuse (a plan whose follower stalls
// throws std::logic_error, which is left to end the run); every command
// and every plan sample a feasible pose whose angles and servo readings are
// the model's own solve of that pose and whose pulses are each servo's
// width for its reading, to the bit; every servo within its speed and
// acceleration on the commands as sent (one tick apart, at rest before the
// first), with a relative slack of 1e-9 for the rounding of the checks
// themselves; a command that says it arrived standing exactly on its
// target; a failed plan carrying no samples and a plan resting at both ends.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <numbers>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

#include "../tests/core/hexapod.hpp"
#include "zandrel/motion.hpp"

using namespace zandrel;

namespace {

// A failed check traps: libFuzzer then reports it with its input.
#define REQUIRE(cond) \
  ((cond) ? void() : (std::fprintf(stderr, "check failed: %s (line %d)\n", #cond, __LINE__), __builtin_trap()))

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kPi = std::numbers::pi;
constexpr double kSlack = 1.0 + 1e-9;
// On a tick the follower counts as an overrun (no step kept every window),
// how far over a servo's acceleration it may go. The turns this target
// found overrunning at coarse ticks no longer do; the tolerance stays for
// moves that span only a few coarse ticks, where braking into a turn or a
// clamp can still find no step. The faults this target has found overran
// by nine to three hundred times.
constexpr double kOverrunSlack = 1.25;
// Ticks per input, and per target; a long hold lets a slow approach at a
// fine rate (thousands of ticks) reach the edge of the feasible set.
constexpr int kMaxTicks = 2000;
constexpr int kShortHold = 80;

// Values a limit or a rate might be given: invalid, extreme and ordinary.
constexpr double kLimits[] = {kInf, kNaN, -kInf, 0.0, -0.0, -1.0, 4.9e-324, DBL_MIN, 1e-300, 1e-9,
                              1e-3, 0.5,  2.0,   6.0, 80.0, 1e3,  1e9,      1e300,   DBL_MAX};
constexpr double kRates[] = {200.0, 1000.0, 50.0, 1.0,     1e-3,  1e6,   1e300, DBL_MAX,
                             4.9e-324, 0.0, -200.0, kNaN, kInf, 1e-300, 33.3, 1e4};

double any_bits(FuzzedDataProvider& in) { return std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>()); }

double any_limit(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: return in.PickValueInArray(kLimits);
    case 1: return any_bits(in);
    case 2: return std::ldexp(1.0, in.ConsumeIntegralInRange(-40, 12));
    default: return in.ConsumeFloatingPointInRange(0.0, 200.0);
  }
}

double any_rate(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0: return in.PickValueInArray(kRates);
    case 1: return any_bits(in);
    default: return in.ConsumeFloatingPointInRange(1.0, 5000.0);
  }
}

// A servo's range: the whole circle, the tests' usual one, a narrow window
// around home, one not containing home, or any values at all.
void any_range(FuzzedDataProvider& in, ServoLimits& s) {
  switch (in.ConsumeIntegralInRange(0, 4)) {
    case 0: s.lower = -kPi; s.upper = kPi; break;
    case 1: s.lower = -1.2; s.upper = 1.2; break;
    case 2: {
      const double half = std::ldexp(1.0, in.ConsumeIntegralInRange(-30, 1));
      s.lower = -half * in.ConsumeFloatingPointInRange(0.0, 1.0);
      s.upper = half * in.ConsumeFloatingPointInRange(0.0, 1.0);
      break;
    }
    case 3:
      s.lower = in.ConsumeFloatingPointInRange(-kPi, kPi);
      s.upper = in.ConsumeFloatingPointInRange(-kPi, kPi);
      break;
    default: s.lower = any_bits(in); s.upper = any_bits(in); break;
  }
}

ServoLimits any_servo(FuzzedDataProvider& in) {
  ServoLimits s;
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: break;
    case 1: s.zero = in.ConsumeFloatingPointInRange(-0.5, 0.5); break;
    case 2: s.zero = in.ConsumeFloatingPointInRange(-4.0, 4.0); break;
    default: s.zero = any_bits(in); break;
  }
  switch (in.ConsumeIntegralInRange(0, 7)) {
    case 0: s.direction = any_bits(in); break;
    case 1: case 2: case 3: s.direction = -1.0; break;
    default: s.direction = 1.0; break;
  }
  any_range(in, s);
  s.speed = any_limit(in);
  s.acceleration = any_limit(in);
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: break;  // no pulses
    case 1: s.pulse_lower = 500.0; s.pulse_upper = 2500.0; break;
    case 2:
      s.pulse_lower = in.ConsumeFloatingPointInRange(0.0, 3000.0);
      s.pulse_upper = in.ConsumeFloatingPointInRange(0.0, 3000.0);
      break;
    default: s.pulse_lower = any_bits(in); s.pulse_upper = any_bits(in); break;
  }
  return s;
}

// A rigid pose within `reach` of home (translation in the model's unit,
// angles in radians), with yaw, pitch and roll.
Mat4 rigid_near(FuzzedDataProvider& in, double unit, double reach, double turn) {
  double p[6];
  for (int i = 0; i < 3; ++i) p[i] = in.ConsumeFloatingPointInRange(-reach, reach) * unit;
  for (int i = 3; i < 6; ++i) p[i] = in.ConsumeFloatingPointInRange(-turn, turn);
  return test::rigid_pose(p[0], p[1], p[2], p[3], p[4], p[5]);
}

// A target: mostly reachable rigid poses, else far ones, ones with NaN or
// infinity, a rotation part scaled or sheared, or sixteen doubles of any kind.
Mat4 any_target(FuzzedDataProvider& in, double unit) {
  switch (in.ConsumeIntegralInRange(0, 9)) {
    case 0: case 1: case 2: case 3: return rigid_near(in, unit, 0.012, 0.3);
    case 4: return rigid_near(in, unit, 0.002, 0.05);
    case 5: return rigid_near(in, unit, 0.2, kPi);
    case 6: {
      Mat4 m = rigid_near(in, unit, 0.01, 0.2);
      m.v[in.ConsumeIntegralInRange(0, 15)] = in.PickValueInArray({kNaN, kInf, -kInf, DBL_MAX});
      return m;
    }
    case 7: {
      Mat4 m = rigid_near(in, unit, 0.01, 0.2);
      const double factor = 1.0 + std::ldexp(in.ConsumeBool() ? 1.0 : -1.0, in.ConsumeIntegralInRange(-40, 0));
      m(in.ConsumeIntegralInRange(0, 2), in.ConsumeIntegralInRange(0, 2)) *= factor;
      return m;
    }
    case 8: {
      Mat4 m = rigid_near(in, unit, 0.01, 0.2);
      m(3, in.ConsumeIntegralInRange(0, 3)) += in.ConsumeFloatingPointInRange(-1.0, 1.0);
      return m;
    }
    default: {
      Mat4 m;
      for (double& x : m.v) x = any_bits(in);
      return m;
    }
  }
}

// ZANDREL_FUZZ_TRACE=1 prints what an input decodes into and each tick, for
// reading a reproducer.
const bool kTrace = std::getenv("ZANDREL_FUZZ_TRACE") != nullptr;

void trace_pose(const char* what, const std::optional<Mat4>& m) {
  if (!kTrace) return;
  if (!m) return void(std::fprintf(stderr, "%s: none\n", what));
  std::fprintf(stderr, "%s:", what);
  for (double x : m->v) std::fprintf(stderr, " %.17g", x);
  std::fprintf(stderr, "\n");
}

bool same_bits(const Mat4& a, const Mat4& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// A command's pose is feasible, its angles and readings are the model's
// solve of that pose and its pulses each servo's width for its reading, to
// the bit.
void check_solved(const MotionModel& model, const Mat4& pose, std::span<const double> angles,
                  std::span<const double> readings, std::span<const double> pulses, std::vector<double>& a,
                  std::vector<double>& r) {
  REQUIRE(angles.size() == model.legs() && readings.size() == model.legs() && pulses.size() == model.legs());
  REQUIRE(model.solve(pose, a, r).feasible());
  REQUIRE(std::memcmp(a.data(), angles.data(), a.size() * sizeof(double)) == 0);
  REQUIRE(std::memcmp(r.data(), readings.data(), r.size() * sizeof(double)) == 0);
  for (std::size_t j = 0; j < model.legs(); ++j) {
    const double width = model.servo(j).pulse(readings[j]);
    REQUIRE(std::memcmp(&width, &pulses[j], sizeof width) == 0);
  }
}

// The servo readings' finite differences, one tick of 1/rate apart, as the
// commands are sent: each change within speed / rate, each change of
// change within acceleration / rate^2, each with the relative slack.
struct LimitWatch {
  const MotionModel& model;
  double dt;
  std::vector<double> before, last;
  const std::uint64_t* overruns = nullptr;  // the follower's count, when one is watched
  std::uint64_t overruns_seen = 0;
  bool overran = false;  // a plan's follower overran somewhere: every tick may be the one
  std::size_t ticks = 0;

  LimitWatch(const MotionModel& m, double rate, std::span<const double> rest)
      : model(m), dt(1.0 / rate), before(rest.begin(), rest.end()), last(rest.begin(), rest.end()) {}

  void see(std::span<const double> r) {
    const bool overrun = overran || (overruns && *overruns > overruns_seen);
    if (overruns) overruns_seen = *overruns;
    const double acceleration_slack = overrun ? kOverrunSlack : kSlack;
    for (std::size_t j = 0; j < r.size(); ++j) {
      const ServoLimits& s = model.servo(j);
      const double change = r[j] - last[j], previous = last[j] - before[j];
      // Readings come from leg angles of up to about pi: a change of change
      // below a few of their ulps is rounding, which no step can avoid
      // (limits such as 3e-8 rad/s^2 at 4 kHz ask for steps of 2e-15).
      const double scale = std::max({std::fabs(before[j]), std::fabs(last[j]), std::fabs(r[j]), kPi});
      const double rounding = 8.0 * std::numeric_limits<double>::epsilon() * scale;
      const bool speed_ok = std::fabs(change) <= s.speed * dt * kSlack + rounding;
      const bool acceleration_ok =
          std::fabs(change - previous) <= s.acceleration * dt * dt * acceleration_slack + rounding;
      if (!(speed_ok && acceleration_ok))
        std::fprintf(stderr,
                     "servo %zu, tick %zu: readings %.17g %.17g %.17g, change %.17g (speed step %.17g), "
                     "change of change %.17g (acceleration step %.17g), overruns %llu\n",
                     j, ticks, before[j], last[j], r[j], change, s.speed * dt, change - previous,
                     s.acceleration * dt * dt, static_cast<unsigned long long>(overruns ? *overruns : 0));
      REQUIRE(speed_ok);
      REQUIRE(acceleration_ok);
    }
    ++ticks;
    before.swap(last);
    last.assign(r.begin(), r.end());
  }
};

// Whether a plan on this model ends within a few thousand samples: its
// duration grows without bound as the servos slow, and a slow plan would
// only measure memory.
bool quick_enough(const MotionModel& model, double rate) {
  if (!(rate <= 1000.0)) return false;
  for (std::size_t j = 0; j < model.legs(); ++j)
    if (!(model.servo(j).speed >= 0.5 && model.servo(j).acceleration >= 5.0)) return false;
  return true;
}

bool starts(const std::shared_ptr<const MotionModel>& model, double rate, const Mat4& pose) {
  try {
    Follower follower(model, rate, pose);
    return true;
  } catch (const std::invalid_argument&) {
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const auto legs = test::hexapod_legs();
  double unit = 1.0;
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: break;
    case 1: unit = 1000.0; break;
    case 2: unit = in.ConsumeFloatingPointInRange(0.0, 1e4); break;
    default: unit = any_bits(in); break;
  }
  MotionModelSpec spec{test::kHornLength, test::kRodLength, {}, Mat4::identity(), unit};
  // One servo for every leg, or each its own.
  const bool shared = in.ConsumeBool();
  const ServoLimits first = any_servo(in);
  for (const test::Leg& leg : legs)
    spec.legs.push_back({leg.anchor, leg.t_world_motor, -1.0, shared || spec.legs.empty() ? first : any_servo(in)});
  if (in.ConsumeIntegralInRange(0, 3) == 0) spec.home = rigid_near(in, unit, 0.004, 0.1);

  std::shared_ptr<const MotionModel> model;
  try {
    model = MotionModel::create(spec);
  } catch (const std::invalid_argument&) {
    return 0;
  }
  REQUIRE(model && model->legs() == 6);
  std::vector<double> a(6), r(6);
  if (kTrace) {
    std::fprintf(stderr, "unit_per_metre %.17g\n", unit);
    for (std::size_t j = 0; j < 6; ++j) {
      const ServoLimits& s = model->servo(j);
      std::fprintf(stderr, "servo %zu: zero %.17g direction %g range [%.17g, %.17g] speed %.17g acceleration %.17g\n",
                   j, s.zero, s.direction, s.lower, s.upper, s.speed, s.acceleration);
    }
    trace_pose("home", model->home());
  }

  const double rate = any_rate(in);
  const bool valid_rate = std::isfinite(rate) && rate > 0.0;
  std::optional<Mat4> start;
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: break;
    case 1: start = model->home(); break;
    case 2: start = rigid_near(in, unit, 0.008, 0.2); break;
    default: start = any_target(in, unit); break;
  }

  if (kTrace) std::fprintf(stderr, "rate %.17g\n", rate);
  trace_pose("start", start);
  std::optional<Follower> follower;
  try {
    follower.emplace(model, rate, start);
  } catch (const std::invalid_argument&) {
    // Refused only for a rate or a start it documents as refused.
    const Mat4 from = start.value_or(model->home());
    REQUIRE(!valid_rate || !model->solve(from, a, r).feasible() || start.has_value());
  }

  std::vector<Mat4> seen;  // commanded poses: known feasible targets and keyframes
  if (follower) {
    const Command& rest = follower->last();
    check_solved(*model, rest.pose, rest.angles, rest.servo_angles, rest.pulses, a, r);
    seen.push_back(rest.pose);
    LimitWatch watch(*model, rate, rest.servo_angles);
    std::uint64_t overruns = 0;
    watch.overruns = &overruns;
    int ticks = 0;
    while (ticks < kMaxTicks && in.remaining_bytes() > 0) {
      std::optional<Mat4> target;
      switch (in.ConsumeIntegralInRange(0, 7)) {
        case 0: break;  // none: brake and hold
        case 1: target = seen[in.ConsumeIntegralInRange<std::size_t>(0, seen.size() - 1)]; break;
        default: target = any_target(in, unit); break;
      }
      trace_pose("target", target);
      const int hold = in.ConsumeIntegralInRange(0, 7) == 0 ? kMaxTicks : in.ConsumeIntegralInRange(1, kShortHold);
      for (int held = 0; held < hold && ticks < kMaxTicks; ++held, ++ticks) {
        const Command& c = follower->step(target);
        overruns = follower->overruns();
        if (kTrace)
          std::fprintf(stderr, "tick %d: status %d leg %d reason %d overruns %llu readings %.17g %.17g %.17g %.17g %.17g %.17g\n",
                       ticks, static_cast<int>(c.status), c.leg, static_cast<int>(c.reason),
                       static_cast<unsigned long long>(overruns), c.servo_angles[0], c.servo_angles[1],
                       c.servo_angles[2], c.servo_angles[3], c.servo_angles[4], c.servo_angles[5]);
        check_solved(*model, c.pose, c.angles, c.servo_angles, c.pulses, a, r);
        watch.see(c.servo_angles);
        if (c.status == MotionStatus::arrived) REQUIRE(target && same_bits(c.pose, *target));
        if (c.status == MotionStatus::holding) REQUIRE(!target);
        if (c.status == MotionStatus::clamped) REQUIRE(c.reason != Infeasibility::none);
        if (c.status == MotionStatus::arrived && follower->at_rest()) break;
      }
      if (seen.size() < 16) seen.push_back(follower->last().pose);
    }
  }

  // A plan through up to four keyframes: commanded poses, new targets.
  std::vector<Mat4> keyframes;
  for (int k = in.ConsumeIntegralInRange(0, 4); k > 0 && in.remaining_bytes() > 0; --k)
    keyframes.push_back(in.ConsumeBool() && !seen.empty()
                            ? seen[in.ConsumeIntegralInRange<std::size_t>(0, seen.size() - 1)]
                            : any_target(in, unit));
  if (!quick_enough(*model, rate) && valid_rate) return 0;
  Plan p;
  try {
    p = plan(model, keyframes, rate);
  } catch (const std::invalid_argument&) {
    // A rate or a keyframe count it refuses, or a first keyframe that a
    // follower refuses to start from (the plan starts one there).
    REQUIRE(!valid_rate || keyframes.empty() || !starts(model, rate, keyframes[0]));
    return 0;
  }
  REQUIRE(valid_rate && !keyframes.empty());
  const Trajectory& t = p.trajectory;
  if (p.failure) {
    REQUIRE(t.times.empty() && t.poses.empty() && t.angles.empty() && t.servo_angles.empty() &&
            t.pulses.empty());
    return 0;
  }
  const std::size_t n = t.times.size();
  REQUIRE(n > 0 && t.poses.size() == n && t.angles.size() == 6 * n && t.servo_angles.size() == 6 * n &&
          t.pulses.size() == 6 * n);
  REQUIRE(t.duration == t.times.back());
  const std::span<const double> angles(t.angles), readings(t.servo_angles), pulses(t.pulses);
  LimitWatch watch(*model, rate, readings.first(6));
  watch.overran = p.overruns > 0;
  for (std::size_t k = 0; k < n; ++k) {
    check_solved(*model, t.poses[k], angles.subspan(6 * k, 6), readings.subspan(6 * k, 6),
                 pulses.subspan(6 * k, 6), a, r);
    watch.see(readings.subspan(6 * k, 6));
  }
  // At rest after the last sample: it stands on the last keyframe.
  watch.see(readings.last(6));
  REQUIRE(same_bits(t.poses.back(), keyframes.back()));
  return 0;
}
