// Yaw-limited inverse kinematics: clamp the requested body yaw to a band
// around the platform heading and to an absolute band, then solve.
#pragma once

#include <optional>
#include <span>

#include "model.hpp"

namespace zandrel {

// Returns the yaw actually used and writes the angles for that yaw to
// angles_out (size == branch count). A limit is checked only when body_yaw
// and that limit are both given; a negative or NaN limit raises a fatal error.
double inverse_kinematics_safe(const Kinematics& model, const Mat4& t_world_platform,
                               std::optional<double> body_yaw,
                               std::optional<double> max_relative_yaw,
                               std::optional<double> max_body_yaw,
                               std::span<double> angles_out);

}  // namespace zandrel
