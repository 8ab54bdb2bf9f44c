"""The `kesra` command line: point-file readers, count/neighbours outputs, errors and
atomic writes. LAS/LAZ cases run in a child interpreter: the LAZ codec re-enables the
GIL of the process that loads it, which would weaken the thread tests run after these."""

import importlib.util
import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import kesra
from kesra import pointcloud_files
from kesra.__main__ import main
from kesra.nns import KesraNNS

from brute_force import random_cloud

DATA = Path(os.environ.get("KESRA_DATA_DIR") or Path(__file__).resolve().parents[3] / "shared/data")
POINTS = random_cloud(1_500, seed=11, low=0.0, high=10.0)


def run(argv, capsys):
    """Runs the command line in this process: (exit status, stdout, stderr)."""
    try:
        status = main([str(a) for a in argv])
    except SystemExit as e:  # argparse's own errors
        status = e.code
    out, err = capsys.readouterr()
    return status, out, err


def write_formats(tmp_path, points):
    """The same cloud in every in-process format, written with the format's own library."""
    plyfile = pytest.importorskip("plyfile")
    paths = {name: tmp_path / name for name in ("p.npy", "p.xyz", "p.csv", "p.txt", "p.ply", "a.ply")}
    np.save(paths["p.npy"], points)
    np.savetxt(paths["p.xyz"], points, fmt="%.9g")
    np.savetxt(paths["p.csv"], points, fmt="%.9g", delimiter=",", header="x,y,z", comments="")
    # Extra columns (intensity) and a comment line are ignored.
    extra = np.column_stack([points, np.arange(len(points))])
    np.savetxt(paths["p.txt"], extra, fmt="%.9g", delimiter="\t", header="exported cloud")
    vertex = np.empty(len(points), [("x", "f4"), ("y", "f4"), ("z", "f4"), ("red", "u1")])
    vertex["x"], vertex["y"], vertex["z"], vertex["red"] = *points.T, 7
    element = plyfile.PlyElement.describe(vertex, "vertex")
    plyfile.PlyData([element]).write(str(paths["p.ply"]))
    plyfile.PlyData([element], text=True).write(str(paths["a.ply"]))
    return paths


def test_cluster_outliers_and_normals_keep_every_ply_property(tmp_path, capsys):
    plyfile = pytest.importorskip("plyfile")
    source = write_formats(tmp_path, POINTS)["p.ply"]
    status, _, err = run(["cluster", source, "--neighbours", "8", "--min-samples", "4", "-o", tmp_path / "c.ply"],
                         capsys)
    r = float(np.float32(kesra.suggest_radius(POINTS, neighbours=8)))
    assert status == 0 and f"radius {r:g}," in err
    nns = KesraNNS(POINTS, r)
    status, _, _ = run(["outliers", source, "-r", r, "--min-neighbours", "5", "--drop", "-o", tmp_path / "k.ply"],
                       capsys)
    assert status == 0 == run(["normals", source, "-n", "8", "-o", tmp_path / "n.ply"], capsys)[0]
    clustered, kept, normals = (plyfile.PlyData.read(str(tmp_path / name))["vertex"].data
                                for name in ("c.ply", "k.ply", "n.ply"))
    np.testing.assert_array_equal(clustered["cluster"], nns.dbscan(4).labels)
    np.testing.assert_array_equal(kept["x"], POINTS[~nns.radius_outliers(5), 0])
    assert all((v["red"] == 7).all() for v in (clustered, kept, normals)) and "nx" in normals.dtype.names


def test_every_format_reads_the_same_points(tmp_path):
    for name, path in write_formats(tmp_path, POINTS).items():
        points = pointcloud_files.read_points(path)
        assert points.shape == POINTS.shape, name
        np.testing.assert_array_equal(points.astype(np.float32), POINTS, err_msg=name)


def test_count_and_neighbours_match_the_library(tmp_path, capsys):
    paths = write_formats(tmp_path, POINTS)
    queries = random_cloud(200, seed=12, low=-1.0, high=11.0)
    np.save(tmp_path / "q.npy", queries)
    nns = KesraNNS(POINTS, 0.8, "kdtree")
    counts = nns.count_neighbours(POINTS, distance_weight_factor=2.0)
    indices, distances = nns.find_neighbours(queries, 6)
    for name in ("p.npy", "p.csv", "p.ply"):
        status, _, err = run(["count", paths[name], "-r", "0.8", "-m", "kdtree", "--weight", "2",
                              "-t", "1", "-o", tmp_path / "c.npz"], capsys)
        assert status == 0, err
        np.testing.assert_array_equal(np.load(tmp_path / "c.npz")["counts"], counts, err_msg=name)
        status, _, err = run(["neighbours", paths[name], "-r", "0.8", "-m", "kdtree", "-k", "6",
                              "--queries", tmp_path / "q.npy", "-o", tmp_path / "n.npz"], capsys)
        assert status == 0, err
        with np.load(tmp_path / "n.npz") as result:
            np.testing.assert_array_equal(result["indices"], indices, err_msg=name)
            np.testing.assert_array_equal(result["distances"], distances, err_msg=name)
    assert run(["neighbours", paths["p.xyz"], "-r", "0.8", "-k", "3", "-o", tmp_path / "i.npy"], capsys)[0] == 0
    assert np.load(tmp_path / "i.npy").dtype == np.int32
    assert sorted(p.name for p in tmp_path.iterdir() if p.name.startswith(".")) == []


def test_non_finite_rows_are_left_out_and_rows_keep_their_numbers(tmp_path, capsys):
    points = POINTS.copy()
    points[::7] = np.nan
    points[3, 1] = np.inf
    np.save(tmp_path / "nan.npy", points)
    finite = np.flatnonzero(np.isfinite(points).all(axis=1))
    nns = KesraNNS(points[finite], 1.0)
    for method in ("voxel", "kdtree"):
        status, _, err = run(["count", tmp_path / "nan.npy", "-r", "1", "-m", method, "-o", tmp_path / "c.npy"],
                             capsys)
        assert status == 0
        expected = np.zeros(len(points), np.float32)
        expected[finite] = nns.count_neighbours(points[finite])
        np.testing.assert_array_equal(np.load(tmp_path / "c.npy"), expected)
        low, middle, high = np.percentile(expected[finite], [0, 50, 100])
        assert f"min {low:g}, median {middle:g}, max {high:g}" in err
        assert f"for {len(finite):,} points ({len(points) - len(finite):,} non-finite left out) over {len(finite):,} " in err
    assert run(["neighbours", tmp_path / "nan.npy", "-r", "1", "-k", "4", "-o", tmp_path / "n.npz"], capsys)[0] == 0
    with np.load(tmp_path / "n.npz") as result:
        indices, distances = result["indices"], result["distances"]
    assert (indices[::7] == -1).all() and (distances[::7] == -1).all()
    found, _ = nns.find_neighbours(points[finite], 4)
    np.testing.assert_array_equal(indices[finite], np.where(found >= 0, finite[found], -1))
    assert run(["neighbours", tmp_path / "nan.npy", "-r", "1", "--all", "-o", tmp_path / "a.npz"], capsys)[0] == 0
    with np.load(tmp_path / "a.npz") as result:
        for got, want in zip([result[name] for name in ("offsets", "indices", "distances")],
                             KesraNNS(points, 1.0).find_all_neighbours(points), strict=True):
            np.testing.assert_array_equal(got, want)


def test_large_coordinates_are_shifted_before_float32(tmp_path, capsys):
    # A float32 of 5,000,000 has a spacing of 0.5: without the shift every point would
    # collapse onto a coarse lattice and find the wrong neighbours.
    offset = np.array([600_000.0, 5_000_000.0, 200.0])
    local = POINTS.astype(np.float64) / 10
    np.savetxt(tmp_path / "geo.xyz", local + offset, fmt="%.6f")
    status, _, err = run(["count", tmp_path / "geo.xyz", "-r", "0.1", "-o", tmp_path / "c.npy"], capsys)
    assert status == 0 and "shifted by (600000, 5000000, 200)" in err
    shifted = (np.loadtxt(tmp_path / "geo.xyz") - offset).astype(np.float32)
    np.testing.assert_array_equal(np.load(tmp_path / "c.npy"), KesraNNS(shifted, 0.1).count_neighbours(shifted))


def test_bad_input_exits_2_with_one_line(tmp_path, capsys, monkeypatch):
    np.save(tmp_path / "p.npy", POINTS)
    (tmp_path / "bad.npy").write_bytes(b"not an array")
    (tmp_path / "two.csv").write_text("1,2\n3,4\n")
    np.save(tmp_path / "obj.npy", np.array(["a", "b"]))
    (tmp_path / "p.ply").write_bytes(b"ply\n")
    out = tmp_path / "c.npy"
    cases = {
        "no such file": ["count", tmp_path / "missing.npy", "-r", "1", "-o", out],
        "unsupported point file type '.pcd'": ["count", tmp_path / "p.pcd", "-r", "1", "-o", out],
        "not a readable .npy array": ["count", tmp_path / "bad.npy", "-r", "1", "-o", out],
        "cannot read three numeric columns": ["count", tmp_path / "two.csv", "-r", "1", "-o", out],
        "expected a numeric array": ["count", tmp_path / "obj.npy", "-r", "1", "-o", out],
        "output must end in .npy or .npz": ["neighbours", tmp_path / "p.npy", "-r", "1", "-k", "2",
                                            "-o", tmp_path / "n.las"],
        "does not exist": ["count", tmp_path / "p.npy", "-r", "1", "-o", tmp_path / "no" / "c.npy"],
        "needs a .las/.laz INPUT": ["count", tmp_path / "p.npy", "-r", "1", "--as-dimension", "n",
                                    "-o", tmp_path / "c.las"],
        "LAS/LAZ output needs a dimension name": ["count", tmp_path / "p.npy", "-r", "1", "-o", tmp_path / "c.las"],
        "one of the arguments -k --all is required": ["neighbours", tmp_path / "p.npy", "-r", "1", "-o", out],
        "must be a positive finite number": ["count", tmp_path / "p.npy", "-r", "nan", "-o", out],
        "must be at least 1": ["neighbours", tmp_path / "p.npy", "-r", "1", "-k", "0", "-o", out],
    }
    for message, argv in cases.items():
        status, stdout, err = run(argv, capsys)
        assert status == 2 and message in err and "Traceback" not in err, (message, err)
    # A format library that is not installed is named with the extra that brings it.
    monkeypatch.setitem(sys.modules, "plyfile", None)
    status, _, err = run(["count", tmp_path / "p.ply", "-r", "1", "-o", out], capsys)
    assert status == 2 and err.strip().count("\n") == 0
    assert "needs the plyfile package: pip install 'kesra[io]'" in err
    assert not out.exists()


def test_failed_write_leaves_the_old_output(tmp_path, capsys, monkeypatch):
    np.save(tmp_path / "p.npy", POINTS)
    out = tmp_path / "c.npy"
    out.write_bytes(b"previous result")

    def fail_midway(file, array, allow_pickle=True):
        file.write(b"partial")
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(pointcloud_files.np, "save", fail_midway)
    status, _, err = run(["count", tmp_path / "p.npy", "-r", "1", "-o", out], capsys)
    assert status == 2 and "No space left on device" in err
    assert out.read_bytes() == b"previous result"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["c.npy", "p.npy"]


def test_demo_on_a_point_file(tmp_path, capsys):
    np.savetxt(tmp_path / "p.csv", POINTS, delimiter=",")
    status, out, err = run(["demo", "--input", tmp_path / "p.csv"], capsys)
    assert status == 0, err
    assert all(f"\n{method} " in out for method in ("auto", "voxel", "kdtree", "hybrid", "graph"))
    # Example rows once, the exact methods checked against the default, scipy alongside,
    # then the clusters and outliers.
    assert out.count("point 0:") == 1 and "counts as auto for every point" in out
    assert "\ndbscan(10) " in out and "\nstatistical_outliers(16, 2.0) " in out
    assert importlib.util.find_spec("scipy") is None or "\nscipy cKDTree " in out


@pytest.mark.parametrize("name", ["lamppost.npy", "table_scene_mug_stereo_textured.npy"])
def test_real_clouds(tmp_path, capsys, name):
    if not (DATA / name).exists():
        pytest.skip(f"{DATA / name} not present")
    points = np.load(DATA / name)
    finite = np.isfinite(points).all(axis=1)
    radius = 0.5 if name.startswith("lamppost") else 0.005
    status, _, err = run(["count", DATA / name, "-r", radius, "-m", "hybrid", "--no-progress",
                          "-o", tmp_path / "c.npy"], capsys)
    assert status == 0, err
    counts = np.load(tmp_path / "c.npy")
    expected = KesraNNS(points[finite], radius, "voxel").count_neighbours(points[finite])
    np.testing.assert_array_equal(counts[finite], expected)
    assert (counts[~finite] == 0).all() and (counts[finite] >= 1).all()


def test_normals_of_a_tilted_plane(tmp_path, capsys):
    rng = np.random.default_rng(5)
    normal = np.array([-0.3, -0.2, 1.0]) / np.linalg.norm([-0.3, -0.2, 1.0])
    across = np.cross(normal, [1.0, 0.0, 0.0]) / np.linalg.norm(np.cross(normal, [1.0, 0.0, 0.0]))
    spans = rng.uniform(0, 10, (2000, 2))
    points = spans[:, :1] * across + spans[:, 1:] * np.cross(normal, across) + [3000.0, 7000.0, 50.0]
    points += rng.normal(0, 0.003, (2000, 1)) * normal
    points[::300] = np.nan
    finite = np.isfinite(points).all(axis=1)
    paths = write_formats(tmp_path, points)
    # The viewpoint is shifted with the (float64) points: unshifted it would lie on the plane's other side.
    facing = ["--orient-towards", *(points[1] + 100 * normal)]
    for name, output, options in (("p.npy", "n.npz", ["-k", "12", *facing]), ("p.xyz", "n.npz", ["--all-within"]),
                                  ("p.ply", "n.ply", facing)):
        status, _, err = run(["normals", paths[name], "-r", "0.6", *options, "-o", tmp_path / output], capsys)
        assert status == 0, err
        if output == "n.ply":
            vertex = pytest.importorskip("plyfile").PlyData.read(str(tmp_path / output))["vertex"]
            normals, curvature = np.stack([vertex[f"n{a}"] for a in "xyz"], axis=1), vertex["curvature"]
            np.testing.assert_array_equal(np.stack([vertex[a] for a in "xyz"], axis=1), points.astype(np.float32))
        else:
            with np.load(tmp_path / output) as result:
                normals, curvature = result["normals"], result["curvature"]
                assert result["eigenvalues"].shape == (2000, 3) and (result["counts"][~finite] == 0).all()
        assert normals.shape == (2000, 3) and normals.dtype == curvature.dtype == np.float32
        assert np.isnan(normals[~finite]).all() and np.isnan(curvature[~finite]).all()
        along = normals[finite] @ normal
        assert ((along if facing[0] in options else np.abs(along)) > 0.99).all(), name
        assert (curvature[finite] < 0.01).all()


def test_features_at_several_scales(tmp_path, capsys):
    paths = write_formats(tmp_path, POINTS)
    for name, output, options, call in (
            ("p.npy", "f.npz", ["-r", "2", "-k", "8", "30"], lambda nns: nns.local_geometry(POINTS, (8, 30))),
            ("p.ply", "f.ply", ["--radii", "2", "1"], lambda nns: nns.local_geometry(POINTS, radii=(2, 1)))):
        status, _, err = run(["features", paths[name], *options, "-o", tmp_path / output], capsys)
        assert status == 0, err
        result = call(KesraNNS(POINTS, 2.0))
        want = {**kesra.feature_table(result), "least_entropy_scale": np.float32(result.scales)[
            result.least_entropy_scale()]}
        got = (pytest.importorskip("plyfile").PlyData.read(str(tmp_path / output))["vertex"] if output == "f.ply"
               else np.load(tmp_path / output))
        for column, values in want.items():
            np.testing.assert_array_equal(got[column], values, err_msg=column)


LAS_SCRIPT = """
import json, subprocess, sys, warnings
import numpy as np
warnings.simplefilter("ignore", RuntimeWarning)  # the LAZ codec turns the GIL on
import laspy
import kesra
from kesra.nns import KesraNNS

cli, suffix, folder = sys.argv[1:]
rng = np.random.default_rng(3)
local = rng.uniform(0, 20, (3000, 3)) * [1, 1, 0.2]
header = laspy.LasHeader(point_format=3, version="1.2")
header.offsets, header.scales = [650000, 5400000, 0], [0.001] * 3
las = laspy.LasData(header)
las.x, las.y, las.z = (local + [650123, 5400456, 300]).T
las.intensity = np.arange(3000)
source, target = f"{folder}/in{suffix}", f"{folder}/out{suffix}"
las.write(source)
run = lambda *args: subprocess.run([*cli.split("|"), *args], capture_output=True, text=True)
done = run("count", source, "-r", "0.7", "--as-dimension", "density", "-o", target)
refused = run("count", source, "-r", "0.7", "--as-dimension", "Intensity", "-o", f"{folder}/x{suffix}")
plain = run("count", source, "-r", "0.7", "-o", f"{folder}/c.npy")
normals = run("normals", source, "-r", "1.5", "-o", f"{folder}/n{suffix}")
clusters = run("cluster", source, "-r", "0.7", "--min-samples", "3", "-o", f"{folder}/k{suffix}")
dropped = run("outliers", source, "-r", "0.7", "--min-neighbours", "4", "--drop", "-o", f"{folder}/d{suffix}")
features = run("features", source, "--radii", "0.75", "1.5", "--features", "planarity", "-o", f"{folder}/f{suffix}")
result = laspy.read(target)
coords = np.stack([np.asarray(result.x), np.asarray(result.y), np.asarray(result.z)], axis=1)
shifted = (coords - np.floor(coords.min(axis=0))).astype(np.float32)
expected = KesraNNS(shifted, 0.7).count_neighbours(shifted)
shape = KesraNNS(shifted, 1.5).local_geometry(shifted)
scales = KesraNNS(shifted, 1.5).local_geometry(shifted, radii=(0.75, 1.5))
with_features = laspy.read(f"{folder}/f{suffix}")
with_normals = laspy.read(f"{folder}/n{suffix}")
clustered, kept = laspy.read(f"{folder}/k{suffix}"), laspy.read(f"{folder}/d{suffix}")
flags = KesraNNS(shifted, 0.7).radius_outliers(4)
print(json.dumps({
    "status": [done.returncode, refused.returncode, plain.returncode, normals.returncode, clusters.returncode,
               dropped.returncode, features.returncode],
    "errors": [done.stderr, refused.stderr],
    "compressed": result.header.are_points_compressed,
    "same": bool((result["density"] == expected).all() and (np.load(f"{folder}/c.npy") == expected).all()),
    "kept": bool((result.intensity == np.arange(3000)).all() and np.allclose(coords, las.xyz)),
    "normals": bool(np.array_equal(np.stack([with_normals[f"normal_{a}"] for a in "xyz"], 1), shape.normals)
                    and np.array_equal(with_normals["curvature"], kesra.features(shape)["change_of_curvature"])
                    and not np.isnan(shape.normals).any()
                    and (with_normals.intensity == np.arange(3000)).all()),
    "clusters": bool((clustered["cluster"] == KesraNNS(shifted, 0.7).dbscan(3).labels).all()
                     and (clustered.intensity == np.arange(3000)).all()
                     and (kept.intensity == np.flatnonzero(~flags)).all()),
    "features": all(np.array_equal(with_features[f"planarity_{s}"], kesra.feature_table(scales)[f"planarity_{s}"],
                                   equal_nan=True) for s in ("r0.75", "r1.5")),
}))
"""


@pytest.mark.skipif(importlib.util.find_spec("laspy") is None, reason="laspy not installed (kesra[io])")
@pytest.mark.parametrize("suffix", [".las", ".laz"])
def test_las_counts_and_normals_as_new_dimensions(tmp_path, suffix):
    if suffix == ".laz" and importlib.util.find_spec("laszip") is None:
        pytest.skip("no LAZ backend for laspy installed")
    # Once through the console script, once through `python -m kesra`.
    script = Path(sys.executable).with_name("kesra")
    cli = str(script) if suffix == ".las" and script.exists() else f"{sys.executable}|-m|kesra"
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(LAS_SCRIPT), cli, suffix, str(tmp_path)],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    result = json.loads(proc.stdout)
    assert result["status"] == [0, 2, 0, 0, 0, 0, 0], result["errors"]
    assert "shifted by (650123, 5400456, 300)" in result["errors"][0]
    assert "already has a dimension named 'Intensity'" in result["errors"][1]
    assert result["compressed"] == (suffix == ".laz") and result["same"] and result["kept"] and result["normals"]
    assert result["clusters"]
    assert result["features"]
