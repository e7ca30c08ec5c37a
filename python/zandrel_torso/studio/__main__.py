"""python -m zandrel_torso.studio [GEOMETRY] [--port PORT] [--load-mass KG]"""

from __future__ import annotations

import argparse
import sys
import threading

from .._geometry import Geometry
from .._load import Load
from .._sample import sample_geometry
from .._torso import Torso
from ._model import Studio


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
    args = parser.parse_args(argv)
    try:
        geometry = sample_geometry() if args.geometry is None else Geometry.load(args.geometry)
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
