"""References for moving the platform along a straight path under servo limits.

The straight path from pose A to pose B moves the platform origin along the
segment p(s) = pA + s (pB - pA) and turns the platform along the rotation
geodesic R(s) = RA Exp(s Log(RAᵀ RB)), one parameter s from 0 to 1. Each
servo's reading along it, q_j(s), is the servo mapping of the inverse
kinematics at pose(s). A servo's reading may change by at most v_j rad/s
and its rate by at most a_j rad/s² (`Servo.speed`, `Servo.acceleration`).

- time_optimal_duration: the least time to run the path from rest to rest
  within those limits, by reachability in the phase plane of s
  (duration_along does it for readings already sampled on a grid of s);
- clipped_per_servo and synchronised_in_angle_space: two naive ways to go
  from rest at A to B's readings at a control rate, and off_path_error: how
  far the platform strays from the path under them.

NumPy and the package only. Run it for the sample geometry tilted 20 degrees
about X at 50 Hz.
"""

import dataclasses
import math

import numpy as np

from zandrel_torso import Geometry, Leg, Torso, pose, sample_geometry

_GOLDEN = (math.sqrt(5.0) - 1.0) / 2.0


# -- rotations -------------------------------------------------------------------


def _vee(r):
    """Twice the axis times the sine of the angle, from a (..., 3, 3) rotation."""
    return np.stack([r[..., 2, 1] - r[..., 1, 2], r[..., 0, 2] - r[..., 2, 0], r[..., 1, 0] - r[..., 0, 1]], axis=-1)


def rotation_angle(r):
    """The angle of a (..., 3, 3) rotation, accurate near 0 and near pi alike."""
    return np.arctan2(np.linalg.norm(_vee(r), axis=-1) / 2.0, (np.trace(r, axis1=-2, axis2=-1) - 1.0) / 2.0)


def rotation_log(r):
    """The rotation vector (axis times angle) of a 3x3 rotation."""
    vee = _vee(r)
    angle = float(rotation_angle(r))
    if angle < math.pi - 1e-6:
        twice_sine = np.linalg.norm(vee)
        return vee * (angle / twice_sine) if twice_sine > 0.0 else np.zeros(3)
    # Half a turn: the sine says nothing; the axis is the dominant column of
    # (R + I) / 2 = axis axisᵀ, its sign taken from what the sine still says.
    outer = (r + np.eye(3)) / 2.0
    column = int(np.argmax(np.diag(outer)))
    axis = outer[:, column] / math.sqrt(outer[column, column])
    return angle * (axis if axis @ vee >= 0.0 else -axis)


def rotation_exp(w):
    """Rotations (N, 3, 3) from rotation vectors (N, 3) (Rodrigues)."""
    w = np.atleast_2d(w)
    angle = np.linalg.norm(w, axis=1)[:, None, None]
    hat = np.zeros((len(w), 3, 3))
    hat[:, 0, 1], hat[:, 0, 2], hat[:, 1, 2] = -w[:, 2], w[:, 1], -w[:, 0]
    hat -= hat.transpose(0, 2, 1)
    small = angle < 1e-8  # the series' first terms, where the quotients lose digits
    safe = np.where(small, 1.0, angle)
    first = np.where(small, 1.0 - angle**2 / 6.0, np.sin(safe) / safe)
    second = np.where(small, 0.5 - angle**2 / 24.0, (1.0 - np.cos(safe)) / safe**2)
    return np.eye(3) + first * hat + second * hat @ hat


# -- the path ----------------------------------------------------------------------


def straight_path(a, b, s):
    """The poses (N, 4, 4) of the straight path from a to b at the parameters s."""
    a, b = np.asarray(a, dtype=float), np.asarray(b, dtype=float)
    s = np.atleast_1d(np.asarray(s, dtype=float))
    out = np.zeros((len(s), 4, 4))
    out[:, 3, 3] = 1.0
    out[:, :3, :3] = a[:3, :3] @ rotation_exp(s[:, None] * rotation_log(a[:3, :3].T @ b[:3, :3]))
    out[:, :3, 3] = a[:3, 3] + s[:, None] * (b[:3, 3] - a[:3, 3])
    return out


def _readings(torso, poses):
    readings = torso.to_servo(torso.inverse(poses))
    if not np.all(np.isfinite(readings)):
        raise ValueError("the straight path leaves some leg's reach")
    return readings


def path_readings(torso, a, b, s):
    """The servo readings (N, legs) along the path; a leg out of reach is an error."""
    # A full-turn servo may cross its half-turn point along the way; its
    # reading is taken as continuous there, as the servo itself turns.
    return np.unwrap(_readings(torso, straight_path(a, b, s)), axis=0)


def _limits(torso, speed, acceleration):
    """Per-servo limits, (legs,) each; None takes the geometry's servos' own."""
    legs = torso.geometry.legs
    if speed is None:
        speed = [math.inf if leg.servo.speed is None else leg.servo.speed for leg in legs]
    if acceleration is None:
        acceleration = [math.inf if leg.servo.acceleration is None else leg.servo.acceleration for leg in legs]
    speed = np.broadcast_to(np.asarray(speed, dtype=float), (len(legs),))
    acceleration = np.broadcast_to(np.asarray(acceleration, dtype=float), (len(legs),))
    if not (np.all(speed > 0.0) and np.all(acceleration > 0.0)):
        raise ValueError("speed and acceleration limits must be positive (inf for none)")
    return speed, acceleration


# -- the time-optimal reference ------------------------------------------------------


def time_optimal_duration(torso, a, b, speed=None, acceleration=None, grid=2000):
    """The least time (s) to run the straight path from rest at a to rest at b
    with every |q̇_j| <= speed_j and |q̈_j| <= acceleration_j (arrays of
    shape (legs,) or scalars, inf for no limit; None takes the servos' own)."""
    s = np.linspace(0.0, 1.0, grid + 1)
    return duration_along(path_readings(torso, a, b, s), s, *_limits(torso, speed, acceleration))


def duration_along(q, s, speed, acceleration):
    """The least time to run readings q (N, legs), sampled on the uniform grid
    s (N,) from 0 to 1, from rest to rest within the limits."""
    root = np.sqrt(phase_profile(q, s, speed, acceleration))
    with np.errstate(divide="ignore"):
        return float(np.sum(2.0 * (s[1] - s[0]) / (root[:-1] + root[1:])))


def phase_profile(q, s, speed, acceleration):
    """The time-optimal x = ṡ² (N,) at each point of the grid s, for readings
    q (N, legs) sampled on it; all inf when nothing limited moves.

    In the phase plane of x = ṡ² and u = s̈, q̇ = q' ṡ and q̈ = q' u + q'' x:
    the speed limits bound x at each grid point, the acceleration limits
    bound u by lines in x, and u is constant over each interval, so that
    x_{i+1} = x_i + 2 u Δs. A backward pass finds at each point the largest
    x from which the rest of the path can still end at rest; a forward
    pass from rest takes the largest u that stays within them."""
    q = np.asarray(q, dtype=float).reshape(len(s), -1)
    speed = np.broadcast_to(np.asarray(speed, dtype=float), q.shape[1:])
    acceleration = np.broadcast_to(np.asarray(acceleration, dtype=float), q.shape[1:])
    moving = np.ptp(q, axis=0) > 0.0
    if not np.any(moving & (np.isfinite(speed) | np.isfinite(acceleration))):
        return np.full(len(s), math.inf)  # nothing moves, or nothing that moves is limited
    step = s[1] - s[0]
    dq = np.gradient(q, step, axis=0, edge_order=2)
    ddq = np.gradient(dq, step, axis=0, edge_order=2)

    with np.errstate(divide="ignore", invalid="ignore"):
        x_speed = np.min(np.where(dq != 0.0, (speed / np.abs(dq)) ** 2, math.inf), axis=1)
        # Each limited servo gives two rows c u + d x <= e: ±(q' u + q'' x) <= a.
        limited = np.isfinite(acceleration)
        c = np.concatenate((dq[:, limited], -dq[:, limited]), axis=1)
        d = np.concatenate((ddq[:, limited], -ddq[:, limited]), axis=1)
        e = np.broadcast_to(np.concatenate((acceleration[limited],) * 2), c.shape)
        # Read as u <= gamma + delta x (c > 0), u >= alpha + beta x (c < 0),
        # or a bound on x alone (c == 0).
        gamma, delta = np.where(c > 0.0, e / c, math.inf), np.where(c > 0.0, -d / c, 0.0)
        alpha, beta = np.where(c < 0.0, e / c, -math.inf), np.where(c < 0.0, -d / c, 0.0)
        x_alone = np.min(np.where((c == 0.0) & (d > 0.0), e / d, math.inf), axis=1, initial=math.inf)
        # u exists where every lower line lies under every upper line; a pair
        # whose gap closes as x grows bounds x.
        slope = beta[:, :, None] - delta[:, None, :]
        gap = gamma[:, None, :] - alpha[:, :, None]
        pairs = np.where(slope > 0.0, gap / slope, math.inf).reshape(len(s), -1)
        x_max = np.minimum.reduce([x_speed, x_alone, np.min(pairs, axis=1, initial=math.inf)])
        # The interval's own lines: x + 2 u Δs >= 0 (u >= -x / 2Δs) against
        # each upper line.
        slope = -1.0 / (2.0 * step) - delta
        x_max = np.minimum(x_max, np.min(np.where(slope > 0.0, gamma / slope, math.inf), axis=1, initial=math.inf))

    # Backward: x + 2 u Δs <= reachable[i + 1] against each lower line.
    reachable = np.empty(len(s))
    reachable[-1] = 0.0
    for i in range(len(s) - 2, -1, -1):
        slope = beta[i] + 1.0 / (2.0 * step)
        gap = reachable[i + 1] / (2.0 * step) - alpha[i]
        bound = np.min(np.where(slope > 0.0, gap / slope, math.inf), initial=math.inf)
        reachable[i] = max(0.0, min(x_max[i], bound))

    # Forward, from rest: the largest u each point allows.
    x = np.zeros(len(s))
    for i in range(len(s) - 1):
        if not math.isfinite(x[i]):
            x[i + 1] = reachable[i + 1]
            continue
        u = min(np.min(gamma[i] + delta[i] * x[i], initial=math.inf), (reachable[i + 1] - x[i]) / (2.0 * step))
        x[i + 1] = min(max(x[i] + 2.0 * u * step, 0.0), reachable[i + 1])
    return x


# -- the naive alternatives ------------------------------------------------------------


def clipped_per_servo(torso, a, b, rate, speed=None, acceleration=None, max_seconds=10.0):
    """Readings (T, legs) at `rate` Hz, from rest at a's: each servo heads for
    b's reading on its own, as fast as its limits allow and braking in time
    to stop there. The first row is a's readings, the last b's."""
    speed, acceleration = _limits(torso, speed, acceleration)
    start, target = _readings(torso, np.array([a, b], dtype=float))
    tick = 1.0 / rate
    q, v = start.copy(), np.zeros_like(start)
    out = [q.copy()]
    for _ in range(int(max_seconds * rate)):
        if np.all(q == target):
            break
        error = target - q
        # The fastest speed from which braking at the limit, tick by tick,
        # stops within the distance left.
        half = acceleration * tick / 2.0
        with np.errstate(invalid="ignore"):
            brake = -half + np.sqrt(half**2 + 2.0 * acceleration * np.abs(error))
        brake = np.where(np.isinf(acceleration), math.inf, brake)
        wanted = np.sign(error) * np.minimum.reduce([speed, brake, np.abs(error) / tick])
        v = np.clip(wanted, v - acceleration * tick, v + acceleration * tick)
        # A servo that would reach its target within the tick stops on it.
        arrived = np.abs(v * tick) >= np.abs(error)
        q = np.where(arrived, target, q + v * tick)
        v = np.where(arrived, 0.0, v)
        out.append(q.copy())
    return np.array(out)


def synchronised_in_angle_space(torso, a, b, rate, speed=None, acceleration=None):
    """Readings (T, legs) at `rate` Hz along the straight line from a's
    readings to b's, timed by one trapezoidal profile that the most limited
    servo allows, so that every servo arrives together."""
    speed, acceleration = _limits(torso, speed, acceleration)
    start, target = _readings(torso, np.array([a, b], dtype=float))
    distance = np.abs(target - start)
    moving = distance > 0.0
    # The fraction σ of the line covered: each servo moves σ times its own distance.
    top = np.min(speed[moving] / distance[moving], initial=math.inf)
    push = np.min(acceleration[moving] / distance[moving], initial=math.inf)
    if math.isinf(push):
        if math.isinf(top):
            return np.array([start, target])
        ramp, top = 0.0, float(top)
    else:
        top = min(top, math.sqrt(push))  # a triangle when the top speed is not reached
        ramp = top / push
    total = 1.0 / top + ramp
    t = np.minimum(np.arange(math.ceil(total * rate) + 1) / rate, total)
    with np.errstate(divide="ignore", invalid="ignore"):
        sigma = np.where(
            t < ramp,
            push * t**2 / 2.0,
            np.where(t > total - ramp, 1.0 - push * (total - t) ** 2 / 2.0, top * (t - ramp / 2.0)),
        )
    sigma[-1] = 1.0
    return start + sigma[:, None] * (target - start)


def off_path_error(torso, a, b, readings):
    """How far the platform strays from the straight path under `readings`
    (T, legs): the largest distance of its origin from the segment (in the
    geometry's unit) and the largest angle between its rotation and the
    nearest rotation of the geodesic (rad), each over every sample. The
    platform pose of each sample is solved by forward kinematics, warm from
    the sample before, from a at the start."""
    a, b = np.asarray(a, dtype=float), np.asarray(b, dtype=float)
    start, line = a[:3, 3], b[:3, 3] - a[:3, 3]
    turn = rotation_log(a[:3, :3].T @ b[:3, :3])
    torso.reset(a)
    moved = turned = 0.0
    for k, angles in enumerate(torso.from_servo(readings)):
        solved = torso.solve_forward(angles)
        if not solved.converged:
            raise RuntimeError(f"sample {k}: forward kinematics ended {solved.status}")
        p, r = solved.pose[:3, 3], solved.pose[:3, :3]
        along = float(np.clip((p - start) @ line / (line @ line), 0.0, 1.0)) if line @ line > 0.0 else 0.0
        moved = max(moved, float(np.linalg.norm(p - start - along * line)))
        turned = max(turned, _nearest_turn(a[:3, :3].T @ r, turn))
    return moved, turned


def _nearest_turn(relative, turn, points=101):
    """min over s in [0, 1] of the angle between Exp(s turn) and `relative`:
    the best point of a grid, then a golden-section search between its
    neighbours."""

    def angle(s):
        return rotation_angle(rotation_exp(np.multiply.outer(s, turn)).transpose(0, 2, 1) @ relative)

    grid = np.linspace(0.0, 1.0, points)
    best = int(np.argmin(angle(grid)))
    low, high = grid[max(best - 1, 0)], grid[min(best + 1, points - 1)]
    for _ in range(60):
        left, right = high - _GOLDEN * (high - low), low + _GOLDEN * (high - low)
        if angle(np.array([left]))[0] < angle(np.array([right]))[0]:
            high = right
        else:
            low = left
    return float(min(angle(np.array([(low + high) / 2.0]))[0], angle(grid[best : best + 1])[0]))


def main():
    rate, speed, acceleration = 50.0, math.radians(350.0), 60.0
    sample = sample_geometry("mm")
    legs = [Leg(leg.branch_platform, leg.t_world_motor, leg.solution,
                dataclasses.replace(leg.servo, speed=speed, acceleration=acceleration)) for leg in sample.legs]
    torso = Torso(Geometry(sample.motor_arm_length, sample.rod_length, legs, sample.unit, sample.home))
    a = torso.geometry.home
    b = a @ pose(roll=math.radians(20.0))
    print(f"sample, 20° about X from home, {rate:g} Hz, {math.degrees(speed):g}°/s, {acceleration:g} rad/s²")
    print(f"  time-optimal along the path: {time_optimal_duration(torso, a, b):.4f} s")
    for name, move in (("clipped per servo", clipped_per_servo),
                       ("synchronised in angle space", synchronised_in_angle_space)):
        readings = move(torso, a, b, rate)
        moved, turned = off_path_error(torso, a, b, readings)
        ticks = len(readings) - 1
        print(f"  {name:28} {ticks:3d} ticks ({ticks / rate:.2f} s), "
              f"off the path by {moved:.3f} mm and {math.degrees(turned):.3f}°")


if __name__ == "__main__":
    main()
