// Closed-form inverse kinematics: platform pose -> one motor angle per leg.
#pragma once

#include <optional>
#include <span>

#include "model.hpp"

namespace zandrel {

// Writes the motor angle of branch i to out[i] in radians, wrapped into
// [-pi, pi), for the platform at t_world_platform (world frame).
//
// body_yaw turns the request about the world Z axis first: the legs are
// solved for Rz(-body_yaw) * t_world_platform. An absent body_yaw and a yaw
// of 0.0 are distinct inputs (the latter still forms the identity
// pre-rotation product, which can change the sign of a zero).
//
// NaN: an angle is NaN where its anchor is out of the leg's reach, or where
// a NaN enters its arithmetic (from the pose, the yaw, the lengths or that
// leg's own numbers). Nothing else reports it: check the angles before they
// reach the motors.
//
// Throws FatalError (fatal.hpp) of FatalKind::singular_matrix when a
// branch's motor pose is singular, std::invalid_argument when out.size()
// differs from the branch count. Reads the model only; allocates nothing
// unless it throws.
void inverse_kinematics(const Kinematics& model, const Mat4& t_world_platform,
                        std::optional<double> body_yaw, std::span<double> out);

}  // namespace zandrel
