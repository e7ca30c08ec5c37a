// Yaw-limited inverse kinematics: clamp the requested body yaw to a band
// around the platform heading and to an absolute band, then solve.
#pragma once

#include <optional>
#include <span>

#include "model.hpp"

namespace zandrel {

// Returns the yaw actually used (radians) and writes the angles for that yaw
// to angles_out, as inverse_kinematics does. Without body_yaw the yaw is
// +0.0 and the limits are ignored. With it, the yaw is clamped first to
// within max_relative_yaw of the platform's own heading, atan2(t(0, 1),
// t(0, 0)) of t = t_world_platform (the band is not wrapped into 2 pi), then to
// within max_body_yaw of zero; an absent limit is no limit. A NaN yaw passes
// the clamps unchanged.
//
// Throws FatalError of FatalKind::invalid_yaw_limit, carrying the limit
// (yaw_limit()), when a limit that is looked at is negative or NaN; the
// relative limit is looked at first. Otherwise as inverse_kinematics.
// Reads the model only; allocates nothing unless it throws.
double inverse_kinematics_safe(const Kinematics& model, const Mat4& t_world_platform,
                               std::optional<double> body_yaw,
                               std::optional<double> max_relative_yaw,
                               std::optional<double> max_body_yaw,
                               std::span<double> angles_out);

}  // namespace zandrel
