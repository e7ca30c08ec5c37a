// The pieces of one forward-kinematics step, for checking them on their own.
#pragma once

#include "certified_solve.hpp"
#include "zandrel/forward.hpp"

namespace zandrel {

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
