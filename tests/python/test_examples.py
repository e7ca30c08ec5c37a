"""The example scripts run cleanly and print what they claim to show.

Each script runs as a child process from a scratch directory, the way a user
would start it, and its printed output is checked against properties of the
kinematics rather than against a frozen copy of the text.
"""

import math
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

import sample_geometry as geo
from zandrel_torso import Geometry

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
TIMEOUT_S = 120
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"

_NUMBER = r"[-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?"


def run_example(name, cwd, *args):
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / name), *args],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=TIMEOUT_S,
    )
    assert result.returncode == 0, f"{name} exited with {result.returncode}:\n{result.stderr}"
    return result.stdout


def numbers(text):
    return [float(x) for x in re.findall(_NUMBER, text)]


# ---------------------------------------------------------------- quickstart


def test_quickstart_prints_six_angles_per_pose(tmp_path):
    out = run_example("quickstart.py", tmp_path)
    lines = out.splitlines()

    rows = {}
    for i, line in enumerate(lines):
        match = re.match(r"\s+(\S.*?)\s+deg \[(.*)\]\s*$", line)
        if not match:
            continue
        label, degrees = match.group(1), numbers(match.group(2))
        radians_match = re.match(r"\s+rad \[(.*)\]\s*$", lines[i + 1])
        assert radians_match, f"no radians under {label!r}"
        radians = numbers(radians_match.group(1))
        assert len(degrees) == 6 and len(radians) == 6, line
        for d, r in zip(degrees, radians):
            assert math.isfinite(d) and -180.0 <= d < 180.0, line
            # Both columns print the same angle: 0.001 deg and 0.0001 rad rounding.
            assert d == pytest.approx(math.degrees(r), abs=0.01), line
        rows[label] = degrees

    assert len(rows) >= 2, out
    assert "home" in rows, out
    expected = geo.make_kinematics().inverse_kinematics(geo.HOME_POSE)
    assert rows["home"] == pytest.approx([math.degrees(x) for x in expected], abs=1e-3)

    # The forward-kinematics part ends once the solver has settled on the target.
    errors = [numbers(line)[-1] for line in lines if re.match(r"\s+\d+\s+" + _NUMBER, line)]
    assert errors, out
    assert errors[-1] < 1e-4, out
    assert "settled" in out


# ---------------------------------------------------------------- yaw limits


def parse_yaw_table(out):
    header = re.search(
        rf"platform yaw ({_NUMBER}) deg, max_relative_yaw ({_NUMBER}) deg, "
        rf"max_body_yaw ({_NUMBER}) deg",
        out,
    )
    assert header, out
    heading, max_relative, max_body = (float(x) for x in header.groups())
    rows = []
    for line in out.splitlines():
        match = re.match(
            rf"\s*({_NUMBER})\s+({_NUMBER})\s+(relative|absolute|none)\s+({_NUMBER})\s+({_NUMBER})\s*$",
            line,
        )
        if match:
            requested, used, limit, motor0, motor1 = match.groups()
            rows.append((float(requested), float(used), limit, float(motor0), float(motor1)))
    return heading, max_relative, max_body, rows


def test_yaw_limits_keeps_the_yaw_inside_both_bands(tmp_path):
    heading, max_relative, max_body, rows = parse_yaw_table(run_example("yaw_limits.py", tmp_path))
    # The table promises a 10 degree platform and bands of 20 and 25 degrees.
    assert (heading, max_relative, max_body) == (10.0, 20.0, 25.0)

    requested = [row[0] for row in rows]
    assert requested == sorted(requested)
    assert requested[0] <= -60.0 and requested[-1] >= 60.0, requested

    low = max(heading - max_relative, -max_body)
    high = min(heading + max_relative, max_body)
    tol = 1e-3  # printed to 0.001 degree
    for req, used, limit, _, _ in rows:
        assert -max_body - tol <= used <= max_body + tol, (req, used)
        assert heading - max_relative - tol <= used <= heading + max_relative + tol, (req, used)
        # The two bands overlap, so the yaw used is the nearest allowed one.
        assert used == pytest.approx(min(max(req, low), high), abs=tol), (req, used)
        if low < req < high:
            assert limit == "none", (req, limit)
        elif req < low - tol:
            assert limit == "relative", (req, limit)
        elif req > high + tol:
            assert limit == "absolute", (req, limit)

    assert {row[2] for row in rows} == {"none", "relative", "absolute"}


def test_yaw_limits_prints_the_angles_for_the_yaw_used(tmp_path):
    heading, _, _, rows = parse_yaw_table(run_example("yaw_limits.py", tmp_path))
    assert rows
    k = geo.make_kinematics()
    t = geo.pose(yaw=math.radians(heading))
    for req, used, _, motor0, motor1 in rows:
        angles = k.inverse_kinematics(t, math.radians(used))
        # used is rounded to 0.001 deg, which moves a motor by about as much.
        assert motor0 == pytest.approx(math.degrees(angles[0]), abs=0.01), req
        assert motor1 == pytest.approx(math.degrees(angles[1]), abs=0.01), req


# ---------------------------------------------------------------- tracking


def test_tracking_follows_the_target_closely(tmp_path):
    out = run_example("tracking.py", tmp_path)

    rows = {}
    for line in out.splitlines():
        match = re.match(rf"\s*(\d+)\s+({_NUMBER})\s+({_NUMBER})\s+({_NUMBER})\s*$", line)
        if match:
            rows[int(match.group(1))] = tuple(float(x) for x in match.groups()[1:])
    assert sorted(rows)[:3] == [0, 10, 20] and len(rows) >= 20, out
    for tick, (time_s, error, residual) in rows.items():
        assert time_s == pytest.approx(tick / 200.0, abs=1e-3)
        assert math.isfinite(error) and math.isfinite(residual), tick
    # Tick 0 asks for the home pose the solver starts from: nothing to do.
    assert rows[0][1] < 1e-12 and rows[0][2] < 1e-12, rows[0]

    moving = re.search(
        rf"max pose error while moving \(ticks (\d+)-(\d+)\): ({_NUMBER})"
        rf"\s+\(target moves up to ({_NUMBER}) per tick\)",
        out,
    )
    assert moving, out
    first, last = int(moving.group(1)), int(moving.group(2))
    error, per_tick_move = float(moving.group(3)), float(moving.group(4))
    assert first <= 10 and last >= 190, out
    assert error < 1e-3, out
    # The summary covers every printed tick of the motion after the warm-up.
    printed = [row[1] for tick, row in rows.items() if first <= tick <= last]
    assert printed and error >= max(printed), out
    # A single step per tick trails the target by less than one tick's motion.
    assert error < per_tick_move, out

    residual = re.search(rf"max rod residual while moving: ({_NUMBER}) m", out)
    assert residual and float(residual.group(1)) < 1e-4, out

    # Once the target holds still the solver settles onto it.
    held = re.search(rf"pose error after holding still for \d+ ticks: ({_NUMBER})", out)
    assert held and float(held.group(1)) < 1e-4, out


# ---------------------------------------------------------------- plot


def assert_png(path):
    assert path.is_file(), path
    data = path.read_bytes()
    assert data.startswith(PNG_SIGNATURE)
    assert data[12:16] == b"IHDR"
    width, height = int.from_bytes(data[16:20], "big"), int.from_bytes(data[20:24], "big")
    # Two side-by-side panels: a wide picture of a readable size.
    assert 600 <= width and 300 <= height < width, (width, height)
    assert len(data) > 10_000  # six curves and two log-scale lines, not a blank canvas


def test_plot_writes_the_named_png(tmp_path):
    pytest.importorskip("matplotlib")
    target = tmp_path / "out" / "curves.png"
    target.parent.mkdir()
    out = run_example("plot_trajectory.py", tmp_path, str(target))
    assert_png(target)
    assert str(target) in out
    assert not (tmp_path / "trajectory.png").exists()


def test_plot_defaults_to_trajectory_png_in_the_current_directory(tmp_path):
    pytest.importorskip("matplotlib")
    run_example("plot_trajectory.py", tmp_path)
    assert_png(tmp_path / "trajectory.png")


def test_plot_without_matplotlib_fails_with_a_clear_message(tmp_path):
    # Hide matplotlib from the child, whether or not it is installed here.
    script = EXAMPLES / "plot_trajectory.py"
    code = (
        "import runpy, sys\n"
        "sys.modules['matplotlib'] = None\n"
        f"sys.path.insert(0, {str(EXAMPLES)!r})\n"
        f"sys.argv = [{str(script)!r}]\n"
        f"runpy.run_path({str(script)!r}, run_name='__main__')\n"
    )
    result = subprocess.run(
        [sys.executable, "-c", code],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=TIMEOUT_S,
    )
    assert result.returncode == 1, result.stderr
    assert "matplotlib" in result.stderr
    assert "Traceback" not in result.stderr
    assert not (tmp_path / "trajectory.png").exists()


# ---------------------------------------------------------------- the README


README = EXAMPLES.parent / "README.md"


def readme_code(section):
    """The first Python block of a README section (or subsection), exactly
    as printed."""
    text = README.read_text(encoding="utf-8")
    body = re.split(rf"\n###? {re.escape(section)}\n", text, maxsplit=1)[1].split("\n## ", 1)[0]
    match = re.search(r"```python\n(.*?)```", body, re.DOTALL)
    assert match, f"no Python block under '## {section}'"
    return match.group(1)


@pytest.mark.parametrize("section", ["Quick start", "Describe your robot", "From angles to servo commands",
                                     "Moving the robot", "Calibrating your robot", "Choosing servos"])
def test_readme_code_runs_as_written(tmp_path, section):
    # From a scratch directory, so that only what is installed can be imported.
    result = subprocess.run(
        [sys.executable, "-c", readme_code(section)],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=TIMEOUT_S,
    )
    assert result.returncode == 0, result.stderr
    if section == "Describe your robot":  # it prints the solve's verdict last
        converged, steps, residual = result.stdout.split()[-3:]
        assert converged == "True" and int(steps) <= 20 and float(residual) < 1e-3, result.stdout
    if section == "From angles to servo commands":  # servo readings back to a pose
        assert "converged" in result.stdout.splitlines(), result.stdout
    if section == "Moving the robot":  # the plan keeps the limit; the follower is clamped and says why
        lines = result.stdout.splitlines()
        assert lines[1] == "True" and "segment 0 (keyframe 0 to 1)" in lines[2], result.stdout
        assert "clamped" in lines[-1] and re.search(r"^\d+ servo reading at its", result.stdout, re.M), result.stdout
    if section == "Calibrating your robot":  # the tooth named, the model brought to the measurements
        lines = result.stdout.splitlines()
        assert lines[0].startswith("('leg 2: horn 1 spline tooth off (+1"), result.stdout
        before, after = numbers(lines[1])
        assert after < 0.1 < before, result.stdout
    if section == "Choosing servos":  # small at home, large near the tilt's extremes, a tilt the servos hold
        lines = result.stdout.splitlines()
        assert lines[0] == "at home: 0.033 N m" and len(lines) == 8, result.stdout
        roll, pitch = (numbers(line)[-1] for line in lines[1:3])
        assert roll > 10.0 and pitch > 10.0, result.stdout
        assert all(numbers(line)[-1] < 0.25 for line in lines[3:7]), result.stdout
        assert numbers(lines[7])[-2:] == [39.0, 39.0], result.stdout


def test_readme_code_passes_mypy_strict(tmp_path):
    pytest.importorskip("mypy")
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.DOTALL)
    assert len(blocks) >= 2
    files = []
    for index, block in enumerate(blocks):
        files.append(tmp_path / f"readme_block_{index}.py")
        files[-1].write_text(block, encoding="utf-8")
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), *map(str, files)],
        cwd=tmp_path, capture_output=True, text=True, timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr


# ---------------------------------------------------------------- pictures


def test_pictures_writes_every_png(tmp_path):
    pytest.importorskip("matplotlib")
    out = run_example("pictures.py", tmp_path, str(tmp_path / "images"))
    for name in ("mechanism.png", "head_top.png", "reach_map.png", "motion_paths.png", "servo_torque.png"):
        path = tmp_path / "images" / name
        assert path.read_bytes().startswith(PNG_SIGNATURE)
        assert str(path) in out


# ---------------------------------------------------------------- servo commands


def test_servo_commands_stop_at_the_first_pose_not_fit_to_command(tmp_path):
    import importlib.util

    import numpy as np
    from zandrel_torso import Torso, sample_geometry

    out = run_example("servo_commands.py", tmp_path)
    rows = {}
    for line in out.splitlines():
        match = re.match(rf"\s*(\d+)\s+{_NUMBER}\s+{_NUMBER}\s+((?:{_NUMBER}\s*){{6}})$", line)
        if match:
            rows[int(match.group(1))] = numbers(match.group(2))
    stop = re.search(r"stopped before tick (\d+) .*: (leg \d.*)\. Nothing from tick \1 on was sent\.", out)
    assert rows and stop, out
    assert int(stop.group(1)) == max(rows) + 1, out

    spec = importlib.util.spec_from_file_location("servo_commands", EXAMPLES / "servo_commands.py")
    example = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(example)
    torso = Torso(sample_geometry())
    _, _, poses = example.trajectory(torso)
    for tick, widths in rows.items():
        assert widths == pytest.approx(torso.to_pulses(torso.inverse(poses[tick])).tolist(), abs=0.051), tick
    # Every pose up to the stop is fit to command, the one it stops at is not.
    assert all(torso.check(poses[tick]).ok.all() for tick in range(max(rows) + 1))
    failing = torso.check(poses[int(stop.group(1))])
    assert not failing.ok.all()
    assert f"leg {int(np.argmin(failing.ok))}" in stop.group(2), out


# ---------------------------------------------------------------- motion


def test_motion_plans_within_the_limit_and_follows_to_pulses(tmp_path):
    out = run_example("motion.py", tmp_path)

    plan = re.search(rf"(\d+) commands, duration ({_NUMBER}) s", out)
    speed = re.search(rf"peak servo speed ({_NUMBER}) deg/s, limit ({_NUMBER}) deg/s", out)
    assert plan and speed, out
    commands, duration = int(plan.group(1)), float(plan.group(2))
    assert duration > 0.0 and commands == pytest.approx(duration * 50.0 + 1, abs=1.01), out
    peak, limit = float(speed.group(1)), float(speed.group(2))
    assert limit == 350.0 and 0.0 < peak <= limit + 0.05, out

    counts = re.search(r"(\d+) ticks at 50 Hz, (\d+) moving, (\d+) arrived, (\d+) clamped, (\d+) holding", out)
    assert counts, out
    ticks, *each = (int(x) for x in counts.groups())
    assert sum(each) == ticks and all(each), out
    clamped = re.search(r"first clamped command: leg (-?\d+), (.+)$", out, re.MULTILINE)
    assert clamped, out
    leg, reason = int(clamped.group(1)), clamped.group(2)
    assert reason in {"out of reach", "servo reading at its lower limit", "servo reading at its upper limit",
                      "a parallel singularity"}, out
    assert (leg == -1) == (reason == "a parallel singularity") and leg < 6, out
    widths = re.search(r"last pulse widths \(us\): \[(.*)\]", out)
    assert widths, out
    # The gimbal's servos take 500 to 2500 microseconds.
    assert all(500 <= w <= 2500 for w in numbers(widths.group(1))) and len(numbers(widths.group(1))) == 6, out


def test_calibration_finds_the_robot_and_the_horn_a_tooth_off(tmp_path):
    out = run_example("calibration.py", tmp_path)
    rows = {m.group(1): (float(m.group(2)), float(m.group(3)))
            for m in re.finditer(rf"^\| (nominal|zeros only|calibrated) \| ({_NUMBER}) \| ({_NUMBER}) \|$", out, re.M)}
    assert set(rows) == {"nominal", "zeros only", "calibrated"}, out
    assert rows["calibrated"][0] <= 0.45 and rows["calibrated"][0] < rows["zeros only"][0] < rows["nominal"][0], out
    assert re.search(r"^  leg 4: horn 1 spline tooth off \(\+1\d\.\d°\)$", out, re.M), out
    assert Geometry.load(tmp_path / "calibrated.json").rod_lengths.shape == (6,)


def test_simulate_holds_the_pose_with_the_static_torques_and_tracks_the_plan(tmp_path):
    pytest.importorskip("mujoco")
    out = run_example("simulate.py", tmp_path)

    settled = re.search(rf"settled ({_NUMBER}) mm and ({_NUMBER}) deg", out)
    assert settled, out
    assert float(settled.group(1)) < 0.1 and float(settled.group(2)) < 0.1, out
    rows = [numbers(line) for line in out.splitlines() if re.match(rf"^\s+\d\s+{_NUMBER}\s+{_NUMBER}\s*$", line)]
    assert len(rows) == 6, out
    simulated, static = (np.array(column) for column in zip(*((row[1], row[2]) for row in rows)))
    assert np.abs(static).max() > 0.02, out  # half a kilogram does load the servos
    assert np.allclose(simulated, static, rtol=0.03, atol=2e-3), out

    plan = re.search(rf"(\d+) commands at 50 Hz, ({_NUMBER}) s", out)
    tracking = re.search(rf"tracking error at most ({_NUMBER}) mm and ({_NUMBER}) deg", out)
    rest = re.search(rf"at rest after the last command ({_NUMBER}) mm and ({_NUMBER}) deg", out)
    assert plan and tracking and rest, out
    assert int(plan.group(1)) == pytest.approx(float(plan.group(2)) * 50.0 + 1, abs=1.01), out
    # Within a tick the servos catch up with the command they were sent.
    assert float(tracking.group(1)) < 0.5 and float(tracking.group(2)) < 0.5, out
    assert float(rest.group(1)) < 0.1 and float(rest.group(2)) < 0.1, out
