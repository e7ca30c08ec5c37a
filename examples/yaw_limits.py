"""Yaw limits: which body yaw inverse_kinematics_safe actually uses.

The platform is turned 10 degrees about the vertical and the requested body
yaw is swept from -60 to +60 degrees. The body yaw is kept within
max_relative_yaw of the platform's heading first, then within max_body_yaw of
zero, so with the limits below the yaw used always lies in [-10, +25] degrees:
below -10 the relative band bites, above +25 the absolute one does (it wins
where both would).

Run with `python examples/yaw_limits.py` once the module is installed.
"""

import math

from zandrel_torso import SAMPLE_HOME_HEIGHT as HOME_Z
from zandrel_torso import Torso, pose, sample_geometry

PLATFORM_YAW_DEG = 10.0
MAX_RELATIVE_YAW_DEG = 20.0
MAX_BODY_YAW_DEG = 25.0
SWEEP_DEG = range(-60, 61, 5)

# The printed yaws are rounded to 0.001 degree; a clamped yaw sits on a band
# edge up to rounding in the module, far below that.
_ON_EDGE_DEG = 1e-6


def limit_that_acted(requested_deg, used_deg):
    """Name the band the used yaw was pushed onto, judged from the result."""
    if abs(used_deg - requested_deg) <= _ON_EDGE_DEG:
        return "none"
    # The absolute band is applied last, so a yaw on its edge was set by it.
    if abs(abs(used_deg) - MAX_BODY_YAW_DEG) <= _ON_EDGE_DEG:
        return "absolute"
    return "relative"


def main():
    k = Torso(sample_geometry()).kinematics
    t = pose(yaw=math.radians(PLATFORM_YAW_DEG), z=HOME_Z)
    max_relative = math.radians(MAX_RELATIVE_YAW_DEG)
    max_body = math.radians(MAX_BODY_YAW_DEG)

    print(
        f"platform yaw {PLATFORM_YAW_DEG:+.1f} deg, max_relative_yaw "
        f"{MAX_RELATIVE_YAW_DEG:.1f} deg, max_body_yaw {MAX_BODY_YAW_DEG:.1f} deg"
    )
    print(f"{'requested':>10} {'used':>9}  {'limit':<9} {'motor 0':>9} {'motor 1':>9}   (degrees)")
    for requested_deg in SWEEP_DEG:
        used, *angles = k.inverse_kinematics_safe(
            t, math.radians(requested_deg), max_relative, max_body
        )
        used_deg = math.degrees(used)
        # Undoing the heading offset leaves crumbs like -1e-15 deg where the
        # request is zero; print them as the zero they stand for.
        shown_deg = round(used_deg, 3) + 0.0
        print(
            f"{requested_deg:>+10.1f} {shown_deg:>+9.3f}  "
            f"{limit_that_acted(requested_deg, used_deg):<9} "
            f"{math.degrees(angles[0]):>+9.3f} {math.degrees(angles[1]):>+9.3f}"
        )


if __name__ == "__main__":
    main()
