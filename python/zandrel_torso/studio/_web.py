"""The studio's web page: a viser scene and panel bound to a `Studio`.

The scene is built once. A move then sets the pose of the platform frame,
each horn's turn about its shaft and each rod's place and direction, and a
colour or a label only where a leg's verdict changed: a handful of small
messages, sent together, rather than a new scene.
"""

from __future__ import annotations

import html
import math
import threading
import time
from typing import Any

import numpy as np

try:
    import viser
except ImportError as error:
    raise ImportError(
        'the studio needs viser: pip install "zandrel_torso_kinematics[studio]"'
    ) from error

from .._arrays import FloatArray
from .._workspace import AXES
from ._model import LEGEND, ROD_COLOUR, LegReadout, Offsets, Playback, Readouts, Rgb, Studio

_ANGLES = ("roll", "pitch", "yaw")


def _wxyz(rotation: FloatArray) -> FloatArray:
    """The unit quaternion (w, x, y, z) of a 3x3 rotation."""
    m = rotation
    trace = m[0, 0] + m[1, 1] + m[2, 2]
    if trace > 0.0:
        s = 2.0 * math.sqrt(1.0 + trace)
        q = (0.25 * s, (m[2, 1] - m[1, 2]) / s, (m[0, 2] - m[2, 0]) / s, (m[1, 0] - m[0, 1]) / s)
    else:
        i = int(np.argmax(np.diag(m)))
        j, k = (i + 1) % 3, (i + 2) % 3
        s = 2.0 * math.sqrt(max(1.0 + m[i, i] - m[j, j] - m[k, k], 0.0))
        out = [0.0] * 4
        out[0] = (m[k, j] - m[j, k]) / s
        out[1 + i] = 0.25 * s
        out[1 + j] = (m[j, i] + m[i, j]) / s
        out[1 + k] = (m[k, i] + m[i, k]) / s
        q = (out[0], out[1], out[2], out[3])
    return np.array(q, dtype=np.float64)


def _z_onto(direction: FloatArray) -> FloatArray:
    """The shortest turn (w, x, y, z) taking +Z onto a unit vector."""
    w = 1.0 + float(direction[2])
    if w < 1e-9:  # straight down: half a turn about X
        return np.array([0.0, 1.0, 0.0, 0.0])
    q = np.array([w, -float(direction[1]), float(direction[0]), 0.0])
    out: FloatArray = q / np.linalg.norm(q)
    return out


def _hex(colour: Rgb) -> str:
    return "#{:02x}{:02x}{:02x}".format(*colour)


def _number(value: float | None, digits: int) -> str:
    return "–" if value is None or not math.isfinite(value) else f"{value:.{digits}f}"


def _degrees(value: float) -> str:
    return _number(math.degrees(value) if math.isfinite(value) else value, 1)


def readouts_html(readouts: Readouts, with_torque: bool) -> str:
    """The per-leg table, the singularity margin and the check's lines."""
    head = ["leg", "θ °", "servo °", "pulse µs", "reach", "servo margin °"] + (["torque N m"] if with_torque else [])
    rows = []
    for leg in readouts.legs:
        cells = [
            f'<span style="color:{_hex(leg.colour)}">■</span> {leg.leg}',
            _degrees(leg.angle), _degrees(leg.servo), _number(leg.pulse, 0), _number(leg.reach, 2),
            _degrees(leg.servo_margin),
        ] + ([_number(leg.torque, 3)] if with_torque else [])
        rows.append(_row(cells, leg))
    margin = f"singularity margin {_number(readouts.singularity_margin, 3)}"
    lines = readouts.explain or ("every leg reaches and every servo is within its limits",)
    verdict = "ok" if readouts.ok else "cannot be commanded"
    return (
        '<table style="width:100%;font-size:0.78em;border-collapse:collapse;text-align:right">'
        + "<tr>" + "".join(f"<th>{h}</th>" for h in head) + "</tr>"
        + "".join(rows)
        + "</table>"
        + f'<p style="font-size:0.8em;margin:4px 0"><b>{verdict}</b>; '
        + f'<span style="color:{_hex(readouts.platform_colour)}">■</span> {margin}</p>'
        + '<ul style="font-size:0.8em;margin:0;padding-left:1.2em">'
        + "".join(f"<li>{html.escape(line)}</li>" for line in lines)
        + "</ul>"
    )


def _row(cells: list[str], leg: LegReadout) -> str:
    style = "" if leg.verdict == "ok" else f' style="color:{_hex(leg.colour)}"'
    return f"<tr{style}>" + "".join(f"<td>{cell}</td>" for cell in cells) + "</tr>"


def legend_html() -> str:
    items = "".join(
        f'<li><span style="color:{_hex(colour)}">■</span> {what}</li>' for what, colour in LEGEND
    )
    return f'<ul style="list-style:none;font-size:0.8em;margin:0;padding:0">{items}</ul>'


def workspace_markdown(studio: Studio) -> str:
    found = studio.workspace()
    if isinstance(found, str):
        return found
    unit = studio.geometry.unit
    rows = [
        f"| {axis} | ± {math.degrees(getattr(found, axis)):.1f}° |" if axis in _ANGLES
        else f"| {axis} | ± {getattr(found, axis):.4g} {unit} |"
        for axis in AXES
    ]
    return "From home, one axis at a time:\n\n| axis | excursion |\n|---|---|\n" + "\n".join(rows)


class StudioPage:
    """A viser server showing `studio`: build it, then open `url`.

    move(offsets) is what a slider does: the studio moves, then the scene's
    nodes follow; go_to(offsets) puts the sliders there too; play() is the
    "play" button.
    """

    def __init__(self, studio: Studio, host: str = "127.0.0.1", port: int = 8080) -> None:
        self.studio = studio
        self._lock = threading.RLock()
        self._stop_playing = threading.Event()
        self._player: threading.Thread | None = None
        self._syncing = False
        self.server = viser.ViserServer(host=host, port=port, label="zandrel_torso studio", verbose=False)
        self._shown: list[tuple[str, bool]] = []  # per leg: the label shown, and whether its horn is
        self._build_scene()
        self._build_panel()
        self.draw()

    @property
    def url(self) -> str:
        host = self.server.get_host()
        shown = "127.0.0.1" if host in ("0.0.0.0", "") else host
        return f"http://{shown}:{self.server.get_port()}"

    def stop(self) -> None:
        self._stop_playing.set()
        if self._player is not None:
            self._player.join(timeout=2.0)
        self.server.stop()

    # -- building ----------------------------------------------------------------

    def _build_scene(self) -> None:
        studio, scene = self.studio, self.server.scene
        geometry = studio.geometry
        horns = geometry.motor_arm_lengths
        a = float(np.max(horns)) if len(horns) else 1.0
        scene.set_up_direction("+z")
        points = studio.leg_points()
        home = studio.home
        span = float(np.ptp(np.vstack([points.origins, points.anchors, home[None, :3, 3]]), axis=0).max())
        scene.add_grid(
            "/ground", width=3.0 * span, height=3.0 * span, cell_size=span / 10.0, section_size=span / 2.0,
            shadow_opacity=0.0,
        )
        scene.add_frame("/world", axes_length=0.8 * a, axes_radius=0.03 * a)
        scene.add_label("/world/name", "world", position=(0.0, 0.0, -0.15 * a), font_screen_scale=0.8)
        self._platform = scene.add_frame("/platform", axes_length=0.8 * a, axes_radius=0.03 * a)
        scene.add_label("/platform/name", "platform", position=(0.0, 0.0, 0.15 * a), font_screen_scale=0.8)
        outline = studio.outline()
        self._plate: viser.MeshHandle | None = None
        if len(outline) >= 3:
            vertices = np.vstack([outline.mean(axis=0, keepdims=True), outline])  # a fan about the centre
            n = len(outline)
            faces = np.array([[0, 1 + k, 1 + (k + 1) % n] for k in range(n)], dtype=np.uint32)
            self._plate = scene.add_mesh_simple(
                "/platform/plate", vertices, faces, color=studio.readouts().platform_colour, opacity=0.55,
                side="double", cast_shadow=False, receive_shadow=False,
            )
        for index, anchor in enumerate(outline):
            scene.add_icosphere(f"/platform/anchors/{index}", radius=0.08 * a, color=(20, 20, 20), position=anchor)
        self._horns: list[viser.FrameHandle] = []
        self._horn_bodies: list[viser.CylinderHandle] = []
        self._rods: list[viser.FrameHandle] = []
        self._rod_bodies: list[viser.CylinderHandle] = []
        self._labels: list[viser.LabelHandle] = []
        rods = geometry.rod_lengths
        for index, leg in enumerate(geometry.legs):
            motor = leg.t_world_motor
            horn, rod = float(horns[index]), float(rods[index])
            name = f"/motors/{index}"
            scene.add_frame(name, show_axes=False, position=motor[:3, 3], wxyz=_wxyz(motor[:3, :3]))
            # The servo's body behind the horn, its output shaft out along +Z.
            scene.add_cylinder(f"{name}/body", radius=0.28 * a, height=0.7 * a, color=(90, 90, 90),
                               position=(0.0, 0.0, -0.45 * a))
            scene.add_cylinder(f"{name}/shaft", radius=0.06 * a, height=0.3 * a, color=(200, 200, 200),
                               position=(0.0, 0.0, -0.05 * a))
            self._horns.append(scene.add_frame(f"{name}/horn", show_axes=False))
            # A cylinder stands along its own Z: a quarter turn about Y lays it along the horn.
            along_x = (math.sqrt(0.5), 0.0, math.sqrt(0.5), 0.0)
            self._horn_bodies.append(scene.add_cylinder(
                f"{name}/horn/body", radius=0.07 * a, height=horn, wxyz=along_x, position=(horn / 2.0, 0.0, 0.0),
                color=studio.readouts().legs[index].colour,
            ))
            scene.add_icosphere(f"{name}/horn/tip", radius=0.09 * a, color=(20, 20, 20), position=(horn, 0.0, 0.0))
            self._rods.append(scene.add_frame(f"/rods/{index}", show_axes=False))
            # A cylinder of unit height, stretched to the rod's length; a leg
            # out of reach stretches it, thinner, from its motor to its anchor.
            self._rod_bodies.append(scene.add_cylinder(
                f"/rods/{index}/body", radius=0.04 * a, height=1.0, scale=(1.0, 1.0, rod),
                position=(0.0, 0.0, rod / 2.0), color=ROD_COLOUR,
            ))
            below = motor[:3, 3] - 0.7 * horn * motor[:3, 0]
            self._labels.append(scene.add_label(f"/labels/{index}", str(index), position=below, anchor="center-center"))
            self._shown.append((str(index), True))
        centre = 0.5 * (points.origins.mean(axis=0) + home[:3, 3]) if len(points.origins) else home[:3, 3]
        camera = self.server.initial_camera
        camera.look_at = centre
        camera.position = centre + span * np.array([1.3, -1.8, 0.9])
        camera.up = (0.0, 0.0, 1.0)

    def _build_panel(self) -> None:
        gui, studio = self.server.gui, self.studio
        gui.configure_theme(control_width="large", show_share_button=False)
        limits = studio.slider_limits()
        unit = studio.geometry.unit
        step = 0.1 if unit == "mm" else 1e-4
        self._sliders: dict[str, viser.GuiSliderHandle[float]] = {}
        with gui.add_folder("Pose (from home)"):
            for axis in AXES:
                limit = float(getattr(limits, axis))
                if axis in _ANGLES:
                    label, grain = f"{axis} °", 0.1
                else:
                    label, grain = f"{axis} {unit}", step
                limit = grain * math.floor(limit / grain)
                slider = gui.add_slider(label, min=-limit, max=limit, step=grain, initial_value=0.0)
                slider.on_update(self._on_slider)
                self._sliders[axis] = slider
            gui.add_button("home", icon=viser.Icon.HOME).on_click(lambda _: self._home())
        with gui.add_folder("Legs"):
            if studio.load is not None:
                centre = ", ".join(f"{v:g}" for v in studio.load.centre)
                gui.add_markdown(f"load: {studio.load.mass:g} kg at ({centre}) {unit} on the platform")
            self._table = gui.add_html("")
        with gui.add_folder("Legend"):
            gui.add_html(legend_html())
        with gui.add_folder("Motion"):
            gui.add_button("add keyframe").on_click(lambda _: self._add_keyframe())
            gui.add_button("clear keyframes").on_click(lambda _: self._clear_keyframes())
            gui.add_button("play", icon=viser.Icon.PLAYER_PLAY).on_click(self._on_play)
            self._motion = gui.add_markdown("no keyframes yet")
        with gui.add_folder("Workspace"):
            gui.add_markdown(workspace_markdown(studio))

    # -- updating ----------------------------------------------------------------

    def move(self, offsets: Offsets) -> Readouts:
        """Moves the studio to slider values and redraws: what a slider does."""
        with self._lock:
            readouts = self.studio.set_offsets(
                offsets.roll, offsets.pitch, offsets.yaw, offsets.x, offsets.y, offsets.z
            )
            self.draw()
            return readouts

    def go_to(self, offsets: Offsets) -> Readouts:
        """Puts the sliders at `offsets` and moves there, as a user would."""
        self._set_sliders(offsets)
        return self.move(offsets)

    def draw(self) -> None:
        """Moves the scene's nodes to the studio's current pose."""
        with self._lock, self.server.atomic():
            studio = self.studio
            readouts = studio.readouts()
            pose = readouts.pose
            points = studio.leg_points()
            self._platform.position = pose[:3, 3]
            self._platform.wxyz = _wxyz(pose[:3, :3])
            if self._plate is not None and tuple(self._plate.color) != readouts.platform_colour:
                self._plate.color = readouts.platform_colour
            rods = studio.geometry.rod_lengths
            for index, leg in enumerate(readouts.legs):
                reaches = math.isfinite(leg.angle)
                start = points.tips[index] if reaches else points.origins[index]
                line = points.anchors[index] - start
                length = float(np.linalg.norm(line))
                self._rods[index].position = start
                self._rods[index].wxyz = _z_onto(line / length) if length > 0.0 else (1.0, 0.0, 0.0, 0.0)
                body = self._rod_bodies[index]
                if reaches:
                    half = 0.5 * leg.angle
                    self._horns[index].wxyz = (math.cos(half), 0.0, 0.0, math.sin(half))
                    if not self._shown[index][1]:
                        rod = float(rods[index])
                        body.scale, body.position = (1.0, 1.0, rod), (0.0, 0.0, rod / 2.0)
                else:
                    body.scale, body.position = (0.5, 0.5, length), (0.0, 0.0, length / 2.0)
                label = str(index) if leg.verdict == "ok" else f"{index}: {leg.verdict}"
                if self._shown[index] != (label, reaches):
                    self._labels[index].text = label
                    self._horns[index].visible = reaches
                    self._shown[index] = (label, reaches)
                if tuple(self._horn_bodies[index].color) != leg.colour:
                    self._horn_bodies[index].color = leg.colour
                rod_colour = ROD_COLOUR if leg.verdict == "ok" else leg.colour
                if tuple(body.color) != rod_colour:
                    body.color = rod_colour
            self._table.content = readouts_html(readouts, studio.load is not None)

    def _slider_offsets(self) -> Offsets:
        return Offsets(**{axis: float(slider.value) for axis, slider in self._sliders.items()})

    def _on_slider(self, _: Any) -> None:
        if self._syncing:
            return
        self._stop_playing.set()
        self.move(self._slider_offsets())

    def _set_sliders(self, offsets: Offsets) -> None:
        """Puts the sliders at `offsets` without a move per slider."""
        with self._lock:
            self._syncing = True
            try:
                for axis, slider in self._sliders.items():
                    # viser's stub types the slider's value as read-only; its setter is the documented way.
                    setattr(slider, "value", float(getattr(offsets, axis)))
            finally:
                self._syncing = False

    def _home(self) -> None:
        self._stop_playing.set()
        self.go_to(Offsets())

    def _add_keyframe(self) -> None:
        with self._lock:
            count = self.studio.add_keyframe()
        self._motion.content = f"{count} keyframe{'s' if count != 1 else ''}"

    def _clear_keyframes(self) -> None:
        with self._lock:
            self.studio.clear_keyframes()
        self._motion.content = "no keyframes yet"

    def _on_play(self, _: Any) -> None:
        self.play()

    def play(self) -> Playback:
        """What the "play" button does: plans through the studio's
        keyframes and moves the scene along the plan in real time, in a
        thread of its own (see `playing`); a plan that fails is shown in
        words. Returns what the studio's play gave."""
        self._stop_playing.set()
        if self._player is not None:
            self._player.join(timeout=2.0)
        with self._lock:
            playback = self.studio.play()
            last = len(self.studio.keyframes) - 1
            offsets = self.studio.keyframe_offsets(last) if last >= 0 else None
        self._motion.content = playback.message if playback.trajectory else f"cannot play: {playback.message}"
        if playback.trajectory is None:
            return playback
        trajectory = playback.trajectory
        self._stop_playing = threading.Event()
        stop = self._stop_playing

        def run() -> None:
            start = time.monotonic()
            shown = -1
            while not stop.is_set():
                # Real time: the sample due now, skipping any a slow redraw passed.
                due = int(np.searchsorted(trajectory.times, time.monotonic() - start, side="right")) - 1
                due = min(due, len(trajectory.times) - 1)
                if due != shown:
                    with self._lock:
                        if stop.is_set():
                            return
                        self.studio.set_pose(trajectory.poses[due])
                        self.draw()
                    shown = due
                if shown == len(trajectory.times) - 1:
                    break
                wait = trajectory.times[shown + 1] - (time.monotonic() - start)
                stop.wait(max(float(wait), 0.0))
            if not stop.is_set() and offsets is not None:
                # At the last keyframe: the sliders show where it is.
                self.go_to(offsets)

        self._player = threading.Thread(target=run, name="studio playback", daemon=True)
        self._player.start()
        return playback

    @property
    def playing(self) -> threading.Thread | None:
        """The thread playing the last plan, if any (it ends with the plan)."""
        return self._player


def serve(studio: Studio, host: str = "127.0.0.1", port: int = 8080) -> StudioPage:
    """Starts the page for `studio` on host:port (the next free port when
    that one is taken): open `page.url` in a browser."""
    return StudioPage(studio, host, port)
