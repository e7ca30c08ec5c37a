// The class's six entries: each parameter list written once. The binder, the
// method table's text signatures and the type stub's records all read these.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "binding/signature.hpp"
#include "zandrel/forward.hpp"
#include "zandrel/mat4.hpp"

namespace zandrel::binding::entries {

inline constexpr std::string_view kClassName = "ZandrelRustKinematics";

using Yaw = std::optional<double>;
using Angles = std::vector<double>;  // one per leg; the yaw-limited one leads with the yaw

inline constexpr Signature<Self, double, double> kNew{
    "__new__", {"motor_arm_length", "rod_length"}};
inline constexpr Signature<void, Vec3, Mat4, double> kAddBranch{
    "add_branch", {"branch_platform", "t_world_motor", "solution"}};
inline constexpr Signature<Angles, Mat4, Yaw> kInverse{
    "inverse_kinematics", {"t_world_platform", "body_yaw"}};
inline constexpr Signature<void, Mat4> kReset{"reset_forward_kinematics", {"t_world_platform"}};
inline constexpr Signature<Mat4, JointAngles, Yaw> kForward{
    "forward_kinematics", {"joint_angles", "body_yaw"}};
inline constexpr Signature<Angles, Mat4, Yaw, Yaw, Yaw> kSafe{
    "inverse_kinematics_safe",
    {"t_world_platform", "body_yaw", "max_relative_yaw", "max_body_yaw"}};

}  // namespace zandrel::binding::entries
