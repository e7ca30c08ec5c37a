"""Pictures: the sample mechanism at a tilted pose, a head built with
Geometry.three_pairs seen from the top, and a map of how far the sample's
platform can tilt when lifted 3 cm above home, its servos' ranges included.

Writes mechanism.png, head_top.png and reach_map.png into the given directory (default:
docs/images beside the examples, the pictures the README shows).

Usage: python examples/pictures.py [output-directory]
Needs matplotlib (`pip install zandrel_torso_kinematics[plot]`).
"""

import math
import pathlib
import sys

from zandrel_torso import Geometry, pose, sample_geometry

DEFAULT_DIRECTORY = pathlib.Path(__file__).resolve().parents[1] / "docs" / "images"


def main(argv):
    try:
        from zandrel_torso.plot import draw, reach_map
    except ImportError:
        print("pictures.py needs matplotlib: `python -m pip install matplotlib`.", file=sys.stderr)
        return 1
    directory = pathlib.Path(argv[1]) if len(argv) > 1 else DEFAULT_DIRECTORY
    directory.mkdir(parents=True, exist_ok=True)
    geometry = sample_geometry("mm")
    written = [directory / name for name in ("mechanism.png", "head_top.png", "reach_map.png")]

    tilted = geometry.home @ pose(roll=math.radians(12), pitch=math.radians(-6), yaw=math.radians(10), z=4.0)
    draw(geometry, tilted).figure.savefig(written[0], dpi=90)

    head = Geometry.three_pairs(base_radius=60.0, base_spread=math.radians(40), platform_radius=40.0,
                                platform_spread=math.radians(30), motor_arm_length=25.0, rod_length=95.0,
                                home_height=90.0, unit="mm")
    draw(head, head.home, view="top").figure.savefig(written[1], dpi=90)

    # Lifted 3 cm, the rods stand steeper and the edge of reach comes into
    # view; the servos' +-60 degrees end the tilt well before it.
    ax = reach_map(geometry, z=geometry.home[2, 3] + 30.0, span=math.radians(60), points=91)
    ax.figure.savefig(written[2], dpi=90)
    for path in written:
        print(f"wrote {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
