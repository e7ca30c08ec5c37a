"""The typed layer: geometry files and checks, unit-safe solving, Torso's
promise never to poison its model, pictures, and the types a client sees."""

import io
import itertools
import math
import os
import pathlib
import shutil
import subprocess
import sys

import numpy as np
import pytest
from zandrel_torso import Geometry, Leg, Torso, pose, sample_geometry, sample_home_pose
from zandrel_torso.reference import TOLERANCE

HERE = pathlib.Path(__file__).resolve().parent
HOME_Z = 0.177


def random_rotation(rng):
    w, x, y, z = (q := rng.normal(size=4)) / np.linalg.norm(q)
    return np.array([
        [1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
        [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
        [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)],
    ])


def random_geometry(seed, unit="m"):
    """Six legs with arbitrary rotations and digits: nothing round about
    them. Each anchor sits a rod's length from its horn tip at a random home
    pose, so that every leg reaches home."""
    rng = np.random.default_rng(seed)
    a, b = rng.uniform(0.01, 1, size=2)
    home = np.eye(4)
    home[:3, :3], home[:3, 3] = random_rotation(rng), rng.normal(size=3)
    legs = []
    for _ in range(6):
        motor = np.eye(4)
        motor[:3, :3], motor[:3, 3] = random_rotation(rng), rng.normal(size=3)
        theta, direction = rng.uniform(-3, 3), rng.normal(size=3)
        tip = motor[:3, :3] @ [a * math.cos(theta), a * math.sin(theta), 0.0] + motor[:3, 3]
        anchor = tip + b * direction / np.linalg.norm(direction)
        legs.append(Leg(np.linalg.solve(home, [*anchor, 1.0])[:3], motor, rng.choice([1, -1])))
    return Geometry(a, b, legs, unit, home)


HANGING = Geometry(0.04, 0.085, [Leg(leg.branch_platform, leg.t_world_motor, leg.solution)
                                  for leg in sample_geometry().legs], home="below")


@pytest.mark.parametrize("geometry", [sample_geometry(), sample_geometry("mm"), random_geometry(1),
                                      random_geometry(2, "mm"), HANGING, Geometry(0.04, 0.085, [])])
@pytest.mark.parametrize("suffix", [".json", ".toml"])
def test_files_round_trip_every_float(tmp_path, geometry, suffix):
    geometry.save(tmp_path / f"robot{suffix}")
    assert Geometry.load(tmp_path / f"robot{suffix}") == geometry


MOTOR = sample_geometry().legs[0].t_world_motor


def _with(matrix, r, c, value):
    out = matrix.copy()
    out[r, c] = value
    return out


@pytest.mark.parametrize(
    ("make", "message"),
    [
        (lambda: Leg([0.0, math.nan, 0.0], MOTOR, 1), "branch_platform has non-finite"),
        (lambda: Leg([0.0, 0.0], MOTOR, 1), "branch_platform must have shape (3,), got shape (2,)"),
        (lambda: Leg([0.0] * 3, MOTOR * 2.0, 1), "bottom row must be (0, 0, 0, 1)"),
        (lambda: Leg([0.0] * 3, pose(roll=20.0) @ np.diag([1, 1, 1.001, 1]), 1), "not orthonormal"),
        (lambda: Leg([0.0] * 3, np.diag([1.0, 1.0, -1.0, 1.0]), 1), "determinant +1"),
        (lambda: Leg([0.0] * 3, _with(MOTOR, 0, 3, math.inf), 1), "t_world_motor has non-finite"),
        (lambda: Leg([0.0] * 3, MOTOR, 0.5), "solution must be +1 or -1, got 0.5"),
        (lambda: Geometry(0.04, 0.0, []), "rod_length must be a positive finite length, got 0.0"),
        (lambda: Geometry(-0.04, 0.085, []), "motor_arm_length must be a positive"),
        (lambda: Geometry(0.04, 0.085, [], unit="cm"), "unit must be \"m\" or \"mm\", got 'cm'"),
        (lambda: Geometry(0.04, 0.085, [([0.0] * 3, MOTOR, 1)] * 3 + [([0.0] * 3, MOTOR, -2)]), "leg 3: solution"),
        (lambda: Geometry.from_dict({"motor_arm_length": 1, "rod_length": 2, "legs": [], "unti": "m"}), "unknown keys unti"),
    ],
)
def test_each_mistake_is_named(make, message):
    with pytest.raises(ValueError) as info:
        make()
    assert message in str(info.value)


def test_units_change_nothing_but_the_numbers(random_poses):
    metres, millimetres = Torso(sample_geometry()), Torso(sample_geometry("mm"))
    start = sample_home_pose()
    for target in random_poses(20, seed=5, scale=0.5):
        target = np.array(target)
        in_mm = target.copy()
        in_mm[:3, 3] *= 1000.0
        angles = metres.inverse(target)
        np.testing.assert_allclose(millimetres.inverse(in_mm), angles, rtol=0, atol=1e-12)
        m = metres.solve_forward(angles, start=start)
        mm = millimetres.solve_forward(angles, start=sample_home_pose("mm"))
        assert (mm.steps, mm.converged) == (m.steps, m.converged)
        np.testing.assert_allclose(mm.pose[:3, :3], m.pose[:3, :3], rtol=0, atol=1e-12)
        np.testing.assert_allclose(mm.pose[:3, 3] / 1000.0, m.pose[:3, 3], rtol=0, atol=1e-12)
        assert mm.residual / 1000.0 == pytest.approx(m.residual, rel=1e-6, abs=1e-15)


def test_solve_forward_converges_from_home_within_ten_degrees_and_five_mm():
    torso = Torso(sample_geometry())
    angle, offset = math.radians(10.0), 0.005
    for r, p, y, dx, dy, dz in itertools.product(*[(-angle, 0.0, angle)] * 3, *[(-offset, 0.0, offset)] * 3):
        target = pose(r, p, y, dx, dy, HOME_Z + dz)
        solved = torso.solve_forward(torso.inverse(target), start=sample_home_pose(), max_steps=20)
        assert solved.converged and solved.residual <= 1e-6, (r, p, y, dx, dy, dz, solved)
        assert np.linalg.norm(torso.rod_errors(solved.pose, torso.inverse(target))) <= TOLERANCE


@pytest.mark.parametrize("body_yaw", [None, 0.4])
def test_solve_forward_undoes_inverse_with_the_yaw_on_its_output(random_poses, body_yaw):
    torso = Torso(sample_geometry("mm"))
    for target in random_poses(5, seed=11, scale=0.5):
        target = np.array(target)
        target[:3, 3] *= 1000.0
        solved = torso.solve_forward(torso.inverse(target, body_yaw), body_yaw, start=sample_home_pose("mm"))
        assert solved.converged
        np.testing.assert_allclose(solved.pose, target, rtol=0, atol=1e-2)  # 1e-5 in metres, as the solver settles


def test_unreachable_angles_are_flagged():
    # One horn turned almost half a turn from the others: no pose closes all six legs.
    torso = Torso(sample_geometry())
    solved = torso.solve_forward([0.0, 0.0, 0.0, 0.0, 0.0, 3.0], start=sample_home_pose())
    assert not solved.converged
    assert solved.residual > 1e-3
    assert solved.residual == pytest.approx(np.max(np.abs(torso.rod_errors(solved.pose, [0.0] * 5 + [3.0]))))


FIVE_LEGS = Geometry(0.04, 0.085, sample_geometry().legs[:5])
HOME = sample_home_pose()


@pytest.mark.parametrize(
    ("geometry", "misuse", "message"),
    [
        (FIVE_LEGS, lambda t: t.forward_step([0.0] * 5), "exactly 6 legs; this geometry has 5"),
        (FIVE_LEGS, lambda t: t.solve_forward([0.0] * 5), "exactly 6 legs"),
        (sample_geometry(), lambda t: t.reset(np.zeros((4, 4))), "bottom row"),
        (sample_geometry(), lambda t: t.solve_forward([0.0] * 6, start=_with(HOME, 0, 0, 0.0)), "not orthonormal"),
        (sample_geometry(), lambda t: t.reset(_with(HOME, 1, 3, math.nan)), "non-finite"),
        (sample_geometry(), lambda t: t.inverse_limited(HOME, 0.1, -0.5), "max_relative_yaw must be zero or positive"),
        (sample_geometry(), lambda t: t.inverse_limited(HOME, 0.1, None, math.nan), "max_body_yaw must be zero"),
        (sample_geometry(), lambda t: t.inverse(HOME[:3]), "t_world_platform must have shape (4, 4), got shape (3, 4)"),
        (sample_geometry(), lambda t: t.inverse([[1.0, 0.0, 0.0, "x"]] * 4), "t_world_platform must be an array"),
        (sample_geometry(), lambda t: t.forward_step([0.0] * 5), "joint_angles must have shape (6,), got shape (5,)"),
        (sample_geometry(), lambda t: t.rod_errors(np.zeros((4, 4)), [0.0] * 6), "t_world_platform is singular"),
    ],
)
def test_nothing_poisons_the_model(geometry, misuse, message):
    torso = Torso(geometry)
    with pytest.raises(ValueError) as info:
        misuse(torso)
    assert message in str(info.value)
    # The extension object still answers (a poisoned one raises on every call).
    assert np.all(np.isfinite(torso.kinematics.inverse_kinematics(HOME)))
    if len(geometry.legs) == 6:
        torso.kinematics.forward_kinematics([0.0] * 6)


@pytest.mark.parametrize("lift", [0.0, 0.2])  # 20 cm up: every leg out of reach
def test_pictures_draw_headless(lift):
    pytest.importorskip("matplotlib")
    from zandrel_torso.plot import draw, reach_map

    geometry = sample_geometry()
    target = pose(roll=0.2, z=HOME_Z + lift)
    ax = draw(geometry, target)
    out_of_reach = [text for text in ax.texts if "out of reach" in text.get_text()]
    assert len(out_of_reach) == np.count_nonzero(np.isnan(Torso(geometry).inverse(target)))
    mapped = reach_map(geometry, z=HOME_Z + lift, points=7)
    for figure in (ax.figure, mapped.figure):
        png = io.BytesIO()
        figure.savefig(png, format="png")
        assert png.getvalue().startswith(b"\x89PNG")


def test_typed_client_passes_mypy_pyright_and_runs(tmp_path):
    pytest.importorskip("mypy")
    pytest.importorskip("matplotlib")  # the client draws too
    client = str(HERE / "typed_client.py")
    checks = [[sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path), client]]
    pyright = shutil.which("pyright", path=str(pathlib.Path(sys.executable).parent))
    if pyright:
        checks.append([pyright, "--pythonpath", sys.executable, client])
    # The checkers never load the module, so they run without the sanitizer
    # runtime that a sanitizer run preloads; the client itself keeps it.
    unsanitized = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    envs = [unsanitized] * len(checks) + [None]
    checks.append([sys.executable, client])
    for command, env in zip(checks, envs):
        done = subprocess.run(command, capture_output=True, text=True, timeout=300, cwd=tmp_path, env=env)
        assert done.returncode == 0, " ".join(command) + "\n" + done.stdout + done.stderr
    if not pyright:
        pytest.skip("pyright is not installed (pip install .[test]); mypy passed and the client ran")
