// Forces: the static torque each servo must hold for a load on the platform.
//
// Horns and rods are taken as massless, so each rod carries a pure tension
// along itself. The platform is in equilibrium under the rods' forces and
// the load's wrench; each horn under its rod's pull and its servo's torque.
// SI units: metres, kilograms, newtons, newton metres (a model in metres).
#pragma once

#include <span>

#include "mat4.hpp"
#include "model.hpp"

namespace zandrel {

// A force and a moment on the platform, in world axes, the moment taken
// about the platform frame's origin.
struct Wrench {
  Vec3 force{};   // N
  Vec3 moment{};  // N m
};

// What the platform carries: a mass at a centre, under gravity, and any
// further wrench (a tool pushing, a cable pulling).
struct Load {
  double mass = 0.0;                // kg
  Vec3 centre{};                    // centre of mass, platform coordinates, metres
  Vec3 gravity{0.0, 0.0, -9.81};    // m/s^2, world axes
  Wrench extra{};                   // world axes, about the platform origin
};

// The load's whole wrench on the platform at t_world_platform (metres).
Wrench wrench_of(const Load& load, const Mat4& t_world_platform) noexcept;

// Writes to out[i] the torque (N m) servo i applies to its horn about its
// motor's +Z axis to hold the platform at t_world_platform, with the horns
// at joint_angles, against `wrench`: positive pushes towards increasing
// angle. NaN for every leg where the rods cannot hold the platform (a
// parallel singularity, an angle or pose that is not finite, a rod of zero
// length) or the model has other than six legs. Reads the model only;
// allocates nothing. out and joint_angles have one entry per leg.
void servo_torques(const Kinematics& model, const Mat4& t_world_platform, std::span<const double> joint_angles,
                   const Wrench& wrench, std::span<double> out) noexcept;

}  // namespace zandrel
