// zandrel_torso._engine: the core's operations beyond the seed class, for the
// typed Python layer. Conversion only: arrays in, the core's functions, arrays
// out. The layer above validates geometry and shapes in its own words; what
// reaches here is float64, C-contiguous and of the shapes declared below
// (anything else is a TypeError from the binding).
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <nanobind/stl/array.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "engine_arrays.hpp"
#include "zandrel/forward.hpp"
#include "zandrel/inverse.hpp"
#include "zandrel/inverse_safe.hpp"
#include "zandrel/motion.hpp"
#include "zandrel/singularity.hpp"
#include "zandrel/statics.hpp"

namespace nb = nanobind;

namespace zandrel {
namespace {

using namespace engine;

// The core's model from the typed layer's per-leg arrays: each leg with its
// own horn and rod lengths (the first leg's stand as the shared ones).
Kinematics kinematics_of(Values motor_arm_length, Values rod_length, Poses t_world_motor, Points branch_platform,
                         Values solution) {
  const std::size_t legs = t_world_motor.shape(0);
  for (std::size_t n : {motor_arm_length.shape(0), rod_length.shape(0), branch_platform.shape(0), solution.shape(0)})
    if (n != legs) throw std::invalid_argument("every per-leg array needs one entry per leg");
  Kinematics model(legs ? motor_arm_length(0) : 0.0, legs ? rod_length(0) : 0.0);
  for (std::size_t i = 0; i < legs; ++i) {
    const double* p = branch_platform.data() + 3 * i;
    model.add_branch({p[0], p[1], p[2]}, pose_at(t_world_motor.data() + 16 * i), solution(i), motor_arm_length(i),
                     rod_length(i));
  }
  return model;
}

// One mechanism, fixed at construction, with its home pose's Jacobian
// determinant: the reference every margin is measured against.
class Model {
 public:
  Model(Values motor_arm_length, Values rod_length, Poses t_world_motor, Points branch_platform, Values solution,
        Pose home)
      : model_(kinematics_of(motor_arm_length, rod_length, t_world_motor, branch_platform, solution)) {
    // A margin over 1.0 is the determinant itself (NaN without six legs).
    home_determinant_ = zandrel::singularity_margin(model_, pose_at(home.data()), 1.0);
  }

  // Never copied: Python holds the one object (and a copy constructor would
  // make nanobind instantiate the vector's copy, whose allocation check needs
  // a libstdc++ newer than the wheels' policy allows).
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;

  std::size_t legs() const { return model_.branches.size(); }
  double home_determinant() const { return home_determinant_; }

  Out singularity_margin(Poses poses) const {
    const std::size_t count = poses.shape(0);
    Out out = new_array(count);
    double* values = out.data();
    for (std::size_t k = 0; k < count; ++k)
      values[k] = zandrel::singularity_margin(model_, pose_at(poses.data() + 16 * k), home_determinant_);
    return out;
  }

  // Each servo's holding torque (N m) at each pose (metres) with the horns
  // at its row of angles, under a mass at `centre` (platform coordinates,
  // metres) and a further wrench (force, then moment about the platform
  // origin; world axes). Rows of NaN where the rods cannot hold the pose.
  OutAny torques(Poses poses, AngleRows angles, double mass, Vector3 centre, Vector3 gravity, Angles extra) const {
    const std::size_t count = poses.shape(0);
    if (angles.shape(0) != count) throw std::invalid_argument("torques needs one row of angles per pose");
    Load load;
    load.mass = mass;
    for (std::size_t k = 0; k < 3; ++k) {
      load.centre[k] = centre(k);
      load.gravity[k] = gravity(k);
      load.extra.force[k] = extra(k);
      load.extra.moment[k] = extra(3 + k);
    }
    double* data;
    OutAny out = engine::new_array({count, 6}, data);
    for (std::size_t n = 0; n < count; ++n) {
      const Mat4 pose = pose_at(poses.data() + 16 * n);
      servo_torques(model_, pose, std::span<const double>(angles.data() + 6 * n, 6), wrench_of(load, pose),
                    std::span<double>(data + 6 * n, 6));
    }
    return out;
  }

  double rod_jacobian_determinant(Pose pose, Angles angles) const {
    JointAngles theta;
    for (std::size_t i = 0; i < 6; ++i) theta[i] = angles(i);
    return zandrel::rod_jacobian_determinant(model_, pose_at(pose.data()), theta);
  }

 private:
  static Out new_array(std::size_t count) {
    double* data;
    OutAny any = engine::new_array({count}, data);
    return Out(any.handle());
  }

  Kinematics model_;
  double home_determinant_;
};

using MotionModelPtr = std::shared_ptr<const MotionModel>;

// The servo and motion model from the arrays the typed layer keeps.
MotionModelPtr make_motion_model(Values motor_arm_length, Values rod_length, Poses t_world_motor,
                                 Points branch_platform, Values solution, Values zero, Values direction,
                                 Values lower, Values upper, Values speed, Values acceleration,
                                 Values pulse_lower, Values pulse_upper, Values torque, Pose home,
                                 double unit_per_metre, std::optional<Values> load) {
  const std::size_t legs = t_world_motor.shape(0);
  for (std::size_t n : {motor_arm_length.shape(0), rod_length.shape(0), branch_platform.shape(0), solution.shape(0),
                        zero.shape(0), direction.shape(0), lower.shape(0), upper.shape(0), speed.shape(0),
                        acceleration.shape(0), pulse_lower.shape(0), pulse_upper.shape(0), torque.shape(0)})
    if (n != legs) throw std::invalid_argument("every per-leg array needs one entry per leg");
  if (legs == 0) throw std::invalid_argument("needs at least one leg");
  MotionModelSpec spec{motor_arm_length(0), rod_length(0), {}, pose_at(home.data()), unit_per_metre};
  if (load) {
    // mass, centre (3), gravity (3), force (3), moment (3)
    if (load->shape(0) != 13) throw std::invalid_argument("a load is 13 numbers");
    const double* v = load->data();
    spec.load = Load{v[0], {v[1], v[2], v[3]}, {v[4], v[5], v[6]}, {{v[7], v[8], v[9]}, {v[10], v[11], v[12]}}};
  }
  for (std::size_t i = 0; i < legs; ++i) {
    const double* p = branch_platform.data() + 3 * i;
    ServoLimits servo{zero(i), direction(i), lower(i), upper(i), speed(i), acceleration(i), pulse_lower(i),
                      pulse_upper(i), torque(i)};
    spec.legs.push_back({{p[0], p[1], p[2]}, pose_at(t_world_motor.data() + 16 * i), solution(i), servo,
                         motor_arm_length(i), rod_length(i)});
  }
  return MotionModel::create(spec);
}

// The seed class's four solving calls on a model whose legs have their own
// lengths, answering as it does: angles as a list, poses as four rows.
class Solver {
 public:
  using Rows = std::array<std::array<double, 4>, 4>;

  Solver(Values motor_arm_length, Values rod_length, Poses t_world_motor, Points branch_platform, Values solution)
      : model_(kinematics_of(motor_arm_length, rod_length, t_world_motor, branch_platform, solution)),
        angles_(model_.branches.size()) {}
  Solver(const Solver&) = delete;
  Solver& operator=(const Solver&) = delete;

  std::vector<double> inverse_kinematics(const Rows& pose, std::optional<double> body_yaw) {
    zandrel::inverse_kinematics(model_, from(pose), body_yaw, angles_);
    return angles_;
  }

  std::vector<double> inverse_kinematics_safe(const Rows& pose, std::optional<double> body_yaw,
                                              std::optional<double> max_relative_yaw,
                                              std::optional<double> max_body_yaw) {
    const double yaw =
        zandrel::inverse_kinematics_safe(model_, from(pose), body_yaw, max_relative_yaw, max_body_yaw, angles_);
    std::vector<double> out{yaw};
    out.insert(out.end(), angles_.begin(), angles_.end());
    return out;
  }

  Rows forward_kinematics(const JointAngles& angles, std::optional<double> body_yaw) {
    return rows(zandrel::forward_kinematics(model_, angles, body_yaw));
  }

  void reset_forward_kinematics(const Rows& pose) { zandrel::reset_forward_kinematics(model_, from(pose)); }

 private:
  static Mat4 from(const Rows& rows) {
    Mat4 m;
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 4; ++c) m(r, c) = rows[r][c];
    return m;
  }
  static Rows rows(const Mat4& m) {
    Rows out;
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 4; ++c) out[r][c] = m(r, c);
    return out;
  }

  Kinematics model_;
  std::vector<double> angles_;
};

using CommandTuple = std::tuple<OutAny, OutAny, OutAny, OutAny, int, int, int>;

// A follower and the model it needs alive.
class FollowerHandle {
 public:
  FollowerHandle(MotionModelPtr model, double rate, std::optional<Pose> start)
      : follower_(std::move(model), rate,
                  start ? std::optional<Mat4>(pose_at(start->data())) : std::nullopt) {}

  // A tick is a few microseconds: it keeps the interpreter's lock, and its
  // own lock makes two threads stepping one follower (a mistake, but not
  // a crash) take turns.
  CommandTuple step(std::optional<Pose> target) {
    std::optional<Mat4> t;
    if (target) t = pose_at(target->data());
    std::lock_guard<std::mutex> guard(lock_);
    return as_tuple(follower_.step(t));
  }

  CommandTuple last() {
    std::lock_guard<std::mutex> guard(lock_);
    return as_tuple(follower_.last());
  }
  double rate() const { return follower_.rate(); }
  bool at_rest() const { return follower_.at_rest(); }
  std::uint64_t overruns() const { return follower_.overruns(); }

 private:
  static CommandTuple as_tuple(const Command& c) {
    return {pose_array(c.pose), values_array(c.angles), values_array(c.servo_angles), values_array(c.pulses),
            static_cast<int>(c.status), c.leg, static_cast<int>(c.reason)};
  }
  Follower follower_;
  std::mutex lock_;
};

using Failure = std::tuple<std::size_t, bool, double, int, int>;
using PlanTuple = std::tuple<OutAny, OutAny, OutAny, OutAny, OutAny, double, std::optional<Failure>>;

PlanTuple plan_keyframes(MotionModelPtr model, Poses keyframes, double rate) {
  std::vector<Mat4> frames;
  for (std::size_t k = 0; k < keyframes.shape(0); ++k) frames.push_back(pose_at(keyframes.data() + 16 * k));
  Plan result;
  {
    nb::gil_scoped_release unlocked;
    result = plan(model, frames, rate);
  }
  const Trajectory& t = result.trajectory;
  const std::size_t n = t.times.size(), legs = model->legs();
  double *times, *poses, *angles, *readings, *pulses;
  OutAny times_out = new_array({n}, times), poses_out = new_array({n, 4, 4}, poses),
         angles_out = new_array({n, legs}, angles), readings_out = new_array({n, legs}, readings),
         pulses_out = new_array({n, legs}, pulses);
  std::copy(t.pulses.begin(), t.pulses.end(), pulses);
  std::copy(t.times.begin(), t.times.end(), times);
  for (std::size_t k = 0; k < n; ++k) write_rows(t.poses[k], poses + 16 * k);
  std::copy(t.angles.begin(), t.angles.end(), angles);
  std::copy(t.servo_angles.begin(), t.servo_angles.end(), readings);
  std::optional<Failure> failure;
  if (result.failure) {
    const PlanFailure& f = *result.failure;
    failure = Failure{f.segment, f.keyframe, f.time, f.leg, static_cast<int>(f.reason)};
  }
  return {times_out, poses_out, angles_out, readings_out, pulses_out, t.duration, failure};
}

}  // namespace
}  // namespace zandrel

namespace zandrel::engine {
void bind_calibration(nb::module_& m);
}

NB_MODULE(_engine, m) {
  using zandrel::Model;
  m.doc() = "The kinematics engine behind zandrel_torso (private: use zandrel_torso.Torso).";
  nb::class_<Model>(m, "Model")
      .def(nb::init<zandrel::Values, zandrel::Values, zandrel::Poses, zandrel::Points, zandrel::Values,
                    zandrel::Pose>(),
           nb::arg("motor_arm_length"), nb::arg("rod_length"), nb::arg("t_world_motor"),
           nb::arg("branch_platform"), nb::arg("solution"), nb::arg("home"))
      .def_prop_ro("legs", &Model::legs)
      .def_prop_ro("home_determinant", &Model::home_determinant)
      .def("singularity_margin", &Model::singularity_margin, nb::arg("poses"))
      .def("rod_jacobian_determinant", &Model::rod_jacobian_determinant, nb::arg("pose"),
           nb::arg("joint_angles"))
      .def("torques", &Model::torques, nb::arg("poses"), nb::arg("angles"), nb::arg("mass"), nb::arg("centre"),
           nb::arg("gravity"), nb::arg("extra"));

  using zandrel::Solver;
  nb::class_<Solver>(m, "Solver")
      .def(nb::init<zandrel::Values, zandrel::Values, zandrel::Poses, zandrel::Points, zandrel::Values>(),
           nb::arg("motor_arm_length"), nb::arg("rod_length"), nb::arg("t_world_motor"),
           nb::arg("branch_platform"), nb::arg("solution"))
      .def("inverse_kinematics", &Solver::inverse_kinematics, nb::arg("t_world_platform"),
           nb::arg("body_yaw").none() = nb::none())
      .def("inverse_kinematics_safe", &Solver::inverse_kinematics_safe, nb::arg("t_world_platform"),
           nb::arg("body_yaw").none(), nb::arg("max_relative_yaw").none(), nb::arg("max_body_yaw").none())
      .def("forward_kinematics", &Solver::forward_kinematics, nb::arg("joint_angles"),
           nb::arg("body_yaw").none() = nb::none())
      .def("reset_forward_kinematics", &Solver::reset_forward_kinematics, nb::arg("t_world_platform"));

  nb::class_<zandrel::MotionModel>(m, "MotionModel")
      .def_prop_ro("legs", &zandrel::MotionModel::legs);
  m.def("motion_model", &zandrel::make_motion_model, nb::arg("motor_arm_length"), nb::arg("rod_length"),
        nb::arg("t_world_motor"), nb::arg("branch_platform"), nb::arg("solution"), nb::arg("zero"),
        nb::arg("direction"), nb::arg("lower"), nb::arg("upper"), nb::arg("speed"), nb::arg("acceleration"),
        nb::arg("pulse_lower"), nb::arg("pulse_upper"), nb::arg("torque"), nb::arg("home"),
        nb::arg("unit_per_metre"), nb::arg("load").none());
  // One follower is one control loop: nanobind does not lock it, and the
  // typed layer documents that it is not to be shared between threads.
  nb::class_<zandrel::FollowerHandle>(m, "Follower")
      .def(nb::init<zandrel::MotionModelPtr, double, std::optional<zandrel::Pose>>(), nb::arg("model"),
           nb::arg("rate"), nb::arg("start").none())
      .def("step", &zandrel::FollowerHandle::step, nb::arg("target").none())
      .def("last", &zandrel::FollowerHandle::last)
      .def_prop_ro("rate", &zandrel::FollowerHandle::rate)
      .def_prop_ro("at_rest", &zandrel::FollowerHandle::at_rest)
      .def_prop_ro("overruns", &zandrel::FollowerHandle::overruns);
  m.def("plan", &zandrel::plan_keyframes, nb::arg("model"), nb::arg("keyframes"), nb::arg("rate"));
  zandrel::engine::bind_calibration(m);
}
