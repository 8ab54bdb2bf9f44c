"""Task graphs written as plain dicts, one layer per step, and a small collection that
computes or persists a list of their keys.

A `dask.delayed` call costs about a millisecond to make and grows with the graphs it
joins, which made thousands of tiles cost minutes; a dict entry per task costs
microseconds.
"""

from __future__ import annotations

import operator
import uuid
from collections.abc import Callable
from typing import Any

import dask
import dask.array as da
import numpy as np
from dask.highlevelgraph import HighLevelGraph

Key = tuple[Any, ...]


def step_name(step: str) -> str:
    """A name for the keys of one step of one computation."""
    return f"kesra-{step}-{uuid.uuid4().hex}"


class Tasks:
    """A dask collection: the results of `keys` in `graph`. It computes to their list,
    and persists to a `Tasks` whose keys later layers may depend on."""

    def __init__(self, graph: HighLevelGraph, keys: list[Key]) -> None:
        self.graph, self.keys = graph, keys

    def __dask_graph__(self) -> HighLevelGraph:
        return self.graph

    def __dask_keys__(self) -> list[Key]:
        return self.keys

    def __dask_layers__(self) -> tuple[str, ...]:
        return tuple(self.graph.layers) if isinstance(self.graph, HighLevelGraph) else ()

    def __dask_tokenize__(self) -> tuple[Key, ...]:
        return tuple(self.keys)

    @staticmethod
    def __dask_optimize__(graph: Any, keys: Any, **kwargs: Any) -> Any:
        return graph.cull(set(dask.core.flatten(keys))) if isinstance(graph, HighLevelGraph) else graph

    __dask_scheduler__ = staticmethod(dask.threaded.get)

    def __dask_postcompute__(self) -> tuple[Callable[..., Any], tuple[()]]:
        return list, ()

    def __dask_postpersist__(self) -> tuple[Callable[..., Tasks], tuple[()]]:
        return self._rebuild, ()

    def _rebuild(self, graph: Any, *, rename: Any = None) -> Tasks:
        if not isinstance(graph, HighLevelGraph):
            graph = HighLevelGraph.from_collections(step_name("persisted"), dict(graph))
        return Tasks(graph, self.keys)


class Layers:
    """Builds one computation's graph a step at a time: each step is one layer, a dict
    of tasks (tuples of a function and its arguments, where keys stand for results),
    which may use the results of the inputs and of every step before it."""

    def __init__(self, *inputs: Any) -> None:
        merged = HighLevelGraph.merge(*(c.__dask_graph__() for c in inputs)) if inputs else None
        self.layers: dict[str, Any] = dict(merged.layers) if merged else {}
        self.dependencies: dict[str, set[str]] = dict(merged.dependencies) if merged else {}

    def add(self, step: str, tasks: Callable[[str], dict[Key, Any]]) -> str:
        """Adds the tasks `tasks(name)` makes under a new `name`; returns the name."""
        name = step_name(step)
        self.dependencies[name] = set(self.layers)
        self.layers[name] = tasks(name)
        return name

    @property
    def graph(self) -> HighLevelGraph:
        return HighLevelGraph(dict(self.layers), {k: set(v) for k, v in self.dependencies.items()})

    def tasks(self, keys: list[Key]) -> Tasks:
        return Tasks(self.graph, keys)

    def array(self, name: str, chunks: tuple[tuple[int, ...], ...], meta: np.ndarray) -> da.Array:
        """The blocks `(name, i)` of step `name` as a dask array of one dimension."""
        return da.Array(self.graph, name, chunks, meta=meta)


def pick(source: Key, item: Any) -> tuple[Any, ...]:
    """The task `source[item]`: a part of one task's result that another task needs, so
    that only that part travels between workers."""
    return (operator.getitem, source, item)
