"""Legs with their own horn and rod lengths: a robot as built."""

import math
import pathlib
import sys

import numpy as np
import pytest

from zandrel_torso import Geometry, Leg, Torso, pose, sample_geometry
from zandrel_torso import _engine

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "golden"))
import golden  # noqa: E402
from test_golden import _glibc_non_fma_path  # noqa: E402


def built(unit="mm", seed=3):
    """The sample with every leg's horn and rod off by up to a millimetre."""
    g = sample_geometry(unit)
    rng = np.random.default_rng(seed)
    mm = 1.0 if unit == "mm" else 1e-3
    legs = [
        Leg(leg.branch_platform, leg.t_world_motor, leg.solution, leg.servo,
            g.motor_arm_length + rng.uniform(-1, 1) * mm, g.rod_length + rng.uniform(-1, 1) * mm)
        for leg in g.legs
    ]
    return Geometry(g.motor_arm_length, g.rod_length, legs, unit, g.home)


def poses(geometry, count=20, seed=0):
    rng = np.random.default_rng(seed)
    mm = 1.0 if geometry.unit == "mm" else 1e-3
    out = []
    for _ in range(count):
        roll, pitch, yaw = rng.uniform(-0.15, 0.15, 3)
        x, y, z = rng.uniform(-6, 6, 3) * mm
        out.append(geometry.home @ pose(roll, pitch, yaw, x, y, z))
    return np.array(out)


def closure(geometry, t, angles):
    """Horn tip to anchor minus each leg's own rod, from first principles."""
    errors = []
    for leg, a, b, theta in zip(geometry.legs, geometry.motor_arm_lengths, geometry.rod_lengths, angles):
        tip = leg.t_world_motor @ [a * math.cos(theta), a * math.sin(theta), 0.0, 1.0]
        anchor = t @ [*leg.branch_platform, 1.0]
        errors.append(np.linalg.norm(anchor[:3] - tip[:3]) - b)
    return np.array(errors)


@pytest.mark.parametrize("unit", ["m", "mm"])
def test_every_operation_honours_each_legs_lengths(unit):
    geometry = built(unit)
    torso = Torso(geometry)
    scale = 1000.0 if unit == "mm" else 1.0
    targets = poses(geometry)
    angles = torso.inverse(targets)
    for t, theta in zip(targets, angles):
        assert np.max(np.abs(closure(geometry, t, theta))) < 1e-12 * scale
        found = torso.solve_forward(theta, start=geometry.home)
        assert found.status == "converged" and np.allclose(found.pose, t, atol=1e-4 * scale)
    assert torso.check(targets).ok.all()
    trajectory = torso.plan(targets[:3], 100.0)
    assert np.array_equal(trajectory.angles, torso.inverse(trajectory.poses))
    command = torso.follower(100.0).step(targets[0])
    assert np.array_equal(command.angles, torso.inverse(command.pose))


def test_the_raw_solver_exists_only_for_shared_lengths():
    geometry = built()
    with pytest.raises(AttributeError, match="own horn or rod lengths"):
        Torso(geometry).kinematics
    # Own lengths equal to the shared ones are the shared ones.
    g = sample_geometry()
    same = Geometry(g.motor_arm_length, g.rod_length,
                    [Leg(leg.branch_platform, leg.t_world_motor, leg.solution, leg.servo, g.motor_arm_length,
                         g.rod_length) for leg in g.legs], g.unit, g.home)
    assert same == g and same.shared_lengths and Torso(same).kinematics is not None


@pytest.mark.parametrize("suffix", [".json", ".toml"])
def test_files_keep_own_lengths_and_only_those(tmp_path, suffix):
    geometry = built()
    g = sample_geometry("mm")
    one_off = Geometry(g.motor_arm_length, g.rod_length,
                       [Leg(leg.branch_platform, leg.t_world_motor, leg.solution, leg.servo,
                            rod_length=96.5 if i == 2 else None) for i, leg in enumerate(g.legs)], "mm", g.home)
    for saved in (geometry, one_off):
        path = tmp_path / f"robot{suffix}"
        saved.save(path)
        assert Geometry.load(path) == saved
    assert one_off.to_json().count("rod_length") == 2 and "motor_arm_length" not in one_off.to_json().split("legs")[1]


class PerLegSolver:
    """The engine's solver, built as the seed class is (lengths, then legs)
    with every leg given the shared lengths as its own."""

    def __init__(self, motor_arm_length, rod_length):
        self.lengths, self.legs, self.solver = (motor_arm_length, rod_length), [], None

    def add_branch(self, branch_platform, t_world_motor, solution):
        self.legs.append((branch_platform, t_world_motor, solution))
        self.solver = None

    def __getattr__(self, name):
        if self.solver is None:
            n = len(self.legs)
            self.solver = _engine.Solver(
                np.full(n, self.lengths[0]), np.full(n, self.lengths[1]),
                np.array([leg[1] for leg in self.legs], dtype=np.float64).reshape(n, 4, 4),
                np.array([leg[0] for leg in self.legs], dtype=np.float64).reshape(n, 3),
                np.array([leg[2] for leg in self.legs], dtype=np.float64))
        return getattr(self.solver, name)


@pytest.mark.skipif(_glibc_non_fma_path(), reason="glibc's non-FMA sin/cos/atan2 (see README)")
def test_shared_lengths_given_per_leg_reproduce_the_golden_results():
    differing = [number for number, _, expected, got in golden.replay(PerLegSolver)
                 if len(got) != len(expected) or not all(map(golden.same_bits, expected, got))]
    assert not differing, f"{len(differing)} records differ, first at lines {differing[:10]}"
