"""Every forward answer carries a verdict that can be trusted: "converged"
only for the pose the angles came from (when the solver starts near it), and
never for another assembly of the mechanism."""

import math

import numpy as np
import pytest
from zandrel_torso import Geometry, Torso, pose, sample_geometry
from zandrel_torso.reference import Model

HEAD = Geometry.three_pairs(base_radius=60.0, base_spread=math.radians(40), platform_radius=40.0,
                            platform_spread=math.radians(30), motor_arm_length=25.0, rod_length=95.0,
                            home_height=90.0, unit="mm")
SAMPLE = sample_geometry("mm")


def near_home(geometry, rng, degrees, mm):
    r, p, y = np.radians(rng.uniform(-degrees, degrees, size=3))
    x, y_, z = rng.uniform(-mm, mm, size=3)
    return geometry.home @ pose(r, p, y, x, y_, z)


@pytest.mark.parametrize("geometry", [HEAD, SAMPLE], ids=["head", "sample"])
@pytest.mark.parametrize("start", ["fresh", "above", "identity"])
def test_converged_means_the_angles_came_from_that_pose(geometry, start):
    rng = np.random.default_rng(7)
    starts = {"fresh": None, "above": geometry.home @ pose(z=30.0), "identity": np.eye(4)}
    model = Model.from_geometry(geometry.in_unit("m"))
    top = max(leg.t_world_motor[2, 3] for leg in geometry.legs)
    seen = set()
    for _ in range(40):
        torso = Torso(geometry)
        target = near_home(geometry, rng, 20.0, 10.0)
        angles = torso.inverse(target)
        solved = torso.solve_forward(angles, start=starts[start])
        seen.add(solved.status)
        assert solved.converged == (solved.status == "converged")
        metres = solved.pose.copy()
        metres[:3, 3] /= 1000.0
        back = model.inverse_kinematics(metres)
        if solved.status != "not_converged":
            assert solved.residual < 1e-3, solved
        if solved.converged:
            assert solved.pose[2, 3] > top
            assert np.max(np.abs(np.remainder(back - angles + math.pi, 2 * math.pi) - math.pi)) < 1e-3
        # The solver stands where the answer says.
        np.testing.assert_allclose(torso.kinematics.forward_kinematics([math.nan] * 6), metres, rtol=0, atol=1e-15)
    if start == "fresh":
        assert seen == {"converged"}


@pytest.mark.parametrize("geometry", [HEAD, SAMPLE], ids=["head", "sample"])
def test_from_home_small_moves_converge_at_the_target_within_twenty_steps(geometry):
    rng = np.random.default_rng(3)
    for _ in range(100):
        target = near_home(geometry, rng, 10.0, 5.0)
        solved = Torso(geometry).solve_forward(Torso(geometry).inverse(target), max_steps=20)
        assert solved.status == "converged", solved
        assert np.max(np.abs(solved.pose[:3, 3] - target[:3, 3])) <= 1e-2
        assert np.max(np.abs(solved.pose[:3, :3] - target[:3, :3])) <= 1e-4


def test_the_mirror_below_the_motors_is_another_assembly_and_home_recovers():
    torso = Torso(HEAD)
    angles = torso.inverse(pose(z=95.0))
    mirrored = torso.solve_forward(angles, start=np.eye(4), retry=False)
    assert mirrored.status == "other_assembly" and mirrored.pose[2, 3] < 0.0 and mirrored.residual < 1e-3
    retried = torso.solve_forward(angles, start=np.eye(4))
    assert retried.converged and retried.pose[2, 3] == pytest.approx(95.0, abs=1e-2)
    assert retried.steps > mirrored.steps  # both tries counted


def test_another_aspect_is_caught_where_the_angles_check_out():
    # Straight from home the solver crosses a singularity to a pose 35 mm
    # away whose inverse gives back the angles: only the aspect tells it
    # apart. Walking the angles over from home's in stages finds the target.
    torso = Torso(HEAD)
    target = HEAD.home @ pose(*np.radians([-15.7, -13.5, 7.85]), 6.52, 2.72, 1.6)
    straight = torso.solve_forward(torso.inverse(target), retry=False)
    assert straight.status == "other_assembly" and straight.residual < 1e-3
    assert np.linalg.norm(straight.pose[:3, 3] - target[:3, 3]) > 10.0
    walked = Torso(HEAD).solve_forward(torso.inverse(target))
    assert walked.converged and np.max(np.abs(walked.pose - target)) < 1e-2
