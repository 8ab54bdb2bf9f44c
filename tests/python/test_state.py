"""Pickling: the byte layout of the engine state, round trips, and the decoder's handling
of truncated, corrupted and foreign states."""

import copy
import pickle
import random
import struct
import threading
import time

import numpy as np
import pytest

import kesra
from brute_force import random_cloud

Engine = kesra.KesraNNSEngine
EMPTY = np.zeros((0, 3), np.float32)
METHODS = [("voxel", {}), ("voxel", {"cells_per_radius": 2}), ("kdtree", {}),
           ("hybrid", {"subtree_threshold": 3}), ("graph", {"graph_degree": 0}), ("graph", {"graph_degree": 5})]
# max_dist, the method's length, cells_per_radius, subtree_threshold and graph_degree
# follow the method's bytes: 4 + 8 + 8 after them.
TAIL = 20


def answers(engine, queries):
    return (*engine.find_neighbours(queries, 6), *engine.find_neighbours(queries, 2, epsilon=0.5),
            engine.count_neighbours(queries), engine.count_neighbours(queries, distance_weight_factor=1.5))


def assert_same_answers(a, b, queries):
    for x, y in zip(answers(a, queries), answers(b, queries), strict=True):
        np.testing.assert_array_equal(x, y)
    assert (a.method, len(a), a.grid_stats(), a.__getnewargs__()[1:]) == \
        (b.method, len(b), b.grid_stats(), b.__getnewargs__()[1:])


@pytest.fixture(scope="module")
def data():
    points = random_cloud(3000, seed=7, low=0.0, high=4.0)
    points[::301] = np.nan
    points[1:40] = points[0]  # a crowded spot, so the hybrid grid has subtrees
    queries = random_cloud(500, seed=8, low=-0.5, high=4.5)
    queries[::97] = np.nan
    return points, queries


@pytest.fixture(scope="module")
def engines(data):
    return [Engine(data[0], 0.3, method, **kw) for method, kw in METHODS]


def test_worked_example_bytes():
    state = Engine(EMPTY, 1.0, "kdtree").__getstate__()
    assert state.hex() == ("01000000" + "00" * 24 + "0000803f" + "0600000000000000" + b"kdtree".hex() +
                           "01000000" + "4000000000000000" + "1000000000000000")


@pytest.mark.parametrize("how", ["p2", "p3", "p4", "p5", "copy", "deepcopy"])
def test_round_trips_answer_alike(engines, data, how):
    for engine in engines:
        if how == "copy":
            restored = copy.copy(engine)
        elif how == "deepcopy":
            restored = copy.deepcopy(engine)
        else:
            restored = pickle.loads(pickle.dumps(engine, protocol=int(how[1])))
        assert restored is not engine
        assert_same_answers(restored, engine, data[1])
        if engine.method == "graph":
            assert restored.__getnewargs__()[5] == engine.__getnewargs__()[5]


def test_encoding_is_stable_and_sized_by_its_fields(engines, data):
    for engine in engines:
        state = engine.__getstate__()
        assert state == engine.__getstate__()
        restored = Engine(EMPTY, 1.0)
        restored.__setstate__(state)
        again = restored.__getstate__()
        # A decoded map may list its entries in another order; nothing else moves.
        assert len(again) == len(state) and sorted(again) == sorted(state)
        assert_same_answers(restored, engine, data[1])
    kd = engines[2]
    n, nodes = len(kd), kd.__getstate__()[20 + 16 * len(kd):]
    assert len(kd.__getstate__()) == 36 + 6 + 24 + 16 * n + 13 * struct.unpack_from("<Q", nodes)[0]


def test_getnewargs_makes_a_placeholder_of_the_same_method(engines):
    for engine in engines:
        args = engine.__getnewargs__()
        assert len(args) == 6 and args[0].dtype == np.float32 and args[0].shape == (0, 3)
        assert args[0].flags.c_contiguous and type(args[1]) is float and args[1] == np.float32(0.3)
        assert Engine(*args).method == engine.method
    assert engines[4].__getnewargs__()[5] == 0  # not the degree 1 the graph uses
    assert engines[4].grid_stats()["graph_degree"] == 1


def small_states():
    points = random_cloud(12, seed=3, low=0.0, high=1.0)
    return [Engine(points, 0.4, method, subtree_threshold=2, graph_degree=3).__getstate__()
            for method in kesra.available_methods()]


def test_truncation_anywhere_fails_and_keeps_the_engine(data):
    engine = Engine(data[0][:50], 0.3, "hybrid", subtree_threshold=2)
    for state in small_states():
        before = engine.__getstate__()
        method_len = len(state_method(state))
        method_start = len(state) - TAIL - method_len
        for cut in range(len(state)):
            inside_method = method_start <= cut < method_start + method_len
            message = "io error: " if inside_method else "io error: unexpected end of file"
            with pytest.raises(ValueError) as err:
                engine.__setstate__(state[:cut])
            assert str(err.value) == message, cut
        assert engine.__getstate__() == before
        engine.__setstate__(state + b"\x07" * 13)  # trailing bytes are ignored
        assert sorted(engine.__getstate__()) == sorted(state)


def with_method(state, text, max_dist=None):
    """The state with another method text and, if given, another max_dist."""
    head = len(state) - TAIL - len(state_method(state)) - 8 - 4
    if max_dist is None:
        max_dist = struct.unpack_from("<f", state, head)[0]
    return state[:head] + struct.pack("<fQ", max_dist, len(text)) + text + state[-TAIL:]


def state_method(state):
    return next(m for m in kesra.available_methods() if state.endswith(m.encode() + state[-TAIL:])).encode()


@pytest.mark.parametrize("text, message", [
    (b"\xff", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"ab\xe2\x82", "incomplete utf-8 byte sequence from index 2"),
    (b"a\xe2\x28\xa1", "invalid utf-8 sequence of 1 bytes from index 1"),
    (b"\xf0\x90\x28\x28", "invalid utf-8 sequence of 2 bytes from index 0"),
    (b"xy\xf0\x90\x80\x28", "invalid utf-8 sequence of 3 bytes from index 2"),
    (b"\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xc0\xaf", "invalid utf-8 sequence of 1 bytes from index 0"),
])
def test_invalid_method_text(text, message):
    state = Engine(EMPTY, 1.0, "voxel").__getstate__()
    with pytest.raises(ValueError, match=f"^string is not valid utf8: {message}$"):
        Engine(EMPTY, 1.0).__setstate__(with_method(state, text))


@pytest.mark.parametrize("state, message", [
    (b"", "io error: unexpected end of file"),
    (b"\x04\x00\x00\x00", "invalid value: integer `4`, expected variant index 0 <= i < 4"),
    (b"\xff\xff\xff\xff" + bytes(100), "invalid value: integer `4294967295`, expected variant index 0 <= i < 4"),
    # a count far beyond the data: nothing huge is allocated before the data runs out
    (b"\x01\x00\x00\x00" + b"\xff" * 8 + bytes(64), "io error: unexpected end of file"),
])
def test_decoder_messages(state, message):
    with pytest.raises(ValueError) as err:
        Engine(EMPTY, 1.0).__setstate__(state)
    assert str(err.value) == message


def test_state_argument_checks():
    engine = Engine(EMPTY, 1.0)
    for value, message in [("x", "'str' object is not an instance of 'bytes'"),
                           (None, "'None' is not an instance of 'bytes'"),
                           (bytearray(b"\0" * 66), "'bytearray' object is not an instance of 'bytes'")]:
        with pytest.raises(TypeError) as err:
            engine.__setstate__(value)
        assert str(err.value) == message and err.value.__notes__ == ["while processing 'state'"]

    class Blob(bytes):
        pass
    engine.__setstate__(state=Blob(Engine(EMPTY, 2.0, "graph").__getstate__()))
    assert engine.method == "graph"


def test_foreign_state_changes_the_method(engines, data):
    target = Engine(data[0][:10], 5.0, "voxel")
    for source in engines:
        target.__setstate__(source.__getstate__())
        assert_same_answers(target, source, data[1])


@pytest.mark.parametrize("text, max_dist, error", [
    (b"octree", 1.0, "unknown method"), ("\u00e9".encode(), 1.0, "unknown method"),
    (b"voxel", 0.0, "max_dist must be a positive finite number, got 0"),
    (b"voxel", float("inf"), "max_dist must be a positive finite number, got inf"),
])
def test_unbuildable_values_decode_but_do_not_unpickle(text, max_dist, error):
    state = with_method(Engine(EMPTY, 1.0, "voxel").__getstate__(), text, max_dist)
    engine = Engine(EMPTY, 1.0)
    engine.__setstate__(state)
    assert engine.method == text.decode() and engine.__getnewargs__()[1:3] == (max_dist, text.decode())
    dumped = pickle.dumps(engine)
    with pytest.raises(ValueError, match=error):
        pickle.loads(dumped)


def voxel_lookup_span(state):
    """Offset and entry count of the voxel grid's cell_lookup in a "voxel" state."""
    pos = 4 + 8
    for width in (12, 4, 12, 4):  # points, original_indices, cell_coords, cell_starts
        count = struct.unpack_from("<Q", state, pos)[0]
        pos += 8 + width * count
    return pos + 8, struct.unpack_from("<Q", state, pos)[0]


def test_lookup_entries_in_any_order_later_ones_win(data):
    engine = Engine(data[0], 0.3, "voxel", cells_per_radius=2)
    state = engine.__getstate__()
    start, n = voxel_lookup_span(state)
    entries = [state[start + 16 * i:start + 16 * (i + 1)] for i in range(n)]
    # Each real entry follows a wrong number for the same cell, in reverse order.
    wrong = [e[:12] + struct.pack("<I", (struct.unpack_from("<I", e, 12)[0] + 1) % n) for e in entries]
    body = b"".join(w + e for w, e in zip(reversed(wrong), reversed(entries)))
    shuffled = state[:start - 8] + struct.pack("<Q", 2 * n) + body + state[start + 16 * n:]
    restored = Engine(EMPTY, 1.0)
    restored.__setstate__(shuffled)
    assert_same_answers(restored, engine, data[1])
    assert len(restored.__getstate__()) == len(state)


def test_restore_refused_while_a_query_runs():
    """A restore is refused with "Already borrowed" while a query holds its claim, and the
    query finishes unharmed. When the restore gets in before the query has taken its
    claim, the restore wins instead, and the scenario runs again."""
    points = random_cloud(300_000, seed=4, low=0.0, high=20.0)
    state = Engine(EMPTY, 1.0).__getstate__()
    for _ in range(10):
        engine = Engine(points, 1.0)
        started, outcome = threading.Event(), {}

        def query():
            started.set()
            try:
                outcome["counts"] = engine.count_neighbours(points, num_threads=1)
            except RuntimeError as err:
                outcome["error"] = str(err)

        thread = threading.Thread(target=query)
        thread.start()
        started.wait()
        time.sleep(0.005)  # the query takes its claim at once and runs for far longer
        refused = 0
        while thread.is_alive():
            try:
                engine.__setstate__(state)
                break
            except RuntimeError as err:
                assert str(err) == "Already borrowed"
                refused += 1
        thread.join()
        if refused:
            assert "error" not in outcome and len(outcome["counts"]) == len(points)
            return
        assert outcome.get("error", "Already mutably borrowed") == "Already mutably borrowed"
    pytest.fail("no restore was tried while a query ran, in ten tries")


def test_mutated_states_raise_or_answer():
    """Corrupt bytes either fail to decode or give an engine whose queries answer or
    raise the internal error; nothing else, and never a crash."""
    rng = random.Random(11)
    queries = np.array([[0.5, 0.5, 0.5], [0.1, 0.9, 0.3], [np.nan, 0, 0], [3e38, -3e38, 0], [40, 40, 40]],
                       np.float32)
    engine = Engine(EMPTY, 1.0)
    outcomes = {"rejected": 0, "answered": 0, "internal": 0}
    for state in small_states():
        for _ in range(800):
            mutated = bytearray(state)
            for _ in range(rng.choice((1, 1, 2, 4))):
                i = rng.randrange(len(mutated))
                mutated[i] = rng.choice((0, 1, 2, 3, 0x7F, 0x80, 0xFF, rng.randrange(256), mutated[i] ^ 1))
            try:
                engine.__setstate__(bytes(mutated))
            except ValueError:
                outcomes["rejected"] += 1
                continue
            try:
                engine.find_neighbours(queries, 3, num_threads=1)
                engine.count_neighbours(queries, num_threads=1, distance_weight_factor=1.0)
                engine.__getstate__(), len(engine), engine.grid_stats()
                outcomes["answered"] += 1
            except kesra.KesraInternalError:
                outcomes["internal"] += 1
    assert all(outcomes.values()), outcomes


def test_structures_no_build_could_give_are_refused(data):
    """Cells out of order, a lookup that disagrees with them, a repeated offset or a node
    array that is not a tree would make queries wrong or endlessly slow: refused at once."""
    engine = Engine(EMPTY, 1.0)
    voxel = Engine(data[0][:200], 0.3, "voxel").__getstate__()
    start, n = voxel_lookup_span(voxel)
    cells_at = start - 8 - 8 - 4 * (n + 1) - 12 * n  # cell_coords follow points and rows
    swapped = bytearray(voxel)
    swapped[cells_at:cells_at + 24] = voxel[cells_at + 12:cells_at + 24] + voxel[cells_at:cells_at + 12]
    wrong_number = bytearray(voxel)
    struct.pack_into("<I", wrong_number, start + 12, 1)
    offsets_at = start + 16 * n + 8
    repeated = bytearray(voxel)
    repeated[offsets_at + 12:offsets_at + 24] = voxel[offsets_at:offsets_at + 12]
    kd = bytearray(Engine(data[0][:200], 0.3, "kdtree").__getstate__())
    struct.pack_into("<I", kd, 20 + 16 * 200 + 8 + 9, 0)  # the root's upper child is the root
    for state, message in [(swapped, "cell_coords are not in ascending"), (wrong_number, "cell_lookup does not map"),
                           (repeated, "neighbour_offsets is not"), (kd, "nodes do not form a tree")]:
        with pytest.raises(ValueError, match=message):
            engine.__setstate__(bytes(state))
