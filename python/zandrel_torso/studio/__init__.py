"""A live 3D studio in the browser: move the platform with sliders, watch
which leg gives up first, plan through keyframes and play the plan.

    python -m zandrel_torso.studio [GEOMETRY] [--port PORT] [--load-mass KG]
        [--speed DEG_PER_S] [--acceleration DEG_PER_S2]

starts a local web server and prints its URL (needs viser:
`pip install "zandrel_torso_kinematics[studio]"`). `Studio` is the page's
logic without the page: the pose, per-leg readouts and verdicts, keyframes
and their plan; `serve(studio)` binds one to a page.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from ._model import (
    LEG_COLOURS,
    LEGEND,
    PLATFORM_COLOURS,
    LegReadout,
    Offsets,
    Playback,
    Readouts,
    Studio,
    Verdict,
)

if TYPE_CHECKING:
    from ._web import StudioPage

__all__ = [
    "LEGEND",
    "LEG_COLOURS",
    "PLATFORM_COLOURS",
    "LegReadout",
    "Offsets",
    "Playback",
    "Readouts",
    "Studio",
    "StudioPage",
    "Verdict",
    "serve",
]


def serve(studio: Studio, host: str = "127.0.0.1", port: int = 8080) -> StudioPage:
    """Starts the web page for `studio` on host:port (the next free port
    when that one is taken) and returns it: open `page.url` in a browser,
    `page.stop()` ends it. Needs viser, imported only here."""
    from ._web import serve as serve_page

    return serve_page(studio, host, port)


def __getattr__(name: str) -> object:
    if name == "StudioPage":
        from ._web import StudioPage

        return StudioPage
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
