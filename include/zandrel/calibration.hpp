// Calibration: the robot as built, identified from poses measured while the
// servos held known readings.
//
// Each leg has its own geometry here (horn and rod lengths, anchor, motor
// origin, servo zero), since parts and assembly differ leg by leg. A servo
// reading r puts the horn at theta = zero + direction * r. The fit is a
// maximum a posteriori estimate: the pose residuals (model's pose for the
// sample's readings against the measured pose, each divided by its noise)
// and the builder's part tolerances as a Gaussian prior about the nominal
// values, minimised by Levenberg-Marquardt from nominal. The model's pose
// for a set of readings is the one that closes all six rods, found from the
// measured pose (the one nearest to it).
//
// Units: metres and radians throughout.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "mat4.hpp"

namespace zandrel {

// One leg as built or as designed.
struct CalibrationLeg {
  Mat4 t_world_motor;      // rotation fixed; translation column: the motor origin
  Vec3 branch_platform;    // rod anchor in platform coordinates
  double motor_arm_length; // horn length
  double rod_length;
  double solution;         // +1 or -1: which of the two closing horn angles the leg uses
  double zero;             // horn angle at reading 0
  double direction;        // +1 or -1
};

// The nine scalars of a leg that calibration can identify, in this order.
enum class CalibrationParameter : std::uint8_t {
  zero,
  motor_arm_length,
  rod_length,
  anchor_x,  // branch_platform, platform coordinates
  anchor_y,
  anchor_z,
  motor_x,   // motor origin, world coordinates
  motor_y,
  motor_z,
};
inline constexpr std::size_t kCalibrationParametersPerLeg = 9;

// Which parameters to identify, the same for every leg: bit k is
// CalibrationParameter k.
using CalibrationMask = std::bitset<kCalibrationParametersPerLeg>;

// The lowercase name of a parameter ("zero", "anchor_x", ...).
const char* calibration_parameter_name(CalibrationParameter p) noexcept;

struct CalibrationOptions {
  CalibrationMask identify = CalibrationMask().set();  // default: everything
  // The builder's tolerances (standard deviations about nominal).
  double length_tolerance = 0.5e-3;           // horn and rod lengths
  double position_tolerance = 0.5e-3;         // anchor and motor origin coordinates
  double zero_tolerance = 0.08726646259971647;  // 5 degrees
  // Measurement noise (standard deviations) of a measured pose.
  double position_noise = 0.5e-3;             // per translation coordinate
  double rotation_noise = 0.005235987755982988;  // 0.3 degrees, per rotation axis
  int max_iterations = 50;
  // A direction in parameter space (scaled by the tolerances) whose
  // singular value in the data-only Jacobian is below this fraction of the
  // largest is one the data cannot tell apart: it is reported and held at
  // nominal. The largest belongs to the zeros, which every reading sees
  // directly: some 1e2 to 1e3 in tolerance units for tens to hundreds of
  // poses. A ten-thousandth of that leaves a singular value under
  // about 0.1, a direction along which the data hold less than a hundredth
  // of the prior's information: the prior sets it anyway, holding it moves
  // the estimate by about a tenth of a tolerance at most, and the report
  // says where more varied poses would help. (On the test rig, 30 poses
  // within 10 mm and 10 degrees of home leave the weakest, rod lengths
  // against motor heights, about at it; 9 poses put several below.)
  double unobservable_threshold = 1e-4;
};

// One component of a parameter combination.
struct ParameterWeight {
  std::size_t leg;
  CalibrationParameter parameter;
  double weight;  // in tolerance units; the whole combination has unit norm
};

// A combination of parameters the data cannot tell apart, its largest
// components first.
struct UnobservableDirection {
  double relative_singular_value;  // against the largest one
  std::vector<ParameterWeight> components;
};

// Per leg: how its readings explain its closure at the measured poses with
// the nominal geometry. A spread is the circular standard deviation
// (radians) of the zero each sample implies.
struct LegDiagnosis {
  double zero_shift;          // calibrated zero - nominal zero, wrapped into (-pi, pi]
  double spread;              // with the leg's own solution
  double spread_other_side;   // with the horn on the other solution
  double noise_spread;        // what the measurement noise alone would give
  bool other_side_suspected;  // spread_other_side < spread / 3 and spread > 3 * noise_spread
};

// Two legs whose readings explain the data markedly better exchanged:
// spread_swapped < spread / 3 while spread > 3 times the RMS of the two
// legs' noise_spread.
struct SwappedPair {
  std::size_t leg_a, leg_b;  // leg_a < leg_b
  double spread;             // RMS of the two legs' own spreads
  double spread_swapped;     // RMS of the two with each one's readings on the other
};

struct Calibration {
  std::vector<CalibrationLeg> legs;  // as identified
  // Per sample: |t_model - t_measured| (m) and the angle of
  // R_measured^T R_model (rad), with the calibrated legs; NaN where that
  // model has no pose near the measured one (an outlier). Samples the
  // nominal legs have no pose for take no part in the fit.
  std::vector<double> residual_position, residual_rotation;
  // RMS over the samples that have a model pose.
  double rms_position = 0.0, rms_rotation = 0.0;
  // A sample whose noise-weighted residual norm (the six residuals each
  // divided by its noise) exceeds three times the median of them all, and
  // six (the noise levels themselves: few samples make a shaky median). For
  // a sample that is only noisy the norm is about chi-distributed with six
  // degrees of freedom (median about 2.3), so it passes three medians with
  // a chance near 1e-8, while one coordinate ten noise levels off fails.
  // The median, not the RMS, so that a few bad samples cannot raise the
  // bar for themselves. Flagged only: it stays in the fit.
  std::vector<std::uint8_t> outlier;
  // Posterior standard deviation, legs x 9 (CalibrationParameter order),
  // from the data and the prior, assuming the noise levels given are the
  // true ones; NaN for parameters not identified. Along an unobservable
  // direction it is the prior's.
  std::vector<double> parameter_std;
  // The combinations the data cannot tell apart at the solution (see
  // CalibrationOptions::unobservable_threshold), weakest first.
  std::vector<UnobservableDirection> unobservable;
  int iterations = 0;  // steps tried, rejected ones included
  bool converged = false;
  std::vector<LegDiagnosis> diagnosis;  // one per leg
  std::vector<SwappedPair> swapped;     // suspected only
};

// Identifies the legs from samples: readings holds poses.size() rows of
// legs.size() servo readings each, row by row; poses the measured platform
// poses. Throws std::invalid_argument unless there are six legs, every
// value is finite, motor frames and poses are rigid transforms (rotation
// orthonormal to 1e-6, bottom row 0 0 0 1), solution and direction are
// +-1, lengths, tolerances and noises are positive, the sizes agree and
// there are enough samples for the parameters asked without the prior (six
// equations a sample): "calibration needs at least 9 samples for 54
// parameters, got 5".
Calibration calibrate(std::span<const CalibrationLeg> nominal, std::span<const double> readings,
                      std::span<const Mat4> poses, const CalibrationOptions& options = {});

// The pose that closes all six legs at the given readings, by Newton's
// method from `start`; empty when it does not converge (a rod cannot reach,
// or the iteration leaves for another assembly or a singularity).
std::optional<Mat4> solve_pose(std::span<const CalibrationLeg> legs, std::span<const double> readings,
                               const Mat4& start);

}  // namespace zandrel
