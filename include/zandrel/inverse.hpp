// Closed-form inverse kinematics: platform pose -> one motor angle per leg.
#pragma once

#include <optional>
#include <span>

#include "model.hpp"

namespace zandrel {

// Writes the motor angle of branch i to out[i], wrapped into [-pi, pi); NaN
// where the anchor is out of reach. out.size() must equal the branch count.
// An absent body_yaw and a yaw of 0.0 are distinct inputs (the latter still
// forms the identity pre-rotation product). Raises the singular-matrix fatal
// error when a branch's motor pose cannot be inverted.
void inverse_kinematics(const Kinematics& model, const Mat4& t_world_platform,
                        std::optional<double> body_yaw, std::span<double> out);

}  // namespace zandrel
