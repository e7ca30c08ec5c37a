// Parallel singularities: poses where the rods stop holding the platform.
//
// With the horns held still, a small platform motion (v, w) changes the
// length of rod i at the rate d_i . (v + w x p_i) / |d_i| (d_i the rod from
// horn tip to anchor, p_i the anchor, platform coordinates). The six rows
// d_i^T [I | -[p_i]x] form the rod-constraint Jacobian J, the one the forward
// solver steps with. Where det J = 0 the platform can move, or must push
// infinitely hard, with the motors locked: a parallel singularity. The sign
// of det J cannot change while the mechanism moves continuously without
// crossing one, so poses of another sign than home's (another aspect) are
// not reachable from home, whatever the angles say.
#pragma once

#include "forward.hpp"
#include "model.hpp"

namespace zandrel {

// det J at t_world_platform with the horns at joint_angles (leg order). NaN
// when the model has other than six legs, when the pose is singular, or when
// anything non-finite enters. Reads the model only; allocates nothing.
double rod_jacobian_determinant(const Kinematics& model, const Mat4& t_world_platform,
                                const JointAngles& joint_angles);

// det J with the horns where inverse kinematics puts them for the pose, over
// home_determinant (the same at the rest pose): 1 at home, 0 at a parallel
// singularity, negative past one. Unit-free: scaling every length scales both
// determinants alike. NaN where a leg cannot reach, and as above. Throws
// FatalError as inverse_kinematics does; allocates nothing.
double singularity_margin(const Kinematics& model, const Mat4& t_world_platform,
                          double home_determinant);

}  // namespace zandrel
