// Motion along straight paths within the servos' speed and acceleration.
//
// A MotionModel is one mechanism with its servos, checked once by
// MotionModel::create and immutable after: share it between threads freely.
// A Follower is the state of one control loop over a model: it moves the
// platform, tick by tick, along the straight path from where it is to a
// target (translation linear, rotation along the geodesic, one parameter
// for both), as fast as the servos allow, and never emits a command that is
// outside the feasible set (every leg reaches, every servo reading within
// its range, home's side of every parallel singularity) or that breaks a
// servo's limits. Limits hold on the commands as sent: with one tick of
// dt = 1/rate between commands, every servo reading r obeys
//   |r[k+1] - r[k]| <= speed * dt
//   |r[k+1] - 2 r[k] + r[k-1]| <= acceleration * dt^2,
// at rest before the first command and, when it stops, after the last.
// plan() strings such moves together through keyframes, stopping at each.
//
// Units: poses are in the model's unit (`unit_per_metre` of them to a
// metre, 1000 for millimetres); the legs are solved in metres, each pose's
// translation divided by unit_per_metre, so the angles are exactly those of
// inverse_kinematics on a model built in metres for the pose so converted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "mat4.hpp"
#include "model.hpp"
#include "statics.hpp"

namespace zandrel {

// What sits between a leg angle theta and its servo. The servo reading is
// direction * (theta - zero), wrapped into (-pi, pi].
struct ServoLimits {
  double zero = 0.0;
  double direction = 1.0;      // +1 or -1
  double lower = -3.141592653589793;  // range of the reading, radians
  double upper = 3.141592653589793;
  double speed = std::numeric_limits<double>::infinity();        // largest |reading rate|, rad/s; infinity: unlimited
  double acceleration = std::numeric_limits<double>::infinity();  // largest |reading acceleration|, rad/s^2
  // Pulse widths in microseconds that command `lower` and `upper` (widths
  // in between map linearly); NaN: the servo takes no pulses.
  double pulse_lower = std::numeric_limits<double>::quiet_NaN();
  double pulse_upper = std::numeric_limits<double>::quiet_NaN();
  // The largest torque the servo may hold, N m (infinity: unlimited); only
  // a model with a load checks it.
  double torque = std::numeric_limits<double>::infinity();

  // The pulse width of a reading: NaN outside [lower, upper] (never a
  // width clipped to the range) and without a pulse range.
  double pulse(double reading) const noexcept;
};

struct LegSpec {
  Vec3 branch_platform;  // rod anchor in platform coordinates, metres
  Mat4 t_world_motor;    // motor frame in the world, translation in metres
  double solution;       // +1 or -1, as in Kinematics::add_branch
  ServoLimits servo;
  // This leg's own horn and rod (metres), where they differ from the shared.
  std::optional<double> motor_arm_length{};
  std::optional<double> rod_length{};
};

struct MotionModelSpec {
  double motor_arm_length;  // metres
  double rod_length;        // metres
  std::vector<LegSpec> legs;
  Mat4 home;                     // the rest pose, in the model's unit; must be feasible
  double unit_per_metre = 1.0;   // 1 for metres, 1000 for millimetres
  // What the platform carries (SI units, the centre in metres): with it,
  // a pose whose servo torques exceed a servo's limit is infeasible.
  std::optional<Load> load{};
};

// Why a pose cannot be commanded.
enum class Infeasibility : std::uint8_t {
  none,
  reach,          // the leg's rod cannot reach its anchor
  servo_lower,    // the servo reading is below its range
  servo_upper,    // the servo reading is above its range
  singularity,    // the pose is at or past a parallel singularity (leg is -1)
  invalid_target, // the target is not a finite rigid transform (leg is -1)
  torque,         // holding the load needs more torque than the leg's servo has
};

// A pose's verdict: feasible, or the first leg (in leg order) found failing.
struct Verdict {
  Infeasibility reason = Infeasibility::none;
  int leg = -1;  // -1 when feasible or when the reason is the singularity
  bool feasible() const noexcept { return reason == Infeasibility::none; }
};

class MotionModel {
 public:
  // Validates and builds: finite positive lengths, at least one leg, every
  // motor pose invertible, solution +-1, direction +-1, lower < upper within
  // [-pi, pi], speed and acceleration positive (or infinite), unit_per_metre
  // positive and finite, home feasible. Throws std::invalid_argument saying
  // which value is wrong and why.
  static std::shared_ptr<const MotionModel> create(const MotionModelSpec& spec);

  std::size_t legs() const noexcept { return servos_.size(); }
  const Kinematics& kinematics() const noexcept { return kinematics_; }
  const ServoLimits& servo(std::size_t leg) const noexcept { return servos_[leg]; }
  const Mat4& home() const noexcept { return home_; }
  double unit_per_metre() const noexcept { return unit_per_metre_; }

  // Leg angles (out.size() == legs()) and servo readings (same size) for a
  // pose in the model's unit: the inverse kinematics of the pose in metres.
  // Returns the pose's verdict. Allocates nothing.
  Verdict solve(const Mat4& pose, std::span<double> angles, std::span<double> readings) const noexcept;

  // The pose in metres that the legs are solved for.
  Mat4 in_metres(const Mat4& pose) const noexcept;

 private:
  MotionModel() : kinematics_(0.0, 0.0) {}
  Kinematics kinematics_;  // in metres
  std::vector<ServoLimits> servos_;
  Mat4 home_;
  double unit_per_metre_ = 1.0;
  double home_determinant_ = 1.0;
  std::optional<Load> load_;
};

enum class MotionStatus : std::uint8_t {
  moving,   // on the way to a target it will reach
  arrived,  // at the target, exactly
  clamped,  // the target or the path to it leaves the feasible set: stopping, or
            // stopped, at the last feasible pose on the path
  holding,  // no target: braking to rest, or at rest
};

// One control tick's command. The spans view the follower's own buffers and
// stay valid until its next step.
struct Command {
  Mat4 pose;                            // the model's unit
  std::span<const double> angles;       // leg angles theta: inverse kinematics of pose
  std::span<const double> servo_angles; // servo readings
  std::span<const double> pulses;       // ServoLimits::pulse of each reading
  MotionStatus status = MotionStatus::holding;
  // When clamped: the leg that limits (-1 for the singularity) and why.
  int leg = -1;
  Infeasibility reason = Infeasibility::none;
};

class Follower {
 public:
  // At rest at `start` (the model's home when absent). Throws
  // std::invalid_argument when rate is not positive and finite or the start
  // pose is not a feasible rigid transform.
  Follower(std::shared_ptr<const MotionModel> model, double rate,
           const std::optional<Mat4>& start = std::nullopt);
  ~Follower();
  Follower(Follower&&) noexcept;
  Follower& operator=(Follower&&) noexcept;

  // One tick towards `target` (the model's unit); nullopt brakes to rest
  // and holds. A target that is not a finite rigid transform clamps at
  // once (reason invalid_target). Allocates nothing after construction.
  const Command& step(const std::optional<Mat4>& target) noexcept;

  const Command& last() const noexcept { return command_; }
  double rate() const noexcept { return rate_; }
  // True when the last two commands had the same servo readings.
  bool at_rest() const noexcept;
  // Ticks on which no command on the path kept every limit, and the
  // follower took the one that oversteps them least. Rare: the speed
  // profile slows down ahead of a reading that turns round within a few
  // coarse ticks, but a move that spans only a few ticks (a coarse tick
  // and a fast servo) can still brake into a turn or a clamp with no step
  // left within every limit.
  std::uint64_t overruns() const noexcept { return overruns_; }

 private:
  struct Path;
  struct Fit {
    double shrink = 1.0;
    double grow = 0.0;
    bool stuck = false;
  };
  Verdict evaluate(const Path& path, double s) noexcept;
  void build(Path& path, const Mat4& from, const Mat4& to, double limit) noexcept;
  bool might_turn_to(const Mat4& target) noexcept;
  void grade_end(Path& path) noexcept;
  bool refine(Path& path) noexcept;
  void look_ahead(Path& path) noexcept;
  double overstep() const noexcept;
  double least_overstep(const Path& path, double s, double& least) noexcept;
  double edge(const Path& path, double inside, double outside, Verdict& why) noexcept;
  double profile_step(const Path& path, double s) const noexcept;
  double predicted_step(const Path& path, double s) const noexcept;
  Fit fit(std::span<const double> from, double sigma, double near_slack) const noexcept;
  bool grow_to(const Path& path, double s, double& sigma, double slack, double too_long) noexcept;
  bool choose(Path& path, double s, bool brake, double& next) noexcept;
  bool search(Path& path, double s, bool brake, double& sigma) noexcept;
  void load(const Path& path, double s, double sigma) noexcept;
  void window() noexcept;
  void advance(double s) noexcept;
  void publish(MotionStatus status) noexcept;

  std::shared_ptr<const MotionModel> model_;
  double rate_;
  double dt_ = 0.0;
  Command command_;
  Mat4 pose_, candidate_pose_;
  // Per leg: this command's and the last's readings and angles, the
  // candidate's, the last change of reading, and the largest change of
  // reading and of its change a tick allows.
  std::vector<double> angles_, readings_, previous_, candidate_angles_, candidate_readings_, pulses_;
  std::vector<double> change_, speed_step_, acceleration_step_;
  std::unique_ptr<Path> path_, spare_;  // the path followed, and one being tried
  double s_ = 0.0;                      // where on path_ the last command is
  double last_step_ = 0.0;              // the last tick's step along path_
  std::optional<Mat4> target_;
  bool pending_ = false;  // target_ is not yet path_'s end
  std::uint64_t overruns_ = 0;
};

// A plan through keyframes: one sample every 1/rate s from t = 0 (at rest at
// the first keyframe) to `duration`, when it rests at the last.
struct Trajectory {
  std::vector<double> times;
  std::vector<Mat4> poses;           // the model's unit
  std::vector<double> angles;        // samples x legs, row by row
  std::vector<double> servo_angles;  // samples x legs
  std::vector<double> pulses;        // samples x legs
  double duration = 0.0;
};

// Where a plan cannot go: the segment from keyframe `segment` to the next
// (or the keyframe itself, when `keyframe` is set), the time at which the
// plan would stop at the last feasible pose, the leg and the reason.
struct PlanFailure {
  std::size_t segment = 0;
  bool keyframe = false;
  double time = 0.0;
  int leg = -1;
  Infeasibility reason = Infeasibility::none;
};

struct Plan {
  Trajectory trajectory;
  std::optional<PlanFailure> failure;  // set: the trajectory is empty
  std::uint64_t overruns = 0;          // the follower's (see Follower::overruns)
};

// Rest to rest through every keyframe in turn, each segment time-optimal
// along its straight path up to the follower's safety margins. Throws
// std::invalid_argument for a rate that is not positive and finite, or
// fewer than one keyframe (std::logic_error should the follower ever stall).
Plan plan(std::shared_ptr<const MotionModel> model, std::span<const Mat4> keyframes, double rate);

}  // namespace zandrel
