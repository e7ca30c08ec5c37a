"""The sample mechanism, about the size of a desktop robot's head.

Layout (world frame: z up, origin on the base plate under the platform):

* Six motors sit on a circle of radius 60 mm at height 78 mm, in three pairs
  centred on the azimuths 0, 120 and 240 degrees; the two motors of a pair
  are 20 degrees either side of the pair's centre.
* Each motor shaft is horizontal and radial, so its 40 mm horn turns in a
  vertical plane tangential to the motor circle. In every motor frame +X
  points straight up and +Y is the horizontal tangent pointing away from the
  motor's partner (+Z, the shaft, then points inwards for one motor of the
  pair and outwards for the other: the two are mounted mirror-wise). So for
  every leg angle 0 is the horn pointing straight up, and +90 degrees is the
  horn level and pointing away from its partner, which is about where it
  sits at home. (With the zero a quarter turn from the home position, both
  closed-form roots of every leg stay well away from +-pi over the whole
  working range; near +-pi the half-angle formula loses precision.)
* Each 85 mm rod runs from its horn tip up and inwards to an anchor under the
  platform: anchors on a circle of radius 35 mm, 30 mm below the platform
  origin, in pairs 16 degrees either side of the same three azimuths. The two
  rods of a pair lean towards each other.
* The home pose (the file's "home") puts the platform origin 177 mm above
  the world origin, with no rotation: the body-yaw axis used by the forward kinematics passes
  through it, so a body yaw turns the platform about its own vertical axis.
* Every leg uses ``solution = +1``: the assembly mode in which, at home, the
  horns stand about level and point away from their partners (the other mode
  folds each horn back under its rod, towards the partner).
* Every motor is a hobby servo of +-60 degrees, commanded by pulses of 900 to
  2100 microseconds, centred with its horn level (servo zero at leg angle
  +90 degrees). The servos are mounted with their output shafts pointing
  outwards, so those of the legs whose motor frame points inwards (legs 0, 2
  and 4) turn against the leg angle: their direction is -1.

From home, each leg stays well inside its reach through +-20 degrees of roll,
pitch and yaw combined with +-1 cm of translation along every axis.
"""

from __future__ import annotations

import functools
from importlib import resources

from ._arrays import FloatArray
from ._formulas import pose
from ._geometry import UNITS, Geometry

SAMPLE_HOME_HEIGHT = 0.177
"""Height of the sample's platform origin above the world origin at home, in metres."""


@functools.cache
def _sample_in_metres() -> Geometry:
    with resources.as_file(resources.files("zandrel_torso") / "sample_geometry.json") as path:
        return Geometry.load(path)


def sample_geometry(unit: str = "m") -> Geometry:
    """The sample six-leg mechanism (see the module's description), in metres
    or, with unit="mm", in millimetres. Its file, sample_geometry.json in
    this package, shows the layout Geometry.load reads."""
    return _sample_in_metres().in_unit(unit)


def sample_home_pose(unit: str = "m") -> FloatArray:
    """The sample's home pose: no rotation, platform origin SAMPLE_HOME_HEIGHT
    above the world origin (in `unit`)."""
    if unit not in UNITS:
        raise ValueError(f'unit must be "m" or "mm", got {unit!r}')
    height = SAMPLE_HOME_HEIGHT * 1000.0 if unit == "mm" else SAMPLE_HOME_HEIGHT
    return pose(z=height)
