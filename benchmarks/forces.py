"""Servo torques under a load: agreement with virtual work, and cost.

On random poses within the sample's workspace (every axis at once, each
within half its single-axis excursion), `Torso.torques` for a 0.5 kg head
with a push on it is compared with virtual work computed from the
closed-form inverse alone: move the platform a little along each of its
six freedoms, see how far each servo turns, and the torques are what
balances the load's work over those motions. Then the cost: `torques` on a
stack of poses, per pose, beside one raw `inverse_kinematics` call.

Usage: .venv/bin/python benchmarks/forces.py [--poses N] [--seed S]
"""

import argparse
import timeit

import numpy as np

from zandrel_torso import Load, Torso, pose, sample_geometry

EPS = 1e-6  # metres and radians: central differences of the closed-form inverse


def workspace_poses(torso, count, rng):
    w, home = torso.workspace(), torso.geometry.home
    half = 0.5 * np.array([w.roll, w.pitch, w.yaw, w.x, w.y, w.z])
    out = []
    while len(out) < count:
        batch = np.array([home @ pose(*rng.uniform(-half, half)) for _ in range(count)])
        out.extend(batch[torso.check(batch).ok.all(axis=1)])
    return np.array(out[:count])


def turned(t, dx):
    """The pose moved by dx: its origin by dx[:3] (world axes), turned by
    the small rotation dx[3:] about that origin (world axes)."""
    w = dx[3:]
    angle = np.linalg.norm(w)
    k = np.array([[0.0, -w[2], w[1]], [w[2], 0.0, -w[0]], [-w[1], w[0], 0.0]])
    r = np.eye(3) if angle == 0.0 else np.eye(3) + np.sin(angle) / angle * k + (1.0 - np.cos(angle)) / angle**2 * k @ k
    out = t.copy()
    out[:3, :3] = r @ t[:3, :3]
    out[:3, 3] = t[:3, 3] + dx[:3]
    return out


def virtual_work(torso, t, load):
    """Torques from virtual work alone (metres): for any small motion dx of
    the platform, the servos' work tau . dθ and the load's W . dx cancel.
    dθ/dx comes from central differences of the closed-form inverse, which
    is exact at every pose: tau = -(dθ/dx)^-T W."""
    weight = load.mass * load.gravity
    wrench = np.concatenate((weight, np.cross(t[:3, :3] @ load.centre, weight))) + load.extra()
    columns = []
    for k in range(6):
        step = np.zeros(6)
        step[k] = EPS
        columns.append((torso.inverse(turned(t, step)) - torso.inverse(turned(t, -step))) / (2.0 * EPS))
    return -np.linalg.solve(np.array(columns), wrench)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--poses", type=int, default=1000)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    torso = Torso(sample_geometry())
    load = Load(0.5, (0.004, -0.006, 0.03), wrench=(0.4, -0.3, 0.2, 0.02, -0.01, 0.015))
    poses = workspace_poses(torso, args.poses, np.random.default_rng(args.seed))
    torques = torso.torques(poses, load)
    worst = max(float(np.max(np.abs(tau - virtual_work(torso, t, load))) / np.max(np.abs(tau)))
                for t, tau in zip(poses, torques))
    print(f"{len(poses)} poses within the workspace: largest difference from virtual work "
          f"{worst:.1e} of the largest torque (target 1e-6: {'met' if worst <= 1e-6 else 'MISS'})")

    raw, target = torso.kinematics, poses[0].tolist()
    rounds = [(timeit.timeit(lambda: torso.torques(poses, load), number=5) / (5 * len(poses)),
               timeit.timeit(lambda: raw.inverse_kinematics(target), number=20000) / 20000) for _ in range(7)]
    ratio = float(np.median([t / ik for t, ik in rounds]))
    print(f"torques: {np.median([t for t, _ in rounds]) * 1e6:.2f} µs per pose in a stack of {len(poses)}, "
          f"{ratio:.1f} x inverse_kinematics (target at most 5: {'met' if ratio <= 5 else 'MISS'})")


if __name__ == "__main__":
    main()
