#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "speed_profile.hpp"
#include "straight_path.hpp"
#include "zandrel/motion.hpp"

namespace zandrel {

namespace {

// Grid intervals of a path's speed profile. The profile shapes the braking;
// every command is checked against the exact limits whatever it says.
constexpr std::size_t kGrid = 64;
// The profile plans with a little less than the servos' limits, which
// leaves each tick room for what the grid and the tick do not see.
constexpr double kSpeedMargin = 0.98;
constexpr double kAccelerationMargin = 0.9;
// Steps tried, evenly spaced, on a tick no step keeps every window.
constexpr int kOverstepTries = 64;
// Golden sections that narrow the best of those tries.
constexpr int kGoldenSections = 40;
// Poses a tick looks at ahead of the platform, at most.
constexpr int kLookAheadProbes = 4;
// Exact evaluations a step's search makes by estimate, and then by halving.
constexpr int kSearch = 8;
constexpr int kBracketSteps = 40;
// Braking aims at this share of the servos' deceleration.
constexpr double kBrakeSlack = 0.975;
// The slope probe's step along a new path, and how much wider than each
// servo's window its linear prediction may be and still be tried: the
// readings curve along the path, and a wrong "no" only waits a tick.
constexpr double kProbe = 0x1p-20;
constexpr double kProbeSlack = 4.0;
// Bisection steps for where a path leaves the feasible set: 2^-48 of it.
constexpr int kBoundarySteps = 48;
// Where a rod would straighten, the path ends this many halvings of the
// last grid interval short of it.
constexpr int kReachBackOff = 10;
// Grid points graded towards a feasible set's edge.
constexpr int kEdgeLevels = 16;
// Where a reading bends enough to bind the profile (its curvature times the
// squared path speed at least this share of its servo's acceleration) and
// a grid interval spans only a few ticks' steps, the interval is split into
// pieces of about a step: a reading that turns round within a step or two
// bends far more sharply than the differences over a coarser grid say, and
// a profile planned with that blurred curvature meets the turn too fast
// for any step to keep the turning servo within its acceleration. Where an
// interval spans many steps, the ticks are fine enough to meet the turn
// gradually, and the grid is left as it is.
constexpr double kBendShare = 0.2;
constexpr double kRefineSpan = 16.0;
// Points a path's refinement may add, pieces an interval is split into at
// most, and refinements per path (each followed by the profile anew: the
// slower profile takes shorter steps, which a second pass may split to).
constexpr std::size_t kRefinePoints = 96;
constexpr int kRefineSplit = 8;
constexpr int kRefinePasses = 2;
// Grid points a profile has room for: the grid, the graded edge and the
// refinement.
constexpr std::size_t kProfilePoints = kGrid + kEdgeLevels + 2 + kRefinePoints;
// A reading whose rate per unit of path over the last grid interval is
// this many times the one before has the path's end graded too.
constexpr double kSteepening = 1.25;
// How far a target's rotation block may be from a rotation.
constexpr double kRigidTolerance = 1e-6;
constexpr double kInfinity = std::numeric_limits<double>::infinity();

bool rigid(const Mat4& m) {
  for (double x : m.v)
    if (!std::isfinite(x)) return false;
  if (m(3, 0) != 0.0 || m(3, 1) != 0.0 || m(3, 2) != 0.0 || m(3, 3) != 1.0) return false;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      const double dot = (m(0, i) * m(0, j) + m(1, i) * m(1, j)) + m(2, i) * m(2, j);
      if (std::fabs(dot - (i == j ? 1.0 : 0.0)) > kRigidTolerance) return false;
    }
  const double det = m(0, 0) * (m(1, 1) * m(2, 2) - m(1, 2) * m(2, 1)) -
                     m(0, 1) * (m(1, 0) * m(2, 2) - m(1, 2) * m(2, 0)) +
                     m(0, 2) * (m(1, 0) * m(2, 1) - m(1, 1) * m(2, 0));
  return det > 0.0;
}

// Whether some reading turns markedly faster over the path's last grid
// interval than over the one before: a target near the edge of reach, where
// a horn's rate per unit of path grows without bound as its rod lines up.
bool steepens_at_end(const SpeedProfile& profile, std::size_t legs) noexcept {
  const std::size_t n = profile.s.size();
  if (n < 3) return false;
  const double h0 = profile.s[n - 2] - profile.s[n - 3], h1 = profile.s[n - 1] - profile.s[n - 2];
  for (std::size_t j = 0; j < legs; ++j) {
    const double* r = profile.readings.data() + j;
    const double before = std::fabs(r[(n - 2) * legs] - r[(n - 3) * legs]) / h0;
    const double last = std::fabs(r[(n - 1) * legs] - r[(n - 2) * legs]) / h1;
    if (last > kSteepening * before) return true;
  }
  return false;
}

}  // namespace

struct Follower::Path {
  StraightPath line;
  double end = 0.0;     // the last feasible s on the line
  Verdict beyond;       // why not past `end` (none when end == 1)
  double looked = 0.0;  // how far ahead the ticks have found it feasible
  SpeedProfile profile;
};

Follower::Follower(std::shared_ptr<const MotionModel> model, double rate, const std::optional<Mat4>& start)
    : model_(std::move(model)), rate_(rate) {
  if (!model_) throw std::invalid_argument("follower: no model");
  if (!(std::isfinite(rate) && rate > 0.0)) throw std::invalid_argument("follower: rate must be positive and finite");
  dt_ = 1.0 / rate;
  const std::size_t legs = model_->legs();
  for (auto* v : {&angles_, &readings_, &previous_, &candidate_angles_, &candidate_readings_, &pulses_, &change_, &speed_step_, &acceleration_step_})
    v->assign(legs, 0.0);
  pose_ = start.value_or(model_->home());
  if (!rigid(pose_)) throw std::invalid_argument("follower: the start pose is not a rigid transform");
  const Verdict verdict = model_->solve(pose_, angles_, readings_);
  if (!verdict.feasible()) throw std::invalid_argument("follower: the start pose is not feasible");
  previous_ = readings_;
  path_ = std::make_unique<Path>();
  spare_ = std::make_unique<Path>();
  for (Path* p : {path_.get(), spare_.get()}) p->profile.reserve(kProfilePoints, legs);
  build(*path_, pose_, pose_, 1.0);
  publish(MotionStatus::holding);
}

Follower::~Follower() = default;
Follower::Follower(Follower&&) noexcept = default;
Follower& Follower::operator=(Follower&&) noexcept = default;

bool Follower::at_rest() const noexcept { return readings_ == previous_; }

Verdict Follower::evaluate(const Path& path, double s) noexcept {
  candidate_pose_ = path.line.pose(s);
  return model_->solve(candidate_pose_, candidate_angles_, candidate_readings_);
}

void Follower::build(Path& path, const Mat4& from, const Mat4& to, double limit) noexcept {
  const std::size_t legs = model_->legs();
  path.line = StraightPath(from, to);
  path.end = limit;
  path.beyond = {};
  path.looked = 0.0;
  SpeedProfile& profile = path.profile;
  profile.s.clear();
  profile.readings.clear();
  if (!rigid(to)) {
    path.end = 0.0;
    path.beyond = {Infeasibility::invalid_target, -1};
  }
  double feasible = 0.0;
  for (std::size_t i = 0; i <= kGrid; ++i) {
    double s = path.end * static_cast<double>(i) / static_cast<double>(kGrid);
    if (i == kGrid) s = path.end;
    Verdict verdict = evaluate(path, s);
    if (!verdict.feasible()) {
      // Where between the last feasible grid point and this one the path
      // leaves the feasible set, and why.
      const double inside = edge(path, feasible, s, verdict);
      path.end = inside;
      path.beyond = verdict;
      // At the edge of the feasible set the readings turn fast (a rod
      // straightening, a singularity): grade the grid towards it, halving
      // the distance each time, so the profile sees the turn.
      for (int k = 1; k <= kEdgeLevels && inside > feasible; ++k) {
        const double at = k == kEdgeLevels ? inside : inside - (inside - feasible) * std::ldexp(1.0, -k);
        if (at <= profile.s.back()) continue;
        evaluate(path, at);
        profile.s.push_back(at);
        profile.readings.insert(profile.readings.end(), candidate_readings_.begin(), candidate_readings_.end());
      }
      break;
    }
    feasible = s;
    profile.s.push_back(s);
    profile.readings.insert(profile.readings.end(), candidate_readings_.begin(), candidate_readings_.end());
    if (path.end == 0.0) break;
  }
  if (path.beyond.feasible() && steepens_at_end(profile, legs)) grade_end(path);
  profile.compute(*model_, legs, kSpeedMargin, kAccelerationMargin);
  for (int pass = 0; pass < kRefinePasses && refine(path); ++pass)
    profile.compute(*model_, legs, kSpeedMargin, kAccelerationMargin);
}

// Splits each grid interval where a reading bends enough to bind the
// profile and the interval is longer than the step a tick takes there at
// the profile's speed, into pieces of about that step. False when it added
// no point.
bool Follower::refine(Path& path) noexcept {
  SpeedProfile& profile = path.profile;
  const std::size_t legs = model_->legs();
  std::size_t room = kProfilePoints - std::min(kProfilePoints, profile.s.size());
  bool added = false;
  for (std::size_t i = profile.s.size() - 1; i-- > 0 && room > 0;) {
    const double h = profile.s[i + 1] - profile.s[i];
    const double x = std::max(profile.x[i], profile.x[i + 1]);
    if (!(x > 0.0) || !std::isfinite(x)) continue;
    const double sigma = dt_ * std::sqrt(x);
    if (!(h > sigma && h <= kRefineSpan * sigma)) continue;
    bool bends = false;
    for (std::size_t j = 0; j < legs && !bends; ++j) {
      const double c = std::max(std::fabs(profile.curve[i * legs + j]), std::fabs(profile.curve[(i + 1) * legs + j]));
      bends = c * x >= kBendShare * model_->servo(j).acceleration;
    }
    if (!bends) continue;
    const double pieces = std::min({std::ceil(h / sigma), static_cast<double>(kRefineSplit), static_cast<double>(room + 1)});
    const double from = profile.s[i];
    for (double k = pieces - 1.0; k >= 1.0; k -= 1.0) {
      const double at = from + h * (k / pieces);
      if (!(at > from && at < profile.s[i + 1])) continue;
      if (!evaluate(path, at).feasible()) continue;  // a dip: the look-ahead ends the path before it
      profile.s.insert(profile.s.begin() + static_cast<std::ptrdiff_t>(i + 1), at);
      profile.readings.insert(profile.readings.begin() + static_cast<std::ptrdiff_t>((i + 1) * legs),
                              candidate_readings_.begin(), candidate_readings_.end());
      --room;
      added = true;
    }
  }
  return added;
}

// The last grid interval graded towards the path's end, halving the
// distance each time, as towards an edge of the feasible set.
void Follower::grade_end(Path& path) noexcept {
  SpeedProfile& profile = path.profile;
  const std::size_t legs = model_->legs();
  const double end = profile.s.back(), start = profile.s[profile.s.size() - 2];
  profile.s.pop_back();
  profile.readings.resize(profile.readings.size() - legs);
  for (int k = 1; k <= kEdgeLevels; ++k) {
    const double at = k == kEdgeLevels ? end : end - (end - start) * std::ldexp(1.0, -k);
    evaluate(path, at);
    profile.s.push_back(at);
    profile.readings.insert(profile.readings.end(), candidate_readings_.begin(), candidate_readings_.end());
  }
}

// Whether a step on the straight path from here to `target` might keep every
// servo within its window, from the readings' slopes where it starts. While
// braking for a target it cannot yet turn to, the follower asks each tick:
// this answers with one solve where building the path takes a hundred.
bool Follower::might_turn_to(const Mat4& target) noexcept {
  if (!rigid(target)) return true;  // the path's build says why it ends
  spare_->line = StraightPath(pose_, target);
  if (!evaluate(*spare_, kProbe).feasible()) return true;  // the build looks closer
  double shortest = 0.0, longest = kInfinity;  // steps of s that suit every leg so far
  for (std::size_t j = 0; j < change_.size(); ++j) {
    const double slope = (candidate_readings_[j] - readings_[j]) / kProbe;
    const double d = change_[j], v = kProbeSlack * speed_step_[j], a = kProbeSlack * acceleration_step_[j];
    const double low = std::max(-v, d - a), high = std::min(v, d + a);
    if (!std::isfinite(slope)) return true;
    if (slope > 0.0) {
      shortest = std::max(shortest, low / slope);
      longest = std::min(longest, high / slope);
    } else if (slope < 0.0) {
      shortest = std::max(shortest, high / slope);
      longest = std::min(longest, low / slope);
    } else if (low > 0.0 || high < 0.0) {
      return false;
    }
  }
  return shortest <= longest;
}

// A dip out of the feasible set narrower than the path's grid is met only
// when a step lands in it, too late to brake. So each tick looks a braking
// distance ahead (the last step's length, for as many ticks as the servo
// turning fastest against its limit needs to stop, and two more), in
// strides no longer than a step from where the last tick looked, and ends
// the path before a dip it finds there.
void Follower::look_ahead(Path& path) noexcept {
  if (!(last_step_ > 0.0)) return;
  double ticks = 0.0;
  for (std::size_t j = 0; j < change_.size(); ++j)
    ticks = std::max(ticks, std::fabs(change_[j]) / acceleration_step_[j]);
  double inside = std::max(path.looked, s_);
  const double far = std::min(path.end, s_ + last_step_ * (ticks + 2.0));
  if (!(far > inside)) return;
  const double strides = std::min(static_cast<double>(kLookAheadProbes), std::ceil((far - inside) / last_step_));
  const double start = inside;
  for (double k = 1.0; k <= strides; k += 1.0) {
    const double at = k == strides ? far : start + (far - start) * (k / strides);
    Verdict why = evaluate(path, at);
    if (!why.feasible()) {
      const Mat4 from = path.line.from(), to = path.line.to();
      const double end = edge(path, inside, at, why);
      build(path, from, to, end);
      path.beyond = why;
      return;
    }
    inside = at;
  }
  path.looked = far;
}

// Where between a feasible s (inside) and an infeasible one (outside,
// infeasible for `why`) the path leaves the feasible set: the last feasible
// s found by halving, with `why` the reason nearest beyond it. A rod
// straightening turns its horn infinitely fast per unit of path, so there
// the end is set a hair short, where the readings' slopes are finite.
double Follower::edge(const Path& path, double inside, double outside, Verdict& why) noexcept {
  const double start = inside;
  for (int k = 0; k < kBoundarySteps; ++k) {
    const double middle = inside + (outside - inside) / 2.0;
    if (middle <= inside || middle >= outside) break;
    const Verdict v = evaluate(path, middle);
    if (v.feasible()) inside = middle;
    else { outside = middle; why = v; }
  }
  if (why.reason == Infeasibility::reach) inside -= (inside - start) * std::ldexp(1.0, -kReachBackOff);
  return inside;
}

// The largest step sigma (of s) at which the speed profile still allows
// the path speed sigma / dt: sigma <= dt sqrt(x(s + sigma)).
double Follower::profile_step(const Path& path, double s) const noexcept {
  const double room = path.end - s;
  if (room <= 0.0) return 0.0;
  const auto over = [&](double sigma) { return sigma > dt_ * std::sqrt(path.profile.bound(s + sigma)); };
  if (!over(room)) return room;
  double lo = 0.0, hi = room;
  for (int k = 0; k < 60 && hi - lo > 1e-15 * room; ++k) {
    const double middle = lo + (hi - lo) / 2.0;
    (over(middle) ? hi : lo) = middle;
  }
  return lo;
}

// The step at which the first leg reaches its window's far side, were
// every reading linear in s with its slope here; the whole path when no
// leg limits it.
double Follower::predicted_step(const Path& path, double s) const noexcept {
  double step = path.end - s;
  for (std::size_t j = 0; j < change_.size(); ++j) {
    const double slope = path.profile.slope_at(s, j);
    const double d = change_[j], v = speed_step_[j], a = acceleration_step_[j];
    // A leg whose window lies wholly against its slope is turning round
    // here: its slope says nothing of the step, the search finds it.
    const double high = std::min(v, d + a), low = std::max(-v, d - a);
    if (slope > 0.0 && high > 0.0) step = std::min(step, high / slope);
    else if (slope < 0.0 && low < 0.0) step = std::min(step, low / slope);
  }
  return step;
}

// How the candidate's reading change g sits in each leg's window [lo, hi]:
// `shrink` is the factor of the step that brings the furthest leg back
// within the window's far side (1 when none is beyond), `grow` the factor
// that brings a leg which has not yet reached the window's near side (a
// servo that cannot slow down that much) to it (0 when none), and `stuck`
// says a leg moves the wrong way for any step on this path.
Follower::Fit Follower::fit(std::span<const double> from, double sigma, double near_slack) const noexcept {
  Fit f;
  for (std::size_t j = 0; j < change_.size(); ++j) {
    const double g = candidate_readings_[j] - from[j];
    const double d = change_[j], v = speed_step_[j], a = acceleration_step_[j];
    if (g > 0.0) {
      const double hi = std::min(v, d + a), lo = std::max(-v, d - near_slack * a);
      if (hi < 0.0) f.stuck = true;
      else if (g > hi) f.shrink = std::min(f.shrink, hi / g);
      else if (g < lo) f.grow = std::max(f.grow, lo / g);
    } else if (g < 0.0) {
      const double lo = std::max(-v, d - a), hi = std::min(v, d + near_slack * a);
      if (lo > 0.0) f.stuck = true;
      else if (g < lo) f.shrink = std::min(f.shrink, lo / g);
      else if (g > hi) f.grow = std::max(f.grow, hi / g);
    } else if (d - near_slack * a > 0.0 || d + near_slack * a < 0.0) {
      if (sigma > 0.0) f.stuck = true;
      else f.grow = kInfinity;
    }
  }
  return f;
}

// The largest step within the exact limits and the profile on `path` from
// s, or a braking step (the smallest) when `brake`. Leaves the step's pose,
// angles and readings in the candidate buffers. False when no step on this
// path keeps every servo within its limits.
bool Follower::choose(Path& path, double s, bool brake, double& next) noexcept {
  double sigma = 0.0;
  const bool found = search(path, s, brake, sigma);
  next = sigma == path.end - s ? path.end : s + sigma;
  if (!found) load(path, s, sigma);  // the buffers hold the last try
  return found;
}

bool Follower::search(Path& path, double s, bool brake, double& sigma) noexcept {
  const std::span<const double> from(readings_);
  if (brake) {
    // To rest as hard as the slack allows, while that stays within the
    // profile; near the path's end the profile's own braking lands on it.
    load(path, s, 0.0);
    const Fit rest = fit(from, 0.0, 1.0);
    sigma = 0.0;
    if (!rest.stuck && rest.grow == 0.0) return true;
    const double cap = profile_step(path, s);
    for (const double slack : {kBrakeSlack, 1.0}) {
      sigma = 0.0;
      if (grow_to(path, s, sigma, slack, kInfinity) && sigma <= cap) return true;
    }
  }
  for (int rebuilds = 0; rebuilds < 4; ++rebuilds) {
    const double room = path.end - s;
    const double cap = profile_step(path, s);
    // Landing at the end: when the profile is nearly there, try the end
    // itself, which needs a step small enough to rest after.
    if (room > 0.0 && room <= 2.0 * cap + 1e-15) {
      const Verdict v = evaluate(path, path.end);
      const Fit f = fit(from, room, 1.0);
      bool still = v.feasible() && !f.stuck && f.shrink == 1.0 && f.grow == 0.0;
      for (std::size_t j = 0; still && j < change_.size(); ++j)
        still = std::fabs(candidate_readings_[j] - from[j]) <= acceleration_step_[j];
      if (still) {
        sigma = room;
        return true;
      }
    }
    // The far side: the largest step with every leg within its window,
    // first guessed from the readings' slopes here (exact for a short
    // step), then narrowed from above by each leg's overshoot, and by
    // halving the bracket should a reading turn back within the step.
    sigma = std::min(cap, predicted_step(path, s));
    double within = 0.0, beyond = kInfinity;
    Fit f;
    bool infeasible_pose = false;
    Verdict why;  // the pose's, when infeasible
    for (int k = 0; k < kSearch + kBracketSteps; ++k) {
      if (!(sigma > within)) break;
      const Verdict v = evaluate(path, s + sigma);
      if (!v.feasible()) {
        infeasible_pose = true;
        why = v;
        break;
      }
      f = fit(from, sigma, 1.0);
      if (f.shrink == 1.0) {
        within = sigma;
        break;
      }
      beyond = sigma;
      const double guess = sigma * f.shrink * (1.0 - 1e-12);
      const double next = k < kSearch && guess > within ? guess : within + (beyond - within) / 2.0;
      if (next >= beyond) break;
      sigma = next;
    }
    if (infeasible_pose) {
      // The grid stepped over a dip out of the feasible set: end the path
      // before it and plan the braking again.
      const Mat4 from_pose = path.line.from(), to_pose = path.line.to();
      const double inside = edge(path, s, s + sigma, why);
      build(path, from_pose, to_pose, inside);
      path.beyond = why;
      continue;
    }
    if (sigma != within || within == 0.0) {
      // The buffers hold the last try, beyond: back to the step taken.
      load(path, s, within);
      f = fit(from, within, 1.0);
    }
    sigma = within;
    if (f.stuck) return false;
    if (f.grow == 0.0) return true;
    // The near side: the servos cannot slow down that much, so go further.
    // Aim a little short of the hardest braking: the legs' share of the
    // path changes within the tick, and the slack keeps every leg within.
    for (const double slack : {kBrakeSlack, 1.0}) {
      if (grow_to(path, s, sigma, slack, beyond)) return true;
    }
    return false;
  }
  return false;
}

// From the step sigma, at which some leg is short of its window's near side
// (taken `slack` of the way to the hardest braking), a further step within
// every window, below `too_long` (a step known to put a leg beyond its far
// side). Guessed from the shortfall, then found by halving the bracket: at
// speed the windows are narrow and the legs' shares of the path differ, so
// the steps that suit every leg can be a sliver. False when there are none
// within the path.
bool Follower::grow_to(const Path& path, double s, double& sigma, double slack, double too_long) noexcept {
  const std::span<const double> from(readings_);
  const double room = path.end - s;
  const double start = sigma;
  load(path, s, sigma);
  Fit f = fit(from, sigma, slack);
  if (f.stuck) return false;
  if (f.grow == 0.0) return f.shrink == 1.0;
  double too_short = sigma;
  double guess = sigma > 0.0 ? sigma * f.grow : 0.0;
  if (sigma == 0.0) {
    for (std::size_t j = 0; j < change_.size(); ++j) {
      const double d = change_[j], a = slack * acceleration_step_[j];
      const double need = d - a > 0.0 ? d - a : (d + a < 0.0 ? d + a : 0.0);
      if (need == 0.0) continue;
      const double slope = path.profile.slope_at(s, j);
      if (slope == 0.0 || (need > 0.0) != (slope > 0.0)) return false;
      guess = std::max(guess, need / slope);
    }
  }
  too_long = std::min(too_long, room * (1.0 + 1e-12) + 1e-300);
  for (int k = 0; k < kSearch + kBracketSteps; ++k) {
    double next = guess;
    if (!(k < kSearch && next > too_short && next < too_long)) next = too_short + (too_long - too_short) / 2.0;
    next = std::min(next, room);
    if (!(next > too_short)) break;
    sigma = next;
    if (!evaluate(path, sigma == room ? path.end : s + sigma).feasible()) break;
    f = fit(from, sigma, slack);
    if (f.stuck) break;
    if (f.shrink < 1.0) {
      too_long = sigma;
      guess = sigma * f.shrink;
    } else if (f.grow > 0.0) {
      too_short = sigma;
      // Beyond the linear estimate: the near side is approached from below.
      guess = sigma * (1.0 + 1.5 * (f.grow - 1.0));
    } else {
      return true;
    }
  }
  sigma = start;
  return false;
}

// How far the candidate's readings overstep their windows, as a share of
// each servo's own limits: at most 1 when every one is within.
double Follower::overstep() const noexcept {
  double worst = 0.0;
  for (std::size_t j = 0; j < change_.size(); ++j) {
    const double g = candidate_readings_[j] - readings_[j];
    worst = std::max({worst, std::fabs(g) / speed_step_[j], std::fabs(g - change_[j]) / acceleration_step_[j]});
  }
  return worst;
}

// Where the search found no step that keeps every window: the step on the
// path from s whose largest overstep is least (`least`, at most 1 when it
// keeps every window after all), among evenly spaced tries up to the
// path's end and twice the last step, then narrowed around the best try by
// golden sections. The search reads each leg's window as "shorter" or
// "longer" and misses a sliver where a reading turning round within the
// step says "longer" on both sides of it; the overstep, the largest of the
// legs' distances outside their windows, has no such blind side. Leaves
// the step in the candidate buffers.
double Follower::least_overstep(const Path& path, double s, double& least) noexcept {
  const double room = path.end - s;
  const double reach = std::min(room, 2.0 * std::max(last_step_, 0.0));
  const auto at = [&](double sigma) { return sigma >= room ? path.end : s + sigma; };
  const auto worst = [&](double sigma) {
    if (sigma <= 0.0) {
      load(path, s, 0.0);
      return overstep();
    }
    return evaluate(path, at(sigma)).feasible() ? overstep() : kInfinity;
  };
  double best = 0.0;
  least = kInfinity;
  double limit = reach;  // the tries stop at the first infeasible pose
  for (int k = 0; k <= kOverstepTries; ++k) {
    const double sigma = reach * static_cast<double>(k) / kOverstepTries;
    const double w = worst(sigma);
    if (w == kInfinity && sigma > 0.0) {
      limit = sigma;
      break;
    }
    if (w < least) {
      least = w;
      best = sigma;
    }
  }
  if (least > 1.0 && reach > 0.0) {
    const double spacing = reach / kOverstepTries;
    double lo = std::max(0.0, best - spacing), hi = std::min(limit, best + spacing);
    constexpr double kGolden = 0.6180339887498949;
    double m1 = hi - kGolden * (hi - lo), m2 = lo + kGolden * (hi - lo);
    double w1 = worst(m1), w2 = worst(m2);
    for (int k = 0; k < kGoldenSections && least > 1.0; ++k) {
      if (w1 < least) { least = w1; best = m1; }
      if (w2 < least) { least = w2; best = m2; }
      if (w1 <= w2) {
        hi = m2; m2 = m1; w2 = w1;
        m1 = hi - kGolden * (hi - lo);
        w1 = worst(m1);
      } else {
        lo = m1; m1 = m2; w1 = w2;
        m2 = lo + kGolden * (hi - lo);
        w2 = worst(m2);
      }
    }
    if (w1 < least) { least = w1; best = m1; }
    if (w2 < least) { least = w2; best = m2; }
  }
  load(path, s, best);
  return best > 0.0 ? at(best) : s;
}

// The candidate buffers for the step sigma from s; the last command's own
// when sigma is 0 (the pose stands where it is).
void Follower::load(const Path& path, double s, double sigma) noexcept {
  if (sigma > 0.0) {
    evaluate(path, sigma == path.end - s ? path.end : s + sigma);
    return;
  }
  candidate_pose_ = pose_;
  std::copy(readings_.begin(), readings_.end(), candidate_readings_.begin());
  std::copy(angles_.begin(), angles_.end(), candidate_angles_.begin());
}

void Follower::window() noexcept {
  for (std::size_t j = 0; j < change_.size(); ++j) {
    const ServoLimits& servo = model_->servo(j);
    change_[j] = readings_[j] - previous_[j];
    speed_step_[j] = servo.speed * dt_;
    acceleration_step_[j] = servo.acceleration * dt_ * dt_;
  }
}

void Follower::advance(double s) noexcept {
  s_ = s;
  pose_ = candidate_pose_;
  previous_.swap(readings_);
  std::copy(candidate_readings_.begin(), candidate_readings_.end(), readings_.begin());
  std::copy(candidate_angles_.begin(), candidate_angles_.end(), angles_.begin());
}

void Follower::publish(MotionStatus status) noexcept {
  command_.pose = pose_;
  command_.angles = angles_;
  command_.servo_angles = readings_;
  for (std::size_t j = 0; j < pulses_.size(); ++j) pulses_[j] = model_->servo(j).pulse(readings_[j]);
  command_.pulses = pulses_;
  command_.status = status;
  command_.leg = -1;
  command_.reason = Infeasibility::none;
  if (status == MotionStatus::clamped) {
    command_.leg = path_->beyond.leg;
    command_.reason = path_->beyond.reason;
  }
}

const Command& Follower::step(const std::optional<Mat4>& target) noexcept {
  window();
  const bool resting = at_rest();
  if (target && (!target_ || !(*target_ == *target))) {
    target_ = target;
    pending_ = true;
  }
  if (!target) {
    target_.reset();
    pending_ = false;
  }
  if (pending_) {
    if (resting) {
      build(*path_, pose_, *target_, 1.0);
      s_ = 0.0;
      last_step_ = 0.0;
      pending_ = false;
    } else if (might_turn_to(*target_)) {
      // Moving: take the new path only where a step on it keeps the
      // limits; until then brake along the old one.
      build(*spare_, pose_, *target_, 1.0);
      double next = 0.0;
      // Only at a pace the new path's profile allows: a faster first step
      // (the servos unable to slow down enough) leaves too little of it to
      // brake on before its end.
      if (choose(*spare_, 0.0, false, next) && next <= profile_step(*spare_, 0.0)) {
        path_.swap(spare_);
        pending_ = false;
        last_step_ = next;
        advance(next);
        publish(path_->end < 1.0 ? MotionStatus::clamped : (s_ == 1.0 ? MotionStatus::arrived : MotionStatus::moving));
        return command_;
      }
    }
  }
  double next = s_;
  const bool brake = !target_ || pending_;
  look_ahead(*path_);
  if (!choose(*path_, s_, brake, next)) {
    // No step found that keeps every limit (the profile's margins are
    // meant to make this unreachable): take the one that oversteps them
    // least, which may yet be within them all.
    double least = kInfinity;
    next = least_overstep(*path_, s_, least);
    if (least > 1.0) ++overruns_;
  }
  last_step_ = next - s_;
  advance(next);
  MotionStatus status = MotionStatus::moving;
  if (!target_) status = MotionStatus::holding;
  else if (!pending_ && path_->end < 1.0) status = MotionStatus::clamped;
  else if (!pending_ && s_ >= 1.0) status = MotionStatus::arrived;
  publish(status);
  return command_;
}

}  // namespace zandrel
