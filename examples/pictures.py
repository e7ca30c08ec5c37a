"""Pictures of the sample mechanism: the legs at a tilted pose, and a map of
how far the platform can tilt when lifted 3 cm above home.

Writes mechanism.png and reach_map.png into the given directory (default:
docs/images beside the examples, the pictures the README shows).

Usage: python examples/pictures.py [output-directory]
Needs matplotlib (`pip install zandrel_torso_kinematics[plot]`).
"""

import math
import pathlib
import sys

from zandrel_torso import SAMPLE_HOME_HEIGHT, pose, sample_geometry

DEFAULT_DIRECTORY = pathlib.Path(__file__).resolve().parents[1] / "docs" / "images"


def main(argv):
    try:
        from zandrel_torso.plot import draw, reach_map
    except ImportError:
        print("pictures.py needs matplotlib: `python -m pip install matplotlib`.", file=sys.stderr)
        return 1
    directory = pathlib.Path(argv[1]) if len(argv) > 1 else DEFAULT_DIRECTORY
    directory.mkdir(parents=True, exist_ok=True)
    geometry = sample_geometry()

    tilted = pose(roll=math.radians(12), pitch=math.radians(-6), yaw=math.radians(10), z=SAMPLE_HOME_HEIGHT + 0.004)
    ax = draw(geometry, tilted)
    ax.set_title("Sample mechanism: roll 12°, pitch -6°, yaw 10°, lift 4 mm")
    ax.view_init(elev=22, azim=-60)
    written = [directory / "mechanism.png", directory / "reach_map.png"]
    ax.figure.savefig(written[0], dpi=90)

    # Lifted 3 cm, the rods stand steeper and the edge of reach comes into view.
    ax = reach_map(geometry, z=SAMPLE_HOME_HEIGHT + 0.03, span=math.radians(60), points=91)
    ax.figure.savefig(written[1], dpi=90)
    for path in written:
        print(f"wrote {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
