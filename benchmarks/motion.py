"""The motion engine: what a follower tick costs, how long plans take beside
the time-optimal reference, how far they stray from the straight path beside
the naive alternatives, and whether a long stream of random targets ever
breaks a servo limit or commands an infeasible pose.

    .venv/bin/python benchmarks/motion.py [--cpp build/.venv/floor/core_bench]

(``make bench`` runs it after bench.py, with --cpp.) The sample geometry in
millimetres, every servo limited to 350°/s and 60 rad/s². The costs are timed
in rounds, as bench.py does: each round times every loop once, and a ratio is
the median of the ratios within the rounds. A tick is timed on a move under
way from home to a far target; on arrival a new follower starts at home
(the time spent building it is left out: see TickTimer).
"""

import argparse
import dataclasses
import gc
import math
import pathlib
import statistics
import subprocess
import sys
import time
import timeit
import types

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from motion_reference import (  # noqa: E402
    clipped_per_servo, off_path_error, rotation_angle, rotation_exp, rotation_log,
    synchronised_in_angle_space, time_optimal_duration)
from zandrel_torso import Torso, pose, sample_geometry  # noqa: E402

SPEED, ACCELERATION = math.radians(350.0), 60.0
RATES = (50.0, 1000.0)
DEG = math.radians(1.0)
# Moves from home, in the platform's own frame (millimetres).
MOVES = {
    "tilt 20° about X": pose(roll=20 * DEG),
    "tilt 20° about Y": pose(pitch=20 * DEG),
    "yaw 20°": pose(yaw=20 * DEG),
    "lift 10 mm": pose(z=10.0),
    "tilt 12° X+Y, lift 6 mm": pose(roll=12 * DEG, pitch=12 * DEG, z=6.0),
    "all six axes": pose(roll=-10 * DEG, pitch=8 * DEG, yaw=12 * DEG, x=6.0, y=-5.0, z=-4.0),
}
FAR = pose(roll=12 * DEG, pitch=-10 * DEG, yaw=10 * DEG, x=5.0, y=3.0, z=6.0)  # the timed ticks' target


def limited(geometry):
    servo = dict(speed=SPEED, acceleration=ACCELERATION)
    legs = [dataclasses.replace(leg, servo=dataclasses.replace(leg.servo, **servo)) for leg in geometry.legs]
    return dataclasses.replace(geometry, legs=legs)


def metres(t):
    """A pose in millimetres, in metres."""
    out = t.copy()
    out[:3, 3] /= 1000.0
    return out


class CoreBench:
    """benchmarks/core_bench, with a follower on the same servos at 1 kHz."""

    def __init__(self, path, geometry, target):
        self.proc = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        rows = [[geometry.motor_arm_length, geometry.rod_length]]
        rows += [[*leg.branch_platform, *leg.t_world_motor.ravel(), leg.solution] for leg in geometry.legs]
        rows += [["end"], target.ravel(), geometry.home.ravel(), [0.0] * 6, ["motion"]]
        rows += [[s.zero, s.direction, s.lower, s.upper, s.speed, s.acceleration] for s in (leg.servo for leg in geometry.legs)]
        rows += [geometry.home.ravel(), [1000.0], target.ravel()]
        self.proc.stdin.write("\n".join(" ".join(x if isinstance(x, str) else repr(float(x)) for x in r) for r in rows) + "\n")

    def timer(self, case):
        def timeit_(number):
            self.proc.stdin.write(f"{case} {number}\n")
            self.proc.stdin.flush()
            answer = self.proc.stdout.readline()
            if not answer:
                sys.exit(f"core_bench ended early (exit status {self.proc.wait()})")
            return float(answer)

        return types.SimpleNamespace(timeit=timeit_)


class TickTimer:
    """Ticks of a follower at 1 kHz on its way from home to the far target,
    timed like a timeit.Timer. A new follower costs far more than a tick
    (the engine allocates its buffers once, there): the time spent building
    them on arrival is left out, as core_bench does."""

    def __init__(self, torso):
        self.torso, self.far = torso, torso.geometry.home @ FAR
        self.follower = torso.follower(1000.0)

    def timeit(self, number):
        step, far, clock = self.follower.step, self.far, time.perf_counter
        rebuilding = 0.0
        collecting = gc.isenabled()
        gc.disable()
        begin = clock()
        for _ in range(number):
            if step(far).status == "arrived":
                building = clock()
                self.follower = self.torso.follower(1000.0)
                step = self.follower.step
                rebuilding += clock() - building
        elapsed = clock() - begin - rebuilding
        if collecting:
            gc.enable()
        return elapsed


def costs(torso, core, repeats, seconds):
    """Median µs per call of each timed loop, and per-round ratios."""
    ns = dict(k=torso.kinematics, T=metres(torso.geometry.home @ FAR).tolist())
    timers = {"step": TickTimer(torso), "ik": timeit.Timer("k.inverse_kinematics(T)", globals=ns)}
    if core:
        timers.update(cpp_step=core.timer("follower"), cpp_ik=core.timer("inverse"))
    loops = {}
    for key, timer in timers.items():
        number = 1
        while (elapsed := timer.timeit(number)) < 0.002:
            number *= 4
        loops[key] = max(1, math.ceil(number * seconds / elapsed))
    samples = {key: [] for key in timers}
    for _ in range(repeats):
        for key, timer in timers.items():
            samples[key].append(timer.timeit(loops[key]) / loops[key] * 1e6)
    us = {key: statistics.median(v) for key, v in samples.items()}
    ratio = {a: statistics.median(x / y for x, y in zip(samples[a], samples[b]))
             for a, b in (("step", "ik"), ("cpp_step", "cpp_ik")) if a in samples}
    return us, ratio


def path_error(a, b, poses):
    """Largest distance (mm) of the poses' origins from the segment a-b, and
    largest angle (rad) of their rotations from the geodesic: each measured
    to the geodesic's rotation at the parameter that the rotation's own
    projection on the turn gives, an upper bound of the nearest."""
    start, line = a[:3, 3], b[:3, 3] - a[:3, 3]
    p = poses[:, :3, 3] - start
    along = np.clip(p @ line / (line @ line), 0.0, 1.0) if line @ line > 0.0 else np.zeros(len(p))
    moved = np.max(np.linalg.norm(p - along[:, None] * line, axis=1))
    turn = rotation_log(a[:3, :3].T @ b[:3, :3])
    relative = a[:3, :3].T @ poses[:, :3, :3]
    if turn @ turn == 0.0:
        return moved, float(np.max(rotation_angle(relative)))
    w = np.array([rotation_log(r) for r in relative])
    s = np.clip(w @ turn / (turn @ turn), 0.0, 1.0)
    nearest = rotation_exp(s[:, None] * turn)
    return moved, float(np.max(rotation_angle(nearest.transpose(0, 2, 1) @ relative)))


def arrives(torso, b, rate, ticks):
    """Whether a follower from rest at home reaches b within `ticks` ticks: a
    plan that cannot would only stop at the engine's own cap, minutes later."""
    follower = torso.follower(rate)
    return any(follower.step(b).status == "arrived" for _ in range(ticks))


def within_limits(readings, rate):
    """Whether readings (T, legs), at rest before and after, keep the limits."""
    r = np.concatenate([readings[:1], readings, readings[-1:]])
    slack = 1.0 + 1e-9
    return bool(np.all(np.abs(np.diff(r, axis=0)) <= SPEED / rate * slack)
                and np.all(np.abs(np.diff(r, 2, axis=0)) <= ACCELERATION / rate**2 * slack))


def moves_table(torso):
    home = torso.geometry.home
    rows = []
    for name, move in MOVES.items():
        b = home @ move
        if not torso.check(b).ok.all():
            sys.exit(f"{name}: not a feasible pose")
        best = time_optimal_duration(torso, home, b)
        for rate in RATES:
            if not arrives(torso, b, rate, math.ceil(20 * best * rate) + 20):
                rows.append((name, rate, None, best, False, None, None, None, None, None))
                continue
            trajectory = torso.plan([home, b], rate)
            # Off the path of the plan itself, and of the two naive
            # alternatives (at the lower rate only: their forward solves are slow).
            moved, turned = path_error(home, b, trajectory.poses)
            naive = [off_path_error(torso, home, b, f(torso, home, b, rate)) if rate == RATES[0] else None
                     for f in (clipped_per_servo, synchronised_in_angle_space)]
            within = trajectory.duration <= 1.05 * best + 2.0 / rate
            kept = within_limits(trajectory.servo_angles, rate)
            rows.append((name, rate, trajectory.duration, best, within, kept, moved, turned, *naive))
    return rows


def stream(torso, ticks, seed):
    """Random targets through one follower at 1 kHz; the problems found."""
    rng = np.random.default_rng(seed)
    home, rate = torso.geometry.home, 1000.0
    follower = torso.follower(rate)
    readings, poses, angles, targets, statuses = [follower.last.servo_angles] * 2, [], [], [], []
    target, left = None, 0
    for _ in range(ticks):
        if left == 0:
            left = int(np.exp(rng.uniform(math.log(2), math.log(400))))
            kind = rng.uniform()
            scale = 1.0 if kind < 0.6 else 6.0  # far outside the workspace now and then
            target = None if kind > 0.9 else home @ pose(*rng.uniform(-0.35, 0.35, 3) * scale, *rng.uniform(-15, 15, 3) * scale)
        left -= 1
        targets.append(target)
        c = follower.step(target)
        readings.append(c.servo_angles)
        statuses.append(c.status)
        poses.append(c.pose)
        angles.append(c.angles)
    r, poses, angles = np.array(readings), np.array(poses), np.array(angles)
    slack = 1.0 + 1e-9
    v = np.abs(np.diff(r, axis=0)) > SPEED / rate * slack
    a = np.abs(np.diff(r, 2, axis=0)) > ACCELERATION / rate**2 * slack
    bad = {"speed": v[1:].any(axis=1), "acceleration": a.any(axis=1)}  # row k: the k-th command
    bad["infeasible"] = np.concatenate([~torso.check(poses[i:i + 10000]).ok.all(axis=1) for i in range(0, ticks, 10000)])
    bad["angles != inverse"] = (angles != torso.inverse(poses)).any(axis=1)
    first = {key: int(np.argmax(flags)) for key, flags in bad.items() if flags.any()}
    counts = {key: int(flags.sum()) for key, flags in bad.items()}
    counts.update({f"status {name}": statuses.count(name) for name in ("moving", "arrived", "clamped", "holding")})
    return counts, follower._engine.overruns, first, targets


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cpp", metavar="PATH", help="core_bench, to time the C++ follower tick too")
    parser.add_argument("--repeats", type=int, default=21, help="timed rounds (default 21)")
    parser.add_argument("--seconds", type=float, default=0.01, help="length of one timed loop (default 0.01)")
    parser.add_argument("--ticks", type=int, default=100_000, help="ticks of the random stream")
    parser.add_argument("--seed", type=int, default=1, help="the random stream's seed")
    args = parser.parse_args(argv)

    torso = Torso(limited(sample_geometry("mm")))
    core = CoreBench(args.cpp, limited(sample_geometry("m")), torso.geometry.in_unit("m").home @ metres(FAR)) if args.cpp else None
    us, ratio = costs(torso, core, args.repeats, args.seconds)
    print(f"servos: {math.degrees(SPEED):g}°/s, {ACCELERATION:g} rad/s²; a tick at 1 kHz towards a far target\n")
    print("| tick | µs | × inverse_kinematics, same run | target |\n|---|---:|---:|---|")
    if core:
        met = "met" if us["cpp_step"] <= 5.0 else "MISS"
        print(f"| C++ Follower::step | {us['cpp_step']:.2f} | {ratio['cpp_step']:.1f} (IK {us['cpp_ik']:.3f} µs) | ≤ 5 µs: {met} |")
    met = "met" if ratio["step"] <= 25.0 else "MISS"
    print(f"| Python Follower.step | {us['step']:.2f} | {ratio['step']:.1f} (IK {us['ik']:.3f} µs) | ≤ 25×: {met} |")

    print("\n| move | Hz | plan s | optimal s | ratio | ≤ 5% + 2 ticks | limits kept | plan off mm / rad (≤ 1e-6 / 1e-9) "
          "| clipped mm / rad | synchronised mm / rad |")
    print("|---|---:|---:|---:|---:|---|---|---|---|---|")
    for name, rate, planned, best, within, kept, moved, turned, clipped, synced in moves_table(torso):
        if planned is None:
            print(f"| {name} | {rate:g} | never arrives | {best:.4f} | – | NO | – | – | – | – |")
            continue
        naive = [f"{m:.3f} / {t:.2e}" if m is not None else "–" for m, t in (clipped or (None, 0), synced or (None, 0))]
        print(f"| {name} | {rate:g} | {planned:.4f} | {best:.4f} | {planned / best:.3f} | {'yes' if within else 'NO'} "
              f"| {'yes' if kept else 'NO'} | {moved:.1e} / {turned:.1e} | {naive[0]} | {naive[1]} |")

    counts, overruns, first, targets = stream(torso, args.ticks, args.seed)
    print(f"\n| {args.ticks:,} random ticks at 1 kHz, seed {args.seed} | count |\n|---|---:|")
    for key, count in counts.items():
        print(f"| {key if key.startswith('status') else 'commands breaking: ' + key} | {count} |")
    print(f"| follower overruns | {overruns} |")
    for key, k in first.items():
        print(f"first {key}: tick {k}, target {None if targets[k] is None else targets[k].tolist()}")
    if core:
        core.proc.stdin.close()
        core.proc.wait()


if __name__ == "__main__":
    main()
