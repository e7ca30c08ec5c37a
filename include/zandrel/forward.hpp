// Warm-started forward kinematics: one damped Gauss-Newton step per call.
#pragma once

#include <array>
#include <optional>

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

}  // namespace zandrel
