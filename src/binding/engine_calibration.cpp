// zandrel_torso._engine.calibrate: the core's calibration from the typed
// layer's arrays, its answer as arrays and plain values. Conversion only;
// the core checks the inputs and says in its words what is wrong.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <string>
#include <tuple>
#include <vector>

#include "engine_arrays.hpp"
#include "zandrel/calibration.hpp"

namespace zandrel::engine {

namespace {

using Readings = nb::ndarray<const double, nb::numpy, nb::shape<-1, -1>, nb::c_contig, nb::device::cpu>;
using Component = std::tuple<std::size_t, std::string, double>;

// What the typed layer reads of a calibration: the legs as identified, per
// leg and per sample arrays, and the reports as plain values.
struct CalibrationArrays {
  OutAny motor_arm_length, rod_length, t_world_motor, branch_platform, zero;
  OutAny residual_position, residual_rotation;
  double rms_position = 0.0, rms_rotation = 0.0;
  std::vector<bool> outlier;
  OutAny parameter_std;  // legs x 9
  std::vector<std::tuple<double, std::vector<Component>>> unobservable;
  int iterations = 0;
  bool converged = false;
  OutAny zero_shift, spread, spread_other_side, noise_spread;
  std::vector<bool> other_side_suspected;
  std::vector<std::tuple<std::size_t, std::size_t, double, double>> swapped;
};

template <class F>
OutAny per_leg(std::size_t legs, F value) {
  double* data;
  OutAny out = new_array({legs}, data);
  for (std::size_t i = 0; i < legs; ++i) data[i] = value(i);
  return out;
}

CalibrationArrays calibrate_arrays(Values motor_arm_length, Values rod_length, Poses t_world_motor,
                                   Points branch_platform, Values solution, Values zero, Values direction,
                                   Readings readings, Poses poses, unsigned identify, double length_tolerance,
                                   double position_tolerance, double zero_tolerance, double position_noise,
                                   double rotation_noise) {
  const std::size_t legs = t_world_motor.shape(0);
  for (std::size_t n : {motor_arm_length.shape(0), rod_length.shape(0), branch_platform.shape(0),
                        solution.shape(0), zero.shape(0), direction.shape(0)})
    if (n != legs) throw std::invalid_argument("every per-leg array needs one entry per leg");
  if (readings.shape(0) != poses.shape(0) || readings.shape(1) != legs)
    throw std::invalid_argument("servo readings need one row per pose and one column per leg");
  std::vector<CalibrationLeg> nominal;
  for (std::size_t i = 0; i < legs; ++i) {
    const double* p = branch_platform.data() + 3 * i;
    nominal.push_back({pose_at(t_world_motor.data() + 16 * i), {p[0], p[1], p[2]}, motor_arm_length(i),
                       rod_length(i), solution(i), zero(i), direction(i)});
  }
  std::vector<Mat4> measured;
  for (std::size_t k = 0; k < poses.shape(0); ++k) measured.push_back(pose_at(poses.data() + 16 * k));
  CalibrationOptions options;
  options.identify = CalibrationMask(identify);
  options.length_tolerance = length_tolerance;
  options.position_tolerance = position_tolerance;
  options.zero_tolerance = zero_tolerance;
  options.position_noise = position_noise;
  options.rotation_noise = rotation_noise;
  Calibration c;
  {
    nb::gil_scoped_release unlocked;
    c = calibrate(nominal, std::span<const double>(readings.data(), readings.size()), measured, options);
  }

  CalibrationArrays out;
  out.motor_arm_length = per_leg(legs, [&](std::size_t i) { return c.legs[i].motor_arm_length; });
  out.rod_length = per_leg(legs, [&](std::size_t i) { return c.legs[i].rod_length; });
  out.zero = per_leg(legs, [&](std::size_t i) { return c.legs[i].zero; });
  double *motors, *anchors, *stds;
  out.t_world_motor = new_array({legs, 4, 4}, motors);
  out.branch_platform = new_array({legs, 3}, anchors);
  for (std::size_t i = 0; i < legs; ++i) {
    write_rows(c.legs[i].t_world_motor, motors + 16 * i);
    for (int k = 0; k < 3; ++k) anchors[3 * i + k] = c.legs[i].branch_platform[k];
  }
  out.residual_position = values_array(c.residual_position);
  out.residual_rotation = values_array(c.residual_rotation);
  out.rms_position = c.rms_position;
  out.rms_rotation = c.rms_rotation;
  out.outlier.assign(c.outlier.begin(), c.outlier.end());
  out.parameter_std = new_array({legs, kCalibrationParametersPerLeg}, stds);
  std::copy(c.parameter_std.begin(), c.parameter_std.end(), stds);
  for (const UnobservableDirection& d : c.unobservable) {
    std::vector<Component> components;
    for (const ParameterWeight& w : d.components)
      components.emplace_back(w.leg, calibration_parameter_name(w.parameter), w.weight);
    out.unobservable.emplace_back(d.relative_singular_value, std::move(components));
  }
  out.iterations = c.iterations;
  out.converged = c.converged;
  out.zero_shift = per_leg(legs, [&](std::size_t i) { return c.diagnosis[i].zero_shift; });
  out.spread = per_leg(legs, [&](std::size_t i) { return c.diagnosis[i].spread; });
  out.spread_other_side = per_leg(legs, [&](std::size_t i) { return c.diagnosis[i].spread_other_side; });
  out.noise_spread = per_leg(legs, [&](std::size_t i) { return c.diagnosis[i].noise_spread; });
  for (const LegDiagnosis& d : c.diagnosis) out.other_side_suspected.push_back(d.other_side_suspected);
  for (const SwappedPair& p : c.swapped) out.swapped.emplace_back(p.leg_a, p.leg_b, p.spread, p.spread_swapped);
  return out;
}

}  // namespace

void bind_calibration(nb::module_& m) {
  using C = CalibrationArrays;
  // Arrays are handed out as the arrays themselves (NumPy owns them), not
  // as views into the object.
  nb::class_<C>(m, "Calibration")
      .def_prop_ro("motor_arm_length", [](const C& c) { return c.motor_arm_length; }, nb::rv_policy::automatic)
      .def_prop_ro("rod_length", [](const C& c) { return c.rod_length; }, nb::rv_policy::automatic)
      .def_prop_ro("t_world_motor", [](const C& c) { return c.t_world_motor; }, nb::rv_policy::automatic)
      .def_prop_ro("branch_platform", [](const C& c) { return c.branch_platform; }, nb::rv_policy::automatic)
      .def_prop_ro("zero", [](const C& c) { return c.zero; }, nb::rv_policy::automatic)
      .def_prop_ro("residual_position", [](const C& c) { return c.residual_position; }, nb::rv_policy::automatic)
      .def_prop_ro("residual_rotation", [](const C& c) { return c.residual_rotation; }, nb::rv_policy::automatic)
      .def_ro("rms_position", &C::rms_position)
      .def_ro("rms_rotation", &C::rms_rotation)
      .def_ro("outlier", &C::outlier)
      .def_prop_ro("parameter_std", [](const C& c) { return c.parameter_std; }, nb::rv_policy::automatic)
      .def_ro("unobservable", &C::unobservable)
      .def_ro("iterations", &C::iterations)
      .def_ro("converged", &C::converged)
      .def_prop_ro("zero_shift", [](const C& c) { return c.zero_shift; }, nb::rv_policy::automatic)
      .def_prop_ro("spread", [](const C& c) { return c.spread; }, nb::rv_policy::automatic)
      .def_prop_ro("spread_other_side", [](const C& c) { return c.spread_other_side; }, nb::rv_policy::automatic)
      .def_prop_ro("noise_spread", [](const C& c) { return c.noise_spread; }, nb::rv_policy::automatic)
      .def_ro("other_side_suspected", &C::other_side_suspected)
      .def_ro("swapped", &C::swapped);
  m.def("calibrate", &calibrate_arrays, nb::arg("motor_arm_length"), nb::arg("rod_length"),
        nb::arg("t_world_motor"), nb::arg("branch_platform"), nb::arg("solution"), nb::arg("zero"),
        nb::arg("direction"), nb::arg("readings"), nb::arg("poses"), nb::arg("identify"),
        nb::arg("length_tolerance"), nb::arg("position_tolerance"), nb::arg("zero_tolerance"),
        nb::arg("position_noise"), nb::arg("rotation_noise"));
}

}  // namespace zandrel::engine
