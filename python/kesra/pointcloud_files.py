"""Reading point clouds from files and writing results, for the command line.

Readers return the coordinates as an (N, 3) array in the file's own precision (float32
or float64); `kesra.origin.to_float32` turns them into the engine's float32 after an
optional shift.
The format libraries are imported only when a file needs them, so `import kesra` never
pulls them in.
"""

from __future__ import annotations

import contextlib
import importlib
import os
import tempfile
from collections.abc import Iterator
from pathlib import Path
from typing import IO, Any

import numpy as np
from numpy.typing import NDArray

POINT_SUFFIXES = (".npy", ".xyz", ".txt", ".csv", ".ply", ".las", ".laz")
TEXT_SUFFIXES = (".xyz", ".txt", ".csv")
LAS_SUFFIXES = (".las", ".laz")
EXTRA_HINT = "pip install 'kesra[io]'"


class PointFileError(Exception):
    """A point file that cannot be read or written; the message names the file."""


def optional_module(name: str, purpose: str) -> Any:
    """Imports an optional format library or raises PointFileError naming the extra."""
    try:
        return importlib.import_module(name)
    except ImportError:
        raise PointFileError(f"{purpose} needs the {name} package: {EXTRA_HINT}") from None


def suffix_of(path: Path) -> str:
    return path.suffix.lower()


def read_points(path: Path) -> NDArray[np.floating[Any]]:
    """The x, y, z coordinates of every point in `path` as an (N, 3) float array."""
    suffix = suffix_of(path)
    if suffix not in POINT_SUFFIXES:
        raise PointFileError(f"{path}: unsupported point file type {suffix or '(none)'!r}; "
                             f"expected one of {', '.join(POINT_SUFFIXES)}")
    if not path.is_file():
        raise PointFileError(f"{path}: no such file")
    if suffix == ".npy":
        points = read_npy(path)
    elif suffix in TEXT_SUFFIXES:
        points = read_text(path)
    elif suffix == ".ply":
        points = read_ply(path)
    else:
        points = las_coordinates(read_las(path))
    if points.ndim != 2 or points.shape[1] != 3:
        raise PointFileError(f"{path}: expected points of shape (N, 3), got {points.shape}")
    return points


def read_npy(path: Path) -> NDArray[np.floating[Any]]:
    try:
        # Pickled object arrays could run code: never allowed.
        array: NDArray[Any] = np.load(path, allow_pickle=False)
    except (OSError, ValueError) as e:
        raise PointFileError(f"{path}: not a readable .npy array ({e})") from None
    if not np.issubdtype(array.dtype, np.number) or np.issubdtype(array.dtype, np.complexfloating):
        raise PointFileError(f"{path}: expected a numeric array, got dtype {array.dtype}")
    return array.astype(np.float32 if array.dtype == np.float32 else np.float64, copy=False)


def read_text(path: Path) -> NDArray[np.float64]:
    """Comma- or whitespace-separated columns; the first three are x, y, z. A first line
    that does not start with three numbers is a header and skipped; lines starting with
    '#' are comments."""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            head = [line for _, line in zip(range(64), f)]
    except OSError as e:
        raise PointFileError(f"{path}: cannot read ({e.strerror})") from None
    header = bool(head) and not head[0].lstrip().startswith("#") and not _numeric(head[0])
    data = [line for line in head[int(header):] if line.strip() and not line.lstrip().startswith("#")]
    if not data:
        return np.zeros((0, 3))
    delimiter = "," if "," in data[0] else None
    try:
        array = np.loadtxt(path, delimiter=delimiter, usecols=(0, 1, 2), ndmin=2, comments="#",
                           skiprows=int(header), dtype=np.float64, encoding="utf-8")
    except (ValueError, IndexError) as e:
        bad = first_bad_line(path, header, delimiter)
        where = f"line {bad[0]}: expected three numbers, got {bad[1]!r}" if bad else str(e)
        raise PointFileError(f"{path}: cannot read three numeric columns ({where})") from None
    return array.reshape(-1, 3)


def first_bad_line(path: Path, header: bool, delimiter: str | None) -> tuple[int, str] | None:
    """The 1-based number and text of the first data line without three numbers (NumPy's
    own messages count rows from different starts)."""
    with open(path, encoding="utf-8", errors="replace") as f:
        for number, line in enumerate(f, start=1):
            data = line.split("#", 1)[0]
            if (header and number == 1) or not data.strip():
                continue
            fields = data.split(delimiter)
            try:
                [float(v) for v in fields[:3]]
            except ValueError:
                return number, line.strip()[:80]
            if len(fields) < 3:
                return number, line.strip()[:80]
    return None


def _numeric(line: str) -> bool:
    """Whether a line starts with three numbers."""
    fields = line.replace(",", " ").split()
    try:
        [float(v) for v in fields[:3]]
    except ValueError:
        return False
    return len(fields) >= 3


def read_ply(path: Path) -> NDArray[np.floating[Any]]:
    return ply_coordinates(path, read_ply_data(path))


def read_ply_data(path: Path) -> Any:
    """The whole .ply file as a `plyfile.PlyData`, every element and property."""
    plyfile = optional_module("plyfile", "reading .ply files")
    try:
        return plyfile.PlyData.read(str(path))
    except Exception as e:  # plyfile reports malformed files with its own exception types
        raise PointFileError(f"{path}: not a readable .ply file ({e})") from None


def ply_coordinates(path: Path, data: Any) -> NDArray[np.floating[Any]]:
    try:
        vertex = data["vertex"]
        columns = [np.asarray(vertex[axis]) for axis in ("x", "y", "z")]
    except (KeyError, ValueError) as e:
        raise PointFileError(f"{path}: no vertex element with x, y and z ({e})") from None
    dtype = np.float32 if all(c.dtype == np.float32 for c in columns) else np.float64
    return np.stack(columns, axis=1).astype(dtype, copy=False)


def write_ply_copy(data: Any, path: Path, properties: dict[str, NDArray[Any]],
                   keep: NDArray[np.bool_] | None = None) -> None:
    """Writes the .ply file `data` to `path` with `properties` added to its vertices: every
    vertex property of the input passes through (colour, intensity, ...), and so do its
    other elements, unless `keep` selects vertices (faces would then point elsewhere)."""
    plyfile = optional_module("plyfile", "writing .ply files")
    vertex = data["vertex"].data
    existing = {name.lower() for name in vertex.dtype.names}
    for name in properties:
        if name.lower() in existing:
            raise PointFileError(f"the input already has a vertex property named {name!r}; "
                                 "remove it first or write another format")
    joined = np.empty(len(vertex), vertex.dtype.descr + [(name, a.dtype) for name, a in properties.items()])
    for name in vertex.dtype.names:
        joined[name] = vertex[name]
    for name, values in properties.items():
        joined[name] = values
    if keep is not None:
        joined = joined[keep]
    elements = [plyfile.PlyElement.describe(joined, "vertex")]
    if keep is None:
        elements += [element for element in data.elements if element.name != "vertex"]
    with replaced_atomically(path) as f:
        plyfile.PlyData(elements, text=False, comments=list(data.comments)).write(f)


def laspy_module() -> Any:
    return optional_module("laspy", "reading and writing .las/.laz files")


def read_las(path: Path) -> Any:
    """The whole LAS/LAZ file as a `laspy.LasData`."""
    laspy = laspy_module()
    if suffix_of(path) == ".laz" and not laspy.LazBackend.detect_available():
        raise PointFileError(f"reading .laz files needs a LAZ backend for laspy (laszip): {EXTRA_HINT}")
    try:
        return laspy.read(str(path))
    except Exception as e:  # laspy raises LaspyException and plain I/O errors alike
        raise PointFileError(f"{path}: not a readable LAS/LAZ file ({e})") from None


def las_coordinates(las: Any) -> NDArray[np.float64]:
    """Scaled x, y, z of a `laspy.LasData` in float64."""
    return np.stack([np.asarray(las.x, np.float64), np.asarray(las.y, np.float64),
                     np.asarray(las.z, np.float64)], axis=1)


@contextlib.contextmanager
def replaced_atomically(path: Path) -> Iterator[IO[bytes]]:
    """A binary file that becomes `path` only when the block completes; on any failure
    the temporary file is removed and an existing `path` is left as it was."""
    try:
        fd, temp = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.", suffix=".tmp")
    except OSError as e:
        raise PointFileError(f"{path}: cannot write ({e.strerror})") from None
    try:
        with os.fdopen(fd, "wb") as f:
            yield f
        # mkstemp creates the file private to the owner; give it the usual mode.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temp, 0o666 & ~umask)
        os.replace(temp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temp)
        raise


def write_arrays(path: Path, **arrays: NDArray[Any]) -> None:
    """Writes one array to a .npy file (the first given) or all of them to a .npz file."""
    with replaced_atomically(path) as f:
        if suffix_of(path) == ".npz":
            np.savez(f, allow_pickle=False, **arrays)
        else:
            np.save(f, next(iter(arrays.values())), allow_pickle=False)


def check_las_output(las: Any, path: Path, names: list[str], remedy: str = "choose another name") -> None:
    """Refuses, before any work, a LAS/LAZ output that could not be written: a name the
    file already has (LAS names are case-insensitive) or too long, or .laz without codec."""
    existing = {d.lower() for d in las.point_format.dimension_names}
    for name in names:
        if len(name.encode()) > 32:
            raise PointFileError(f"dimension name {name!r} is longer than the 32 bytes LAS allows")
        if name.lower() in existing:
            raise PointFileError(f"the input already has a dimension named {name!r}; {remedy}")
    if suffix_of(path) == ".laz" and not laspy_module().LazBackend.detect_available():
        raise PointFileError(f"writing .laz files needs a LAZ backend for laspy (laszip): {EXTRA_HINT}")


def write_las_with_dimensions(las: Any, path: Path, dimensions: dict[str, tuple[NDArray[Any], str]],
                              ) -> None:
    """Writes `las` to `path` (compressed for .laz) with new extra dimensions of the values'
    own types, `dimensions` mapping each name to its values and description."""
    check_las_output(las, path, list(dimensions))
    laspy = laspy_module()
    try:
        las.add_extra_dims([laspy.ExtraBytesParams(name=name, type=values.dtype, description=description[:31])
                            for name, (values, description) in dimensions.items()])
    except Exception as e:  # laspy refuses some names and formats with its own exception
        raise PointFileError(f"cannot add dimensions {', '.join(map(repr, dimensions))}: {e}") from None
    for name, (values, _) in dimensions.items():
        las[name] = values
    write_las(las, path)


def write_las(las: Any, path: Path, keep: NDArray[np.bool_] | None = None) -> None:
    """Writes `las` (only the points `keep` selects, when given) with every attribute."""
    if keep is not None:
        las.points = las.points[keep]
    with replaced_atomically(path) as f:
        las.write(f, do_compress=suffix_of(path) == ".laz")


def write_ply(path: Path, properties: dict[str, NDArray[Any]]) -> None:
    """Writes a binary .ply file of one vertex element, a property for each (N,) array
    of `properties`, in its own dtype."""
    plyfile = optional_module("plyfile", "writing .ply files")
    vertex = np.empty(len(next(iter(properties.values()))), [(name, a.dtype) for name, a in properties.items()])
    for name, values in properties.items():
        vertex[name] = values
    with replaced_atomically(path) as f:
        plyfile.PlyData([plyfile.PlyElement.describe(vertex, "vertex")]).write(f)
