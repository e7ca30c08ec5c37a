"""Pure-Python reference of the closed-form inverse kinematics.

Written from the algorithm, with nothing but the ``math`` module, so that the
tests have a second, independent implementation to compare the extension
against. Matrices are 4x4 nested lists, ``m[r][c]`` being row r, column c,
exactly as the extension takes them.

Every sum is formed in the same order as in the extension (products over the
inner index 0..3, points as ((m0*x + m1*y) + m2*z) + m3, the expanded
radicand term by term), so results agree to the last bit wherever the 4x4
inverse is exact, and to a few units in the last place otherwise (the way the
cofactors of the inverse are grouped is an implementation detail).
"""

import math

PI = 3.141592653589793
INV_TWO_PI = 0.15915494309189535
MINUS_TWO_PI = -6.283185307179586


def identity():
    return [[1.0 if r == c else 0.0 for c in range(4)] for r in range(4)]


def mat_mul(lhs, rhs):
    """lhs * rhs; each element summed over k = 0..3 in that order."""
    return [
        [
            ((lhs[r][0] * rhs[0][c] + lhs[r][1] * rhs[1][c]) + lhs[r][2] * rhs[2][c])
            + lhs[r][3] * rhs[3][c]
            for c in range(4)
        ]
        for r in range(4)
    ]


def transform_point(m, p):
    """First three components of m * (p, 1)."""
    return [((m[r][0] * p[0] + m[r][1] * p[1]) + m[r][2] * p[2]) + m[r][3] for r in range(3)]


def mat_inv(m):
    """General inverse (adjugate times 1/det), or None when det is exactly zero.

    The adjugate is built from the 2x2 minors of the top two rows (s*) and of
    the bottom two rows (c*); a NaN determinant gives a NaN inverse, not None.
    """
    (a00, a01, a02, a03), (a10, a11, a12, a13), (a20, a21, a22, a23), (a30, a31, a32, a33) = m
    s0 = a00 * a11 - a10 * a01
    s1 = a00 * a12 - a10 * a02
    s2 = a00 * a13 - a10 * a03
    s3 = a01 * a12 - a11 * a02
    s4 = a01 * a13 - a11 * a03
    s5 = a02 * a13 - a12 * a03
    c5 = a22 * a33 - a32 * a23
    c4 = a21 * a33 - a31 * a23
    c3 = a21 * a32 - a31 * a22
    c2 = a20 * a33 - a30 * a23
    c1 = a20 * a32 - a30 * a22
    c0 = a20 * a31 - a30 * a21
    det = s0 * c5 - s1 * c4 + s2 * c3 + s3 * c2 - s4 * c1 + s5 * c0
    if det == 0.0:
        return None
    adj = [
        [
            a11 * c5 - a12 * c4 + a13 * c3,
            -a01 * c5 + a02 * c4 - a03 * c3,
            a31 * s5 - a32 * s4 + a33 * s3,
            -a21 * s5 + a22 * s4 - a23 * s3,
        ],
        [
            -a10 * c5 + a12 * c2 - a13 * c1,
            a00 * c5 - a02 * c2 + a03 * c1,
            -a30 * s5 + a32 * s2 - a33 * s1,
            a20 * s5 - a22 * s2 + a23 * s1,
        ],
        [
            a10 * c4 - a11 * c2 + a13 * c0,
            -a00 * c4 + a01 * c2 - a03 * c0,
            a30 * s4 - a31 * s2 + a33 * s0,
            -a20 * s4 + a21 * s2 - a23 * s0,
        ],
        [
            -a10 * c3 + a11 * c1 - a12 * c0,
            a00 * c3 - a01 * c1 + a02 * c0,
            -a30 * s3 + a31 * s1 - a32 * s0,
            a20 * s3 - a21 * s1 + a22 * s0,
        ],
    ]
    inv_det = 1.0 / det
    return [[x * inv_det for x in row] for row in adj]


def yaw_prerotation(psi):
    """Rz(-psi) as the inverse kinematics builds it (identity for psi == 0)."""
    if psi == 0.0:
        return identity()
    s, c = math.sin(psi), math.cos(psi)
    return [[c, s, 0.0, 0.0], [-s, c, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0]]


def _sqrt(x):
    return math.sqrt(x) if not x < 0.0 else math.nan


def _floor(x):
    return float(math.floor(x)) if math.isfinite(x) else x


def wrap_doubled(phi):
    """The wrap of the doubled half-angle into [-pi, pi), with the three constants."""
    return phi + _floor((phi + PI) * INV_TWO_PI) * MINUS_TWO_PI


class SingularMotorPose(Exception):
    pass


def leg_angle(a, b, q, solution):
    """Motor angle for an anchor at q = (x, y, z) in motor coordinates."""
    x, y, z = q
    A, B = a * a, b * b
    A2, B2 = A * A, B * B
    C = (B + B) * A
    X, Y, Z = x * x, y * y, z * z
    u = (((((x + x) * a + X) + Y) + Z) - B) + A
    X2, Y2, Z2 = X + X, Y + Y, Z + Z
    d = -(X * X)
    d = d - X2 * Y
    d = d - X2 * Z
    d = d + X2 * B
    d = d + X2 * A
    d = d - Y * Y
    d = d - Y2 * Z
    d = d + Y2 * B
    d = d + Y2 * A
    d = d - Z * Z
    d = d + Z2 * B
    d = d - Z2 * A
    d = d - B2
    d = d + C
    d = d - A2
    v = solution * _sqrt(d) + (y + y) * a
    h = math.atan2(v, u)
    return wrap_doubled(h + h)


def anchors_in_motor_frames(branches, t_world_platform, body_yaw=None):
    t = t_world_platform
    if body_yaw is not None:
        t = mat_mul(yaw_prerotation(body_yaw), t)
    out = []
    for branch_platform, t_world_motor, _solution in branches:
        minv = mat_inv(t_world_motor)
        if minv is None:
            raise SingularMotorPose
        out.append(transform_point(mat_mul(minv, t), branch_platform))
    return out


def inverse_kinematics(a, b, branches, t_world_platform, body_yaw=None):
    """One angle per branch; branches are (branch_platform, t_world_motor, solution)."""
    qs = anchors_in_motor_frames(branches, t_world_platform, body_yaw)
    return [leg_angle(a, b, q, br[2]) for q, br in zip(qs, branches)]
