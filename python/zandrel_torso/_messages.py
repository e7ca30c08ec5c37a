"""How a value given by the user appears in an error message.

A message names the file, the key and the leg, and shows what was found
there; what was found may be a list of a million numbers or a string of a
megabyte, which no one reads in a traceback. So it is cut short.
"""

from __future__ import annotations

from collections.abc import Sequence

MAX_SHOWN = 200


def brief(value: object, limit: int = MAX_SHOWN) -> str:
    """repr(value) (str for an exception: its message), at most `limit`
    characters, ending in "..." when cut."""
    try:
        text = str(value) if isinstance(value, BaseException) else repr(value)
    except Exception:  # a user object whose repr fails is still named
        text = f"<{type(value).__name__}>"
    return text if len(text) <= limit else text[: limit - 3] + "..."


def listing(items: Sequence[str], limit: int = 8) -> str:
    """The items joined by commas, the first `limit` of them and a count of
    the rest: an error about a thousand legs names a few."""
    shown = ", ".join(items[:limit])
    return shown if len(items) <= limit else f"{shown} and {len(items) - limit} more"
