// Warm-started forward kinematics: one damped Gauss-Newton step per call.
#pragma once

#include <array>
#include <optional>

#include "model.hpp"

namespace zandrel {

using JointAngles = std::array<double, 6>;  // radians, in leg registration order

// Makes at most one line-searched step from model.fk_pose towards the pose
// at which every rod has its length, stores an accepted step in fk_pose and
// returns fk_pose (t_world_platform) turned by body_yaw about the vertical
// axis through (0, 0, 0.177). Repeated calls with the same angles converge;
// a control loop calls it once per cycle with the latest measured angles.
// A step is taken only when the rod residuals exceed 1e-6 and a trial lowers
// their norm: at a solved pose, and when angles or pose hold NaN, the stored
// pose is returned unchanged (turned by body_yaw, which may itself be NaN).
//
// Throws FatalError (fatal.hpp): FatalKind::leg_count unless the model has
// exactly six branches, FatalKind::singular_matrix when fk_pose or a trial
// pose is singular. Writes model.fk_pose; allocates nothing unless it throws.
Mat4 forward_kinematics(Kinematics& model, const JointAngles& joint_angles,
                        std::optional<double> body_yaw);

// Sets the pose (t_world_platform, zero body yaw) the next forward_kinematics
// step starts from; unchecked.
void reset_forward_kinematics(Kinematics& model, const Mat4& t_world_platform);

}  // namespace zandrel
