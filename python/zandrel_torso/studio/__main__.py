"""python -m zandrel_torso.studio [GEOMETRY] [--port PORT] [--load-mass KG]
[--speed DEG_PER_S] [--acceleration DEG_PER_S2]"""

from __future__ import annotations

import argparse
import dataclasses
import math
import sys
import threading

from .._geometry import Geometry, Leg
from .._load import Load
from .._sample import sample_geometry
from .._torso import Torso
from ._model import Studio


def with_servo_limits(geometry: Geometry, speed: float | None, acceleration: float | None) -> Geometry:
    """The geometry with every servo's speed and acceleration limits (rad/s
    and rad/s²) set where given, for trying what a servo would need: the
    sample's servos have none, so their plans arrive at once."""
    if speed is None and acceleration is None:
        return geometry
    legs = []
    for leg in geometry.legs:
        servo = leg.servo
        servo = servo if speed is None else dataclasses.replace(servo, speed=speed)
        servo = servo if acceleration is None else dataclasses.replace(servo, acceleration=acceleration)
        legs.append(Leg(leg.branch_platform, leg.t_world_motor, leg.solution, servo,
                        leg.motor_arm_length, leg.rod_length))
    return Geometry(geometry.motor_arm_length, geometry.rod_length, legs, geometry.unit, geometry.home)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m zandrel_torso.studio",
        description="A live 3D studio of the mechanism in the browser: prints the page's URL, serves until Ctrl-C.",
    )
    parser.add_argument("geometry", nargs="?", help="a geometry file (JSON or TOML); the sample mechanism by default")
    parser.add_argument("--port", type=int, default=8080, help="the port to serve on (the next free one when taken)")
    parser.add_argument("--host", default="127.0.0.1", help="the address to serve on (127.0.0.1: this machine only)")
    parser.add_argument(
        "--load-mass", type=float, metavar="KG",
        help="a mass at the platform's origin under gravity along the world's -Z: adds servo torques to the checks",
    )
    parser.add_argument("--speed", type=float, metavar="DEG_PER_S",
                        help="every servo's speed limit, degrees per second (plans and play keep within it)")
    parser.add_argument("--acceleration", type=float, metavar="DEG_PER_S2",
                        help="every servo's acceleration limit, degrees per second squared")
    args = parser.parse_args(argv)
    try:
        geometry = sample_geometry() if args.geometry is None else Geometry.load(args.geometry)
        geometry = with_servo_limits(
            geometry,
            None if args.speed is None else math.radians(args.speed),
            None if args.acceleration is None else math.radians(args.acceleration),
        )
        load = None if args.load_mass is None else Load(args.load_mass, (0.0, 0.0, 0.0))
        studio = Studio(Torso(geometry), load)
    except (OSError, ValueError) as error:
        print(f"python -m zandrel_torso.studio: {error}", file=sys.stderr)
        return 2
    from ._web import serve

    page = serve(studio, args.host, args.port)
    print(f"zandrel_torso studio: {page.url}", flush=True)
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        pass
    finally:
        page.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
