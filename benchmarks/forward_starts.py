"""Where forward kinematics ends, by where it starts.

For the head (the three-pair layout below, in mm) and the sample, solves the
angles of random targets within 20 degrees of roll, pitch and yaw and 10 mm
of home from three starts (a fresh Torso, which stands at home; home lifted
30 mm; the identity pose), with and without the retry from home, and counts
each outcome:

  at target      "converged" at the target (1e-2 mm, 1e-4 rad)
  elsewhere      "converged" somewhere else (a false verdict, if any)
  other_assembly the rods close at another assembly, recognised as such
  not_converged  the rods do not close

Targets out of some leg's reach (NaN angles) are counted apart.

Then checks the small-move target: from a fresh Torso, every target within 10
degrees and 5 mm ends "converged" at the target within 20 steps.

Last, for the head, the sample and a camera gimbal hung under a ceiling plate
(two rods to each platform joint), counts how many random poses within 30
degrees and 10 mm of home that check calls ok a fresh Torso finds.

Usage: python benchmarks/forward_starts.py [targets-per-geometry]
"""

import math
import sys
from collections import Counter

import numpy as np

from zandrel_torso import Geometry, Leg, Torso, pose, sample_geometry

HEAD = Geometry.three_pairs(base_radius=60.0, base_spread=math.radians(40), platform_radius=40.0,
                            platform_spread=math.radians(30), motor_arm_length=25.0, rod_length=95.0,
                            home_height=90.0, unit="mm")
GEOMETRIES = {"head": HEAD, "sample": sample_geometry("mm")}


def hanging_gimbal():
    """Motors on a ceiling plate, the platform 70 mm below them, and each
    platform joint shared by the rods of two motors of neighbouring pairs."""
    spread = Geometry.three_pairs(base_radius=70.0, base_spread=math.radians(30), platform_radius=35.0,
                                  platform_spread=0.01, motor_arm_length=20.0, rod_length=80.0,
                                  home_height=-70.0, unit="mm")
    legs = list(spread.legs)
    for i, j in ((0, 3), (1, 4), (2, 5)):  # the anchors 0.01 rad apart, joined
        joint = (legs[i].branch_platform + legs[j].branch_platform) / 2.0
        legs[i], legs[j] = (Leg(joint, leg.t_world_motor, leg.solution, leg.servo) for leg in (legs[i], legs[j]))
    return Geometry(spread.motor_arm_length, spread.rod_length, legs, "mm", spread.home)
OUTCOMES = ("at target", "elsewhere", "other_assembly", "not_converged")


def targets(geometry, count, degrees, mm, seed):
    rng = np.random.default_rng(seed)
    for _ in range(count):
        r, p, y = np.radians(rng.uniform(-degrees, degrees, size=3))
        dx, dy, dz = rng.uniform(-mm, mm, size=3)
        yield geometry.home @ pose(r, p, y, dx, dy, dz)


def at(solved, target):
    return (np.max(np.abs(solved.pose[:3, 3] - target[:3, 3])) <= 1e-2
            and np.max(np.abs(solved.pose[:3, :3] - target[:3, :3])) <= 1e-4)


def outcome(solved, target):
    if solved.status == "converged":
        return "at target" if at(solved, target) else "elsewhere"
    return solved.status


def main(argv):
    count = int(argv[1]) if len(argv) > 1 else 500
    print(f"{count} targets per geometry within 20 degrees and 10 mm of home")
    print(f"| geometry | start | retry | {' | '.join(OUTCOMES)} | out of reach |")
    print("|---|---|---|" + "---:|" * (len(OUTCOMES) + 1))
    for name, geometry in GEOMETRIES.items():
        starts = {"fresh Torso (home)": None, "home + 30 mm": geometry.home @ pose(z=30.0), "identity": np.eye(4)}
        for label, start in starts.items():
            for retry in (False, True):
                counts = Counter()
                for target in targets(geometry, count, 20.0, 10.0, seed=1):
                    torso = Torso(geometry)
                    angles = torso.inverse(target)
                    if np.isnan(angles).any():
                        counts["out of reach"] += 1
                        continue
                    counts[outcome(torso.solve_forward(angles, start=start, retry=retry), target)] += 1
                row = " | ".join(str(counts[o]) for o in (*OUTCOMES, "out of reach"))
                print(f"| {name} | {label} | {'yes' if retry else 'no'} | {row} |")
    print()
    for name, geometry in GEOMETRIES.items():
        counts, worst_steps = Counter(), 0
        for target in targets(geometry, count, 10.0, 5.0, seed=2):
            torso = Torso(geometry)
            solved = torso.solve_forward(torso.inverse(target), max_steps=20)
            counts[outcome(solved, target)] += 1
            worst_steps = max(worst_steps, solved.steps)
        print(f"{name}, fresh Torso, {count} targets within 10 degrees and 5 mm, at most 20 steps: "
              f"{counts['at target']} at the target (most steps taken: {worst_steps}); "
              f"{count - counts['at target']} otherwise")
    print()
    print(f"| geometry | ok poses within 30 degrees and 10 mm | found by a fresh Torso | other_assembly | "
          "not_converged | elsewhere |")
    print("|---|---:|---:|---:|---:|---:|")
    for name, geometry in {**GEOMETRIES, "hanging gimbal": hanging_gimbal()}.items():
        checker, counts = Torso(geometry), Counter()
        for target in targets(geometry, 20 * count, 30.0, 10.0, seed=3):
            checked = checker.check(target)
            if not checked.ok.all():
                continue
            found = outcome(Torso(geometry).solve_forward(checked.angles), target)
            counts["found" if found == "at target" else found] += 1
            if counts.total() == count:
                break
        print(f"| {name} | {counts.total()} | {counts['found']} | {counts['other_assembly']} | "
              f"{counts['not_converged']} | {counts['elsewhere']} |")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
