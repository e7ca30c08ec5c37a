// The rods and the rod-constraint Jacobian at a pose, as the forward solver
// forms them, for the other parts of the core that need them (statics).
#pragma once

#include <array>

#include "certified_solve.hpp"
#include "zandrel/forward.hpp"

namespace zandrel {

// With the horns at joint_angles and the platform at the pose whose inverse
// is t_platform_world, writes each rod (horn tip to anchor, platform
// coordinates) and the Jacobian whose row i is d_i^T [I | -[p_i]x]. The
// model must have six legs (unchecked); anything non-finite passes through.
void rod_system(const Kinematics& model, const Mat4& t_platform_world,
                const JointAngles& joint_angles, std::array<Vec3, 6>& rods,
                Mat6RowMajor& jacobian);

}  // namespace zandrel
