"""The sample mechanism in MuJoCo, carrying half a kilogram.

First it holds a tilted pose: the platform settles where the kinematics puts
it, and the servos' torques at rest are the ones `Torso.torques` gives. Then a `Torso.plan` is played through the simulation,
one command per 20 ms tick as a servo driver would send them, and the
platform is compared with the plan's poses tick by tick.

Needs MuJoCo (`pip install 'zandrel_torso_kinematics[sim]'`); opens no window.

Usage: python examples/simulate.py
"""

import dataclasses
import math

import mujoco
import numpy as np

from zandrel_torso import Geometry, Leg, Load, Torso, pose, sample_geometry
from zandrel_torso.sim import set_pose, to_mjcf

RATE = 50.0  # Hz: one command every 20 ms
SPEED = math.radians(350.0)  # rad/s, a hobby servo of the MG996R class
ACCELERATION = 60.0  # rad/s²
deg = math.radians(1.0)


def rotation_vector(rotation):
    quat = np.zeros(4)
    mujoco.mju_mat2Quat(quat, np.ascontiguousarray(rotation).ravel())
    vector = np.zeros(3)
    mujoco.mju_quat2Vel(vector, quat, 1.0)
    return vector


def errors(data, target):
    """How far the platform is from target: mm and degrees."""
    platform = data.body("platform")
    offset = np.linalg.norm(platform.xpos - target[:3, 3]) * 1e3
    turn = np.linalg.norm(rotation_vector(platform.xmat.reshape(3, 3) @ target[:3, :3].T))
    return offset, math.degrees(turn)


def hold_a_tilt(geometry, load):
    torso = Torso(geometry)
    model = mujoco.MjModel.from_xml_string(to_mjcf(geometry, load))
    data = mujoco.MjData(model)
    target = geometry.home @ pose(roll=12 * deg, pitch=-6 * deg)
    data.ctrl[:6] = torso.inverse(target)
    set_pose(model, data, geometry, target)
    mujoco.mj_step(model, data, nstep=round(2.0 / model.opt.timestep))  # two seconds
    offset, turn = errors(data, target)
    print("holding 12 degrees of roll and -6 of pitch with 0.5 kg 30 mm above the platform:")
    print(f"  settled {offset:.4f} mm and {turn:.4f} deg from the pose")
    static = torso.torques(target, load)
    print("  leg  simulated (N m)  static (N m)")
    for leg, (simulated, expected) in enumerate(zip(data.actuator_force[:6], static)):
        print(f"  {leg:3d}  {simulated:15.5f}  {expected:12.5f}")
    worst = np.max(np.abs(data.actuator_force[:6] - static))
    print(f"  largest torque difference {worst:.5f} N m, {100 * worst / np.max(np.abs(static)):.2f} % of the largest torque")


def play_a_plan(geometry, load):
    legs = [Leg(leg.branch_platform, leg.t_world_motor, leg.solution,
                dataclasses.replace(leg.servo, speed=SPEED, acceleration=ACCELERATION)) for leg in geometry.legs]
    torso = Torso(Geometry(geometry.motor_arm_length, geometry.rod_length, legs, geometry.unit, geometry.home))
    home = geometry.home
    keyframes = np.array([home, home @ pose(roll=20 * deg), home @ pose(pitch=-15 * deg, yaw=20 * deg),
                          home @ pose(z=0.01), home])
    plan = torso.plan(keyframes, RATE)
    model = mujoco.MjModel.from_xml_string(to_mjcf(geometry, load))
    data = mujoco.MjData(model)
    set_pose(model, data, geometry, plan.poses[0])
    data.ctrl[:6] = plan.angles[0]
    mujoco.mj_step(model, data, nstep=round(0.5 / model.opt.timestep))  # settle under the load first
    per_tick = round(1.0 / RATE / model.opt.timestep)
    worst_offset = worst_turn = 0.0
    for angles, commanded in zip(plan.angles, plan.poses):
        # The driver sends a tick's command and the servos chase it for the
        # tick; the platform is judged against that command's pose.
        data.ctrl[:6] = angles
        mujoco.mj_step(model, data, nstep=per_tick)
        offset, turn = errors(data, commanded)
        worst_offset, worst_turn = max(worst_offset, offset), max(worst_turn, turn)
    mujoco.mj_step(model, data, nstep=round(0.5 / model.opt.timestep))
    final_offset, final_turn = errors(data, plan.poses[-1])
    print(f"playing a plan through {len(keyframes)} keyframes: {len(plan.times)} commands at "
          f"{RATE:.0f} Hz, {plan.duration:.2f} s")
    print(f"  tracking error at most {worst_offset:.3f} mm and {worst_turn:.3f} deg")
    print(f"  at rest after the last command {final_offset:.4f} mm and {final_turn:.4f} deg")


def main():
    geometry = sample_geometry()  # metres
    load = Load(mass=0.5, centre=(0.0, 0.0, 0.03))
    hold_a_tilt(geometry, load)
    play_a_plan(geometry, load)


if __name__ == "__main__":
    main()
