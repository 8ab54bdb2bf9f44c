"""Coordinates wider than float32, and the origin they are shifted by before they become
float32: one rule for `KesraNNS` and the command line.

float32 keeps 24 bits: georeferenced coordinates (hundreds of kilometres) keep only
decimetres. Shifted by the whole-number floor of the cloud's minimum corner, they keep
their precision, and no distance changes (the shift is exact in float64).
"""

from __future__ import annotations

import os
import sys
import warnings
from types import FrameType
from typing import Any, Literal

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = ["Origin", "PrecisionWarning", "chosen_origin", "shift_for", "to_float32", "warn_if_coarse"]

Origin = Literal["auto"] | ArrayLike | None
AUTO_SHIFT_SHARE = 1e-4  # "auto" shifts when float32 steps at the cloud exceed this share of r
WARN_SHARE = 1e-3  # ... and float32 coordinates this coarse get a warning
PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__)) + os.sep
INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1


class PrecisionWarning(UserWarning):
    """float32 coordinates so far from the origin that their spacing is a noticeable share
    of the radius: distances lose that much precision."""


def finite_bounds(points: NDArray[Any]) -> tuple[NDArray[Any], NDArray[Any]] | None:
    """Minimum and maximum corner of the rows with three finite coordinates, or None."""
    finite = points if np.isfinite(points).all() else points[np.isfinite(points).all(axis=1)]
    if not len(finite):
        return None
    return finite.min(axis=0), finite.max(axis=0)


def corner_floor(points: NDArray[Any]) -> NDArray[np.float64]:
    """The whole-number floor of the minimum corner of the finite rows (0 without any)."""
    bounds = finite_bounds(points)
    return np.zeros(3) if bounds is None else floor_of(bounds[0])


def floor_of(low: NDArray[Any]) -> NDArray[np.float64]:
    """The whole-number floor of `low` in float64. Integers beyond float64's 2**53 get the
    nearest float64 below them, so that no row lies below the corner."""
    corner: NDArray[np.float64] = np.floor(low.astype(np.float64))
    if low.dtype.kind in "iu":
        above = np.array([int(c) > int(v) for c, v in zip(corner, low, strict=True)])
        corner = np.where(above, np.nextafter(corner, -np.inf), corner)
    return corner


def float32_step(points: NDArray[Any]) -> tuple[float, float]:
    """The largest absolute finite coordinate and the spacing of float32 values there."""
    # Reductions over the whole array: per-column ones over (N, 3) rows run at a sixth
    # of the speed, which cost more than a small cloud's build.
    finite = points if np.isfinite(points).all() else points[np.isfinite(points).all(axis=1)]
    if not finite.size:
        return 0.0, 0.0
    largest = max(abs(float(finite.min())), abs(float(finite.max())))
    with np.errstate(over="ignore"):
        return largest, float(np.spacing(np.float32(largest)))


def shift_for(*clouds: NDArray[Any]) -> NDArray[np.float64]:
    """The command line's offset: the first cloud's `corner_floor` when any cloud is wider
    than float32, else 0 (float32 input has no precision to save)."""
    if all(np.can_cast(c.dtype, np.float32) for c in clouds):
        return np.zeros(3)
    return corner_floor(clouds[0])


def chosen_origin(points: NDArray[Any], radius: float, origin: Origin) -> NDArray[np.float64] | None:
    """The shift `KesraNNS` applies to (N, 3) `points` for its `origin` argument: None
    for none. "auto" shifts by `corner_floor` only points wider than float32, and only
    where float32 would lose precision that matters at this radius: its spacing at the
    largest coordinate above AUTO_SHIFT_SHARE of r. Three numbers are a shift of the
    caller's choice."""
    if isinstance(origin, str) and origin == "auto" and not np.can_cast(points.dtype, np.float32):
        bounds = finite_bounds(points)
        if bounds is None:
            return None
        return origin_for_bounds(points.dtype, floor_of(bounds[0]), bounds[1].astype(np.float64), radius, origin)
    return origin_for_bounds(points.dtype, np.zeros(3), np.zeros(3), radius, origin)


def origin_for_bounds(dtype: np.dtype[Any], low: NDArray[np.float64], high: NDArray[np.float64], radius: float,
                      origin: Origin) -> NDArray[np.float64] | None:
    """`chosen_origin` for points of `dtype` whose finite rows span `low` to `high`
    (float64), for clouds that are never in memory at once."""
    if origin is None:
        return None
    if isinstance(origin, str):
        if origin != "auto":
            raise ValueError(f'origin must be "auto", None or three coordinates, got {origin!r}')
        if np.can_cast(dtype, np.float32):
            return None
        largest = max(abs(float(low.min())), abs(float(high.max())))
        with np.errstate(over="ignore"):
            if float(np.spacing(np.float32(largest))) <= AUTO_SHIFT_SHARE * radius:
                return None
        shift = np.floor(low)
    else:
        try:
            shift = np.array(origin, np.float64).reshape(-1)
        except (TypeError, ValueError):
            raise TypeError(f'origin must be "auto", None or three coordinates, got {origin!r}') from None
        if shift.shape != (3,) or not np.isfinite(shift).all():
            raise ValueError(f"origin must be three finite coordinates, got {origin!r}")
    if not shift.any():
        return None
    shift.flags.writeable = False
    return shift


def to_float32(points: NDArray[Any], offset: NDArray[np.float64] | None, name: str = "points",
               ) -> NDArray[np.float32]:
    """C-contiguous float32 `points - offset`, subtracted in float64, or for integers
    beyond float64's 2**53 in integers first. Coordinates beyond float32's range become
    infinite with a PrecisionWarning that says so (`name` names the array)."""
    with np.errstate(over="raise"):
        try:
            return narrowed(points, offset, name)
        except FloatingPointError:
            pass
    with np.errstate(over="ignore"):
        result = narrowed(points, offset, name)
    rows = int((~np.isfinite(result).all(axis=1) & np.isfinite(points).all(axis=1)).sum())
    warn_precision(f"{name}: coordinates beyond float32's range (magnitudes above "
                   f"{float(np.finfo(np.float32).max):.8g}) become infinite in float32, and these "
                   f"{rows:,} rows become non-finite rows")
    return result


def narrowed(points: NDArray[Any], offset: NDArray[np.float64] | None, name: str) -> NDArray[np.float32]:
    if offset is None or not offset.any():
        return np.ascontiguousarray(points, dtype=np.float32)
    if points.dtype.kind in "iu" and points.dtype.itemsize > 4 and len(points):
        lows, highs = points.min(axis=0), points.max(axis=0)
        if max(-int(lows.min()), int(highs.max())) > 2**53:
            return np.ascontiguousarray(integer_shifted(points, offset, lows, highs, name), dtype=np.float32)
    return np.ascontiguousarray(points.astype(np.float64) - offset, dtype=np.float32)


def integer_shifted(points: NDArray[Any], offset: NDArray[np.float64], lows: NDArray[Any], highs: NDArray[Any],
                    name: str) -> NDArray[np.float64]:
    """`points - offset` in float64 for 64-bit integers that float64 cannot hold: the
    whole part of the offset is subtracted in integers, exactly, the fraction after."""
    whole = np.floor(offset)
    out = np.empty(points.shape, np.float64)
    for axis in range(3):
        column, shift = points[:, axis], int(whole[axis])
        low, high = int(lows[axis]), int(highs[axis])
        if high <= INT64_MAX and INT64_MIN <= min(shift, low - shift) and max(shift, high - shift) <= INT64_MAX:
            out[:, axis] = column.astype(np.int64, copy=False) - np.int64(shift)  # cannot overflow: checked
        elif points.dtype == np.uint64 and 0 <= shift <= low:
            out[:, axis] = column - np.uint64(shift)
        else:
            raise ValueError(f"{name}: integer coordinates from {low} to {high} cannot be shifted by the origin "
                             f"{shift} within 64-bit integers; subtract a nearer origin first")
    out -= offset - whole
    return out


def warn_precision(message: str) -> None:
    """A PrecisionWarning attributed to the first caller outside this package."""
    level, frame = 1, sys._getframe(0)  # type: int, FrameType | None
    while frame is not None and frame.f_code.co_filename.startswith(PACKAGE_DIR):
        level, frame = level + 1, frame.f_back
    warnings.warn(message, PrecisionWarning, stacklevel=level)


def warn_if_coarse(points: NDArray[Any], radius: float, queries: bool = False) -> None:
    """Warns when float32 `points` lie so far from the origin that their spacing exceeds
    WARN_SHARE of the radius. `queries` are float32 queries to a search with an origin,
    which shifting can no longer help."""
    largest, step = float32_step(points)
    if step > WARN_SHARE * radius:
        remedy = ("This search shifts queries by its origin after they became float32, too late to keep what "
                  "float32 lost: pass them in float64." if queries else
                  "Pass float64 coordinates with origin=\"auto\" (the default), or subtract an origin near the "
                  "cloud first.")
        warn_precision(f"float32 {'queries' if queries else 'coordinates'} reach {largest:.7g}, where float32 "
                       f"values are {step:.3g} apart: {share_of(step, radius)} the radius {radius:g}. "
                       f"Positions and distances are only that exact, and points closer than that coincide. {remedy}")


def share_of(step: float, radius: float) -> str:
    """"1.25 times" or "7.81% of", in three digits however far apart the two are."""
    share = step / radius
    return f"{share:.3g} times" if share >= 1 else f"{100 * share:.3g}% of"
