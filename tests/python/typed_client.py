# pyright: strict
"""A client of zandrel_torso as a typed robot program would write it: lists,
float64 and float32 arrays passed to every method. test_torso runs mypy
--strict and pyright on this file, and runs it."""

import pathlib
import tempfile

import numpy as np
import numpy.typing as npt

from zandrel_torso import (
    ForwardSolution,
    Geometry,
    Leg,
    Load,
    PoseCheck,
    Servo,
    Torso,
    Workspace,
    ZeroEstimate,
    pose,
    sample_geometry,
    sample_home_pose,
)
from zandrel_torso.plot import draw, reach_map

FloatArray = npt.NDArray[np.float64]


def main() -> None:
    sample: Geometry = sample_geometry("mm")
    legs = [Leg(leg.branch_platform.tolist(), leg.t_world_motor, leg.solution) for leg in sample.legs]
    geometry = Geometry(sample.motor_arm_length, sample.rod_length, legs, unit="mm", home="above")
    with tempfile.TemporaryDirectory() as directory:
        path = pathlib.Path(directory) / "robot.json"
        geometry.save(path)
        assert Geometry.load(str(path)) == geometry

    torso = Torso(geometry)
    home: FloatArray = sample_home_pose("mm")
    tilted: list[list[float]] = pose(roll=0.1, z=180.0).tolist()
    for t in (home, tilted, home.astype(np.float32)):
        angles: FloatArray = torso.inverse(t, body_yaw=0.1)
        yaw, limited = torso.inverse_limited(t, 0.3, max_relative_yaw=0.2, max_body_yaw=0.25)
        margins: FloatArray = torso.reach(t)
        torso.reset(t)
        step: FloatArray = torso.forward_step(list(angles))
        solved: ForwardSolution = torso.solve_forward(angles.astype(np.float32), 0.1, start=t, max_steps=50)
        errors: FloatArray = torso.rod_errors(t, limited.tolist())
        converged: bool = solved.converged
        print(f"{yaw:+.3f} {margins.min():.3f} {step[2, 3]:.1f} {solved.steps} {converged} {errors.max():.1e}")

    servo = Servo(zero=1.57, direction=-1, lower=-1.0, upper=1.0, pulse=(900.0, 2100.0))
    with_servos = Torso(Geometry(0.04, 0.085, [(leg.branch_platform, leg.t_world_motor, leg.solution, servo)
                                               for leg in sample_geometry().legs]))
    stack: FloatArray = np.array([pose(roll=0.1 * i, z=0.177) for i in range(4)])
    checked: PoseCheck = with_servos.check(stack)
    commands: FloatArray = with_servos.to_pulses(checked.angles)
    back: FloatArray = with_servos.from_servo(with_servos.to_servo(checked.angles))
    from_widths: FloatArray = with_servos.from_pulses(commands)
    zeros: ZeroEstimate = with_servos.estimate_zeros(checked.servo_angles, stack)
    per_sample: FloatArray = zeros.sample_residual
    room: Workspace = with_servos.workspace(angle_step=0.05, length_step=0.005)
    head = Load(0.5, [0.0, 0.0, 0.03], wrench=np.zeros(6))
    held: FloatArray = with_servos.torques(stack, head)
    margins_held: FloatArray = with_servos.check(stack, load=head).torque_margin
    print(held.shape, margins_held.shape)
    print(checked.ok.all(axis=1), commands.shape, back.shape, from_widths.shape, zeros.samples, per_sample.shape,
          f"{room.roll:.2f}")

    drawn = draw(geometry, tilted, view="side")
    mapped = reach_map(geometry, z=200.0, points=5)
    print(len(drawn.lines), mapped.get_title())


if __name__ == "__main__":
    main()
