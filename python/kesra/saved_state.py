"""What a `KesraNNS` pickles to, and the checksum that lets a load refuse a damaged one.

A pickle holds the engine's state bytes beside the package's own fields (radius,
`nonfinite`, the map of rows left out, the row count, origin and chosen method) and a
SHA-256 over all of them. Loading checks it before the engine decodes a byte and refuses
a mismatch with ValueError: the engine's decoder checks only the byte format, so a
changed byte that keeps the format would otherwise load and answer differently, or fail
on a later query. Pickles written before the checksum hold the engine itself and load
as they always did, unchecked.
"""

from __future__ import annotations

import hashlib
import hmac
from typing import Any, NamedTuple

import numpy as np
from numpy.typing import NDArray

from kesra._kesra import KesraNNSEngine
from kesra.method_choice import Choice
from kesra.origin import chosen_origin
from kesra.rows import MAX_ENGINE_ROWS, NonFinite

__all__ = ["Fields", "restored", "saved"]

KEYS = frozenset({"engine_state", "radius", "nonfinite", "rows", "num_rows", "origin", "choice", "checksum"})
DAMAGED = "the pickled KesraNNS is damaged: its checksum does not match what it holds"


class Fields(NamedTuple):
    """What a `KesraNNS` holds."""

    engine: KesraNNSEngine
    radius: float
    nonfinite: NonFinite
    rows: NDArray[Any] | None  # engine row -> caller row, with a trailing -1; None for the same rows
    num_rows: int
    origin: NDArray[np.float64] | None
    choice: Choice | None


def saved(fields: Fields) -> dict[str, Any]:
    """The pickled state of `fields`, with its checksum."""
    state = {"engine_state": fields.engine.__getstate__(), "radius": fields.radius,
             "nonfinite": fields.nonfinite, "rows": fields.rows, "num_rows": fields.num_rows,
             "origin": None if fields.origin is None else tuple(float(v) for v in fields.origin),
             "choice": None if fields.choice is None else tuple(fields.choice)}
    state["checksum"] = checksum(state)
    return state


def checksum(state: dict[str, Any]) -> bytes:
    """SHA-256 over the engine's state bytes, the map of rows (with its type and shape)
    and the other fields as their exact repr."""
    engine_state, rows = state["engine_state"], state["rows"]
    if not isinstance(engine_state, bytes) or not (rows is None or isinstance(rows, np.ndarray)):
        raise ValueError(DAMAGED)
    digest = hashlib.sha256(engine_state)
    layout = None if rows is None else (rows.dtype.str, rows.shape)
    digest.update(repr((state["radius"], state["nonfinite"], state["num_rows"], state["origin"], state["choice"],
                        layout)).encode())
    if rows is not None:
        digest.update(np.ascontiguousarray(rows).tobytes())
    return digest.digest()


def restored(state: dict[str, Any]) -> Fields:
    """The fields of a pickled state, checked; ValueError for a damaged one."""
    if not isinstance(state, dict):
        raise TypeError(f"expected a dict as the state, got {type(state).__name__}")
    if "engine_state" in state:
        if set(state) != KEYS or not isinstance(state["checksum"], bytes) or \
                not hmac.compare_digest(state["checksum"], checksum(state)):
            raise ValueError(DAMAGED)
        engine = KesraNNSEngine(np.zeros((0, 3), np.float32), 1.0)
        engine.__setstate__(state["engine_state"])
    elif "engine" in state:
        engine = state["engine"]
        if not isinstance(engine, KesraNNSEngine):
            raise TypeError(f"expected a KesraNNSEngine in the state, got {type(engine).__name__}")
    else:
        raise ValueError("not a KesraNNS state: it holds no engine")
    # States written before rows could be left out hold every row, under the engine's rules.
    setting = state.get("nonfinite", "keep")
    if setting not in ("drop", "keep"):
        raise ValueError(f"unknown nonfinite setting {setting!r} in the state")
    nonfinite: NonFinite = "drop" if setting == "drop" else "keep"
    num_rows = int(state.get("num_rows", len(engine)))
    rows = state.get("rows")
    if rows is not None:
        rows = np.array(rows, np.int64 if num_rows > MAX_ENGINE_ROWS else np.int32)
        inside = rows[:-1]
        if rows.shape != (len(engine) + 1,) or rows[-1] != -1 or num_rows < len(engine) or \
                (len(inside) and (inside[0] < 0 or inside[-1] >= num_rows or (np.diff(inside) <= 0).any())):
            raise ValueError("the state's row numbers do not match its engine")
        rows.flags.writeable = False
    elif num_rows != len(engine):
        raise ValueError("the state's row count does not match its engine")
    # States written before the origin existed hold unshifted points.
    origin = state.get("origin")
    if origin is not None:
        origin = chosen_origin(np.zeros((0, 3)), 1.0, origin)
    choice = state.get("choice")
    choice = None if choice is None else Choice(*choice)
    if choice is not None and choice.method != engine.method:
        raise ValueError("the state's chosen method does not match its engine")
    return Fields(engine, float(state["radius"]), nonfinite, rows, num_rows, origin, choice)
