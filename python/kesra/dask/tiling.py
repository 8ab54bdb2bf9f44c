"""A cloud held in a dask array, cut into tiles with halos and bundled into tasks.

Three passes over the points: their bounds (which fix the grid), how many points each
tile's box grown by its halo holds (which fixes the bundles), and, inside the task
graph, each row chunk split into one piece per bundle. A bundle is a run of tiles in
grid order holding together about `points_per_task` points, so that a task's cost
is not one tile's when tiles are small; each tile of a bundle is still searched on
its own.
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import Any

import dask
import dask.array as da
import numpy as np
from numpy.typing import ArrayLike, NDArray

from kesra.dask.graph import Key, Layers, pick
from kesra.dask.grid import Grid, finite_bounds, make_grid, tile_sizes
from kesra.origin import Origin, origin_for_bounds
from kesra.rows import as_points

POINTS_PER_TASK = 1 << 18
# Halo copies per point and points per tile beyond which a tiling is reported as
# costing more than the cloud calls for.
COPIES_WARNED, POINTS_PER_TILE_WARNED, TILES_WARNED = 4.0, 100, 1000


class TilingWarning(UserWarning):
    """A tile size that makes far more tiles, or far larger halos, than the cloud needs."""


@dataclass(frozen=True)
class Tiling:
    """Where each bundle's pieces are: `pieces[g]` are the keys, in row-chunk order, of
    `(points, rows, tiles)` triples holding the points of bundle g's tiles and halos,
    sorted by tile and then row; `tiles` and `bundle_of` list the tiles that hold
    points and their bundles."""

    grid: Grid
    origin: NDArray[np.float64] | None
    halo: float
    tiles: NDArray[np.int64]
    bundle_of: NDArray[np.int64]
    pieces: list[list[Key]]
    layers: Layers
    links: NDArray[np.int64]  # (n, 2) bundles (owner, holder): owner's points in holder's halos
    row_chunks: tuple[int, ...]

    @property
    def num_bundles(self) -> int:
        return len(self.pieces)

    def bundles(self, tiles: NDArray[np.int64]) -> NDArray[np.int64]:
        """Bundle of each tile (tiles that hold points only)."""
        return self.bundle_of[np.searchsorted(self.tiles, tiles)]


def point_array(points: ArrayLike | da.Array) -> da.Array:
    """`points` as a dask array of shape (N, 3), chunked by rows of known sizes only."""
    array = points if isinstance(points, da.Array) else da.asarray(points)
    if array.ndim != 2 or array.shape[1] != 3:
        raise ValueError(f"points must have shape (N, 3), got {array.shape}")
    if any(math.isnan(n) for n in array.chunks[0]):
        raise ValueError("points must have known chunk sizes; call points.compute_chunk_sizes() first")
    return array.rechunk({1: 3}) if len(array.chunks[1]) != 1 else array


def cut(array: da.Array, radius: float, tile_size: float | Sequence[float], *, halo_radii: int = 1,
        origin: Origin = None, points_per_task: int = POINTS_PER_TASK, links: bool = False) -> Tiling:
    """Cuts `array` into tiles, each with a halo `halo_radii` radii wide, bundled into
    tasks. `origin` as for `KesraNNS` (the points are shifted by it before they become
    float32). With `links`, also finds which bundles hold points of which others in
    their halos."""
    size = tile_sizes(tile_size)
    blocks = list(array.to_delayed().ravel())
    bounds = np.stack(dask.compute(*[dask.delayed(finite_bounds)(b) for b in blocks]))
    low, high = bounds[:, 0].min(axis=0), bounds[:, 1].max(axis=0)
    shift = origin_for_bounds(array.dtype, low, high, radius, origin) if np.isfinite(low).all() else None
    low32, high32 = (_as_float32_values(v, shift) for v in (low, high))
    grid = make_grid(low32, high32, size, radius)
    halo = grid.reach * halo_radii
    surveys = dask.compute(*[dask.delayed(_survey)(b, grid, halo, shift, links) for b in blocks])
    tiles, inverse = np.unique(np.concatenate([s[0] for s in surveys]), return_inverse=True)
    counts = np.bincount(inverse, np.concatenate([s[1] for s in surveys]), len(tiles)).astype(np.float64)
    _warn_if_costly(size, len(tiles), counts.sum(), sum(s[3] for s in surveys), halo)
    bundle_of = _bundles(counts, points_per_task)
    first_rows = np.cumsum((0, *array.chunks[0]))[:-1]

    layers = Layers(array)
    keys = [k for k in dask.core.flatten(array.__dask_keys__())]
    split = layers.add("split", lambda name: {
        (name, b): (_split_block, key, grid, halo, shift, int(first), tiles, bundle_of)
        for b, (key, first) in enumerate(zip(keys, first_rows))})
    held = [np.unique(bundle_of[np.searchsorted(tiles, s[0])]) for s in surveys]
    piece = layers.add("piece", lambda name: {
        (name, b, int(g)): pick((split, b), int(g)) for b, groups in enumerate(held) for g in groups})
    pieces: list[list[Key]] = [[] for _ in range(int(bundle_of.max(initial=-1)) + 1)]
    for b, groups in enumerate(held):
        for g in groups:
            pieces[int(g)].append((piece, b, int(g)))
    pairs = np.zeros((0, 2), np.int64)
    if links:
        pairs = np.unique(np.concatenate([np.zeros((0, 2), np.int64), *(s[2] for s in surveys)]), axis=0)
        pairs = np.unique(np.stack([bundle_of[np.searchsorted(tiles, pairs[:, i])] for i in (0, 1)], axis=1),
                          axis=0)
    return Tiling(grid, shift, halo, tiles, bundle_of, pieces, layers, pairs, tuple(map(int, array.chunks[0])))


def _as_float32_values(values: NDArray[np.float64], shift: NDArray[np.float64] | None) -> NDArray[np.float64]:
    """Corner coordinates as the points' float32 values (conversion keeps their order),
    within float32's finite range."""
    with np.errstate(over="ignore", invalid="ignore"):
        v = (values - (0 if shift is None else shift)).astype(np.float32).astype(np.float64)
    return np.clip(v, -np.finfo(np.float32).max, np.finfo(np.float32).max)


def block_points(block: NDArray[Any], shift: NDArray[np.float64] | None) -> NDArray[np.float32]:
    """A row chunk's points as float32, shifted by the origin first as `KesraNNS` does."""
    return as_points(block, "points", "N", origin=shift)


def _survey(block: NDArray[Any], grid: Grid, halo: float, shift: NDArray[np.float64] | None, links: bool,
            ) -> tuple[NDArray[np.int64], NDArray[np.int64], NDArray[np.int64], int]:
    """The tiles whose halos hold this chunk's points, how many each, the (owner tile,
    other tile) pairs of points in another tile's halo, and the finite points."""
    points = block_points(block, shift)
    rows, tiles = grid.halo(points, halo)
    held, counts = np.unique(tiles, return_counts=True)
    pairs = np.zeros((0, 2), np.int64)
    if links:
        owners = grid.route(points)[rows]
        other = owners != tiles
        pairs = np.unique(np.stack([owners[other], tiles[other]], axis=1), axis=0)
    return held, counts, pairs, int(np.isfinite(points).all(axis=1).sum())


def _bundles(counts: NDArray[np.float64], points_per_task: int) -> NDArray[np.int64]:
    """Bundle number of each tile: consecutive tiles until they hold `points_per_task`."""
    bundle = np.zeros(len(counts), np.int64)
    total, current = 0.0, 0
    for i, c in enumerate(counts.tolist()):
        if total >= points_per_task:
            current, total = current + 1, 0.0
        bundle[i], total = current, total + c
    return bundle


def _split_block(block: NDArray[Any], grid: Grid, halo: float, shift: NDArray[np.float64] | None, first_row: int,
                 tiles: NDArray[np.int64], bundle_of: NDArray[np.int64],
                 ) -> dict[int, tuple[NDArray[np.float32], NDArray[np.int64], NDArray[np.int64]]]:
    """The chunk's (points, global rows, tiles) for each bundle whose halos hold them,
    sorted by tile and then row."""
    points = block_points(block, shift)
    rows, held = grid.halo(points, halo)
    groups = bundle_of[np.searchsorted(tiles, held)]
    order = np.lexsort((rows, held))
    rows, held, groups = rows[order], held[order], groups[order]
    # Tiles ascend, so their bundles do too.
    starts = np.flatnonzero(np.r_[True, groups[1:] != groups[:-1]]) if len(groups) else np.zeros(0, np.int64)
    ends = np.r_[starts[1:], len(groups)]
    return {int(groups[s]): (points[rows[s:e]], rows[s:e] + first_row, held[s:e]) for s, e in zip(starts, ends)}


def tiles_of(pieces: list[tuple[NDArray[np.float32], NDArray[np.int64], NDArray[np.int64]]],
             ) -> Iterator[tuple[int, NDArray[np.float32], NDArray[np.int64]]]:
    """Each tile of a bundle with its points and their rows, ascending, from the
    bundle's pieces in row-chunk order."""
    if not pieces:
        return
    points = np.concatenate([p for p, _, _ in pieces])
    rows = np.concatenate([r for _, r, _ in pieces])
    tiles = np.concatenate([t for _, _, t in pieces])
    order = np.argsort(tiles, kind="stable")  # keeps each tile's rows ascending
    points, rows, tiles = points[order], rows[order], tiles[order]
    starts = np.flatnonzero(np.r_[True, tiles[1:] != tiles[:-1]])
    for s, e in zip(starts, np.r_[starts[1:], len(tiles)]):
        yield int(tiles[s]), points[s:e], rows[s:e]


def _warn_if_costly(size: NDArray[np.float64], num_tiles: int, held: float, finite: int, halo: float) -> None:
    if not finite:
        return
    copies, per_tile = held / finite, finite / max(num_tiles, 1)
    if copies > COPIES_WARNED or (num_tiles >= TILES_WARNED and per_tile < POINTS_PER_TILE_WARNED):
        warnings.warn(
            f"tile_size {tuple(size.tolist())} gives {num_tiles:,} tiles for {finite:,} points ({per_tile:,.0f} "
            f"points a tile, and each point is held {copies:.1f} times by tiles and their halos {halo:.3g} wide). "
            "Tiles many times wider than the halo, holding hundreds of thousands of points or more, cost far less.",
            TilingWarning, stacklevel=4)
