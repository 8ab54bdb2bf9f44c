"""Checks of the package's arguments, in its own words, before the engine sees them, and
messages for allocations that fail."""

from __future__ import annotations

import functools
import math
import operator
import os
from collections.abc import Callable
from types import TracebackType

import numpy as np

__all__ = ["check_result_size", "engine_options", "explained_memory_error", "non_negative", "radius_value",
           "thread_count", "thread_limit", "whole_number"]

WORD_MAX = 2**64 - 1
ARRAY_BYTES_MAX = 2**63 - 1  # NumPy's index type bounds an array's size in bytes
ITEM_BYTES = 4  # an int32 row number, and a float32 distance, per neighbour found
THREADS_PER_CPU, THREAD_FLOOR = 8, 1024


def whole_number(value: int, name: str, minimum: int = 0, maximum: int = WORD_MAX) -> int:
    """`value` as an int within [minimum, maximum], or an error in the command line's words.
    True and False are refused: a flag passed where a number belongs is a mistake."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be a whole number, got {value!r}")
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be a whole number, got {value!r}") from None
    if number < minimum:
        raise ValueError(f"{name} must be at least {minimum}, got {number}")
    if number > maximum:
        raise ValueError(f"{name} must be at most {maximum}, got {number}")
    return number


@functools.cache  # os.cpu_count() costs microseconds, a fair part of a small call
def thread_limit() -> int:
    """The most worker threads a call may ask for: 8 per CPU, and at least 1,024. Far
    more cannot be started and would only fail inside the engine."""
    return max(THREAD_FLOOR, THREADS_PER_CPU * (os.cpu_count() or 1))


def thread_count(value: int, name: str = "num_threads") -> int:
    number = whole_number(value, name)
    if number > (limit := thread_limit()):
        raise ValueError(f"{name} must be at most {limit:,} (8 per CPU, at least 1,024), got {number:,}")
    return number


def radius_value(radius: float, name: str = "radius") -> float:
    """`radius` as a float that is positive and finite, and stays so as a float32."""
    if isinstance(radius, (str, bytes, bool, np.bool_)):
        raise TypeError(f"{name} must be a number, got {type(radius).__name__}")
    try:
        value = float(radius)
    except OverflowError:  # an int beyond float64
        value = math.inf
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a number, got {type(radius).__name__}") from None
    if not (value > 0 and math.isfinite(value)):
        raise ValueError(f"{name} must be a positive finite number, got {value!r}")
    with np.errstate(over="ignore", under="ignore"):
        narrowed = float(np.float32(value))
    if math.isinf(narrowed):
        raise ValueError(f"{name} must be at most {float(np.finfo(np.float32).max):.8g} (finite as a float32), "
                         f"got {value!r}")
    if narrowed == 0:
        raise ValueError(f"{name} must be at least 1e-45 (above 0 as a float32), got {value!r}")
    return value


def flag(value: object, name: str) -> bool:
    """`value` as a bool; other types (1, "yes") are refused, as the engine refuses them."""
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be a bool, got {type(value).__name__}")
    return bool(value)


def non_negative(value: object, name: str) -> None:
    """Refuses a negative or NaN number; other types are left to the engine."""
    if isinstance(value, (float, int, np.floating, np.integer)) and not value >= 0:
        raise ValueError(f"{name} must be a non-negative number, got {value!r}")


def engine_options(cells_per_radius: int = 1, subtree_threshold: int = 64, graph_degree: int = 16,
                   ) -> dict[str, int]:
    """The engine's build options, checked; 0 cells or graph edges would silently mean 1."""
    return {"cells_per_radius": whole_number(cells_per_radius, "cells_per_radius", 1, 2**32 - 1),
            "subtree_threshold": whole_number(subtree_threshold, "subtree_threshold"),
            "graph_degree": whole_number(graph_degree, "graph_degree", 1)}


@functools.cache
def physical_memory() -> int:
    try:
        return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (AttributeError, OSError, ValueError):  # not known on this platform
        return 0


def check_result_size(rows: int, k: int) -> None:
    """Refuses (rows, k) results that no array can hold (ValueError) or that exceed the
    machine's memory (MemoryError), which the engine would report without saying why."""
    if k * ITEM_BYTES > ARRAY_BYTES_MAX:
        raise ValueError(f"num_neighbours={k:,} needs {k * ITEM_BYTES:,} bytes for each row of results: "
                         "more than an array can hold")
    size = rows * k * 2 * ITEM_BYTES
    if size // 2 > ARRAY_BYTES_MAX:
        raise ValueError(f"{rows:,} query rows x num_neighbours={k:,} need {size:,} bytes of results: "
                         "more than an array can hold")
    if size > physical_memory() > 0:
        raise MemoryError(f"{rows:,} query rows x num_neighbours={k:,} need {size:,} bytes of results: "
                          f"more than this machine's {physical_memory():,} bytes of memory")


class explained_memory_error:
    """Gives a MemoryError raised without a message (as the engine raises them) one
    saying what could not be done; `what` is called only then."""

    def __init__(self, what: Callable[[], str]) -> None:
        self.what = what

    def __enter__(self) -> None:
        return None

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        if isinstance(error, MemoryError) and not str(error):
            raise MemoryError(f"not enough memory {self.what()}") from None
