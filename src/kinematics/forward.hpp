// Warm-started forward kinematics: one damped Gauss-Newton step per call.
#pragma once

#include <array>
#include <optional>

#include "certified_solve.hpp"
#include "model.hpp"

namespace zandrel {

using JointAngles = std::array<double, 6>;

// Makes at most one line-searched step from model.fk_pose towards the pose
// at which every rod has its length, stores an accepted step in fk_pose and
// returns fk_pose turned by body_yaw about the vertical axis through
// (0, 0, 0.177). Requires exactly six branches (fatal error otherwise).
Mat4 forward_kinematics(Kinematics& model, const JointAngles& joint_angles,
                        std::optional<double> body_yaw);

// Sets the pose the next forward_kinematics step starts from; unchecked.
void reset_forward_kinematics(Kinematics& model, const Mat4& t_world_platform);

// The pieces of one step, for checking them on their own.

// The linear system of a step from model.fk_pose: the Jacobian (row i is
// d_i^T G_i) and the rod residuals r. Fatal errors as forward_kinematics.
struct StepSystem {
  Mat6RowMajor jacobian;
  Vec6 residuals;
};
StepSystem step_system(const Kinematics& model, const JointAngles& joint_angles);

// The step J+ r, where the pseudo-inverse treats singular values at or below
// 1e-6 (and NaN) as zero: the direct solve when certified_solve proves that
// J+ = J^-1, the decomposition route otherwise.
Vec6 gauss_newton_step(const Mat6RowMajor& jacobian, const Vec6& r);

// The decomposition route alone: J+ from a singular value decomposition,
// then J+ r, each component summed over r0..r5 in order. All zero for a J
// holding NaN or infinity.
Vec6 pseudo_inverse_step(const Mat6RowMajor& jacobian, const Vec6& r);

}  // namespace zandrel
