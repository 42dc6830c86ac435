"""The methods beside the original five: open, close, len and in, query, search_many, the graph
index, and arrays read through __array_interface__. Each is checked against a plain model."""

import json
import math
import os
import random
import sqlite3
import struct
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from korvane import Korvane

np = pytest.importorskip("numpy")


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "store.db")


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def run_python(code, timeout=60):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env=env, timeout=timeout)


def random_rows(n, d, seed=1):
    rng = random.Random(seed)
    return [[f32(rng.uniform(-1, 1)) for _ in range(d)] for _ in range(n)]


def filled(store, rows, groups=3):
    for i, row in enumerate(rows):
        meta = {"g": i % groups, "n": i}
        if i % 5 == 0:
            meta["g"] = float(i % groups)  # a float never equals the integer of the same value
        store.insert(f"r{i:03}", row, json.dumps(meta) if i % 7 else None)
    return store


# --- close, with, len, in -----------------------------------------------------------------

def test_close_releases_the_file_for_another_process(path):
    store = Korvane(path)
    store.insert("a", [1.0])
    keep = [store]  # another reference lives on, as in a dict or a traceback
    probe = f"""
        from korvane import Korvane
        try:
            print(Korvane({path!r}).get_all())
        except RuntimeError as e:
            print("refused", e)
    """
    assert run_python(probe).stdout.startswith("refused Storage error: Database error:")
    store.close()
    store.close()  # closing again does nothing
    assert run_python(probe).stdout.strip() == "[('a', None)]"
    for call in (lambda: store.get("a"), lambda: store.insert("b", [1.0]), store.get_all,
                 lambda: len(store), lambda: "a" in store, lambda: store.search([1.0], 1),
                 lambda: store.query([1.0], 1), store.__enter__, store.enable_index):
        with pytest.raises(RuntimeError, match="^Korvane store is closed$"):
            call()
    assert keep[0] is store and bool(store)


def test_with_closes_also_on_error(path):
    with pytest.raises(KeyError):
        with Korvane(path) as store:
            store.insert("a", [1.0])
            raise KeyError("x")
    with pytest.raises(RuntimeError, match="closed"):
        store.get("a")
    with Korvane(path) as again:
        assert again.get_all() == [("a", None)]


def test_len_and_in_follow_the_records(path):
    store = Korvane(path)
    assert len(store) == 0 and "a" not in store and bool(store)
    store.insert("a", [1.0])
    store.insert("a", [2.0])
    store.insert("b", [2.0])
    assert len(store) == len(store.get_all()) == 2
    assert "a" in store and "c" not in store
    store.delete("a")
    assert len(store) == 1 and "a" not in store
    with pytest.raises(TypeError, match="^argument 'id': 'int' object cannot be converted"):
        5 in store


# --- open: metrics and a fixed dimension ---------------------------------------------------

def plain_score(metric, q, v):
    n = min(len(q), len(v))
    if metric == "manhattan":
        return sum(abs(f32(q[i] - v[i])) for i in range(n))
    terms = {"dot": lambda x, y: x * y, "euclidean": lambda x, y: (x - y) * (x - y)}
    if metric == "cosine":
        d = sum(q[i] * v[i] for i in range(n))
        a, b = sum(x * x for x in q[:n]), sum(y * y for y in v[:n])
        return 0.0 if a == 0 or b == 0 else d / math.sqrt(a * b)
    total = sum(terms[metric](q[i], v[i]) for i in range(n))
    return math.sqrt(total) if metric == "euclidean" else total


@pytest.mark.parametrize("metric", ["cosine", "dot", "euclidean", "manhattan"])
def test_open_orders_by_the_chosen_metric(tmp_path, metric):
    rows = random_rows(40, 12)
    store = filled(Korvane.open(str(tmp_path / "m.db"), metric=metric), rows)
    q = random_rows(1, 12, seed=9)[0]
    got = store.search(q, 10)
    distance = metric in ("euclidean", "manhattan")
    expect = sorted(range(40), key=lambda i: plain_score(metric, q, rows[i]),
                    reverse=not distance)[:10]
    assert [r[0] for r in got] == [f"r{i:03}" for i in expect]
    for (_, score, _), i in zip(got, expect):
        assert score == pytest.approx(plain_score(metric, q, rows[i]), rel=1e-5, abs=1e-6)


def test_open_with_dim(path):
    with pytest.raises(ValueError, match="^unknown metric 'l2'"):
        Korvane.open(path, metric="l2")
    with pytest.raises(ValueError, match="^dim must be positive$"):
        Korvane.open(path, dim=0)
    with pytest.raises(TypeError, match=r"^Korvane.open\(\) takes 1 positional arguments but 2"):
        Korvane.open(path, "dot")
    store = Korvane.open(path, dim=3)
    store.insert("a", [1.0, 2.0, 3.0])
    with pytest.raises(ValueError, match="^vector has length 2, but the store's dimension is 3$"):
        store.insert("b", [1.0, 2.0])
    with pytest.raises(ValueError, match="^query has length 4, but the store's dimension is 3$"):
        store.search([1.0] * 4, 1)
    with pytest.raises(ValueError, match="^query 1 has length 1"):
        store.search_many([[1.0] * 3, [1.0]], 1)
    assert len(store) == 1
    store.close()
    with pytest.raises(ValueError, match="^the store was saved with dim 3, but dim 4 was asked"):
        Korvane.open(path, dim=4)
    Korvane(path).close()  # the refused open left the file unlocked


# --- query: where and decay ----------------------------------------------------------------

def test_query_equals_filtering_after_a_full_search(path):
    rows = random_rows(60, 9)
    store = filled(Korvane(path), rows)
    q = random_rows(1, 9, seed=4)[0]
    everything = store.search(q, 60)
    assert store.query(q, 60) == everything
    for where in ['{"g": 1}', '{"g": 1.0}', '{"g": 2, "n": 8}', '{}', '{"missing": 1}']:
        want = json.loads(where)

        def keep(meta):
            if not want:
                return True  # no condition at all, so no metadata needed either
            if meta is None:
                return False
            held = json.loads(meta)
            # Numbers compare by value: 1 and 1.0 are equal.
            return all(k in held and held[k] == v for k, v in want.items())
        model = [r for r in everything if keep(r[2])]
        assert store.query(q, 60, where=where) == model
        assert store.query(q, 4, where=where) == model[:4]
    with pytest.raises(ValueError, match="^where must be a JSON object$"):
        store.query(q, 3, where="[1]")
    with pytest.raises(ValueError, match="^expected value at line 1 column 1$"):
        store.query(q, 3, where="x")


def test_query_decay_leaves_records_without_time_alone(path):
    store = filled(Korvane(path), random_rows(10, 4))
    q = [1.0, 0.0, 0.0, 0.0]
    assert store.query(q, 10, decay=0.5) == store.search(q, 10)
    assert store.query(q, 10, decay=0.5, now=10**9) == store.search(q, 10)
    with pytest.raises(ValueError, match="^decay must be"):
        store.query(q, 1, decay=float("nan"))
    with pytest.raises(TypeError, match="^argument 'decay': "):
        store.query(q, 1, decay="0.5")


# --- search_many ---------------------------------------------------------------------------

def test_search_many_equals_single_searches(path):
    rows = random_rows(300, 16)
    store = filled(Korvane(path), rows)
    queries = random_rows(7, 16, seed=5) + [[0.0] * 16, rows[3]]
    expect = [store.search(q, 5) for q in queries]
    assert store.search_many(queries, 5) == expect
    assert store.search_many(np.array(queries, dtype=np.float32), 5) == expect
    assert store.search_many([], 5) == []
    with pytest.raises(TypeError, match="^argument 'queries': item 1: must be real number"):
        store.search_many([[1.0], [1.0, "x"]], 1)


# --- the graph index -----------------------------------------------------------------------

def test_enable_index_checks_its_arguments(path):
    store = Korvane(path)
    for kwargs, message in [({"m": 1}, "^m must be between 2 and 4096, not 1$"),
                            ({"ef_search": 0}, "^ef_search must be between 1"),
                            ({"ml": 0.0}, "^ml must be above 0"),
                            ({"ml": float("inf")}, "^ml must be above 0"),
                            ({"neighbors": "widest"}, "^neighbors must be 'nearest' or 'diverse'")]:
        with pytest.raises(ValueError, match=message):
            store.enable_index(**kwargs)
    with pytest.raises(TypeError, match="^argument 'm': "):
        store.enable_index(m=2.5)
    with pytest.raises(TypeError, match="^argument 'progress': "):
        store.enable_index(progress=3)
    with pytest.raises(TypeError, match=r"takes from 0 to 3 positional arguments but 4"):
        store.enable_index(16, 200, 64, 16)


def test_index_recall_and_progress(path):
    rows = random_rows(2600, 16, seed=3)
    store = Korvane(path)
    store.insert_many([f"r{i:03}" for i in range(len(rows))], rows,
                      [json.dumps({"g": i % 3}) for i in range(len(rows))])
    queries = random_rows(20, 16, seed=8)
    exact = [store.search(q, 10) for q in queries]
    filtered = store.query(queries[0], 10, where='{"g": 1}')

    def stop(done, total):
        if done:
            raise KeyError(done)
    with pytest.raises(KeyError):
        store.enable_index(m=8, progress=stop)
    assert store.search_many(queries, 10) == exact  # no index was installed

    calls = []
    store.enable_index(m=8, ef_construction=100, ef_search=80, neighbors="nearest",
                       progress=lambda done, total: calls.append((done, total)))
    assert calls == [(0, 2600)] + [(n, 2600) for n in range(1000, 2600, 1000)] + [(2600, 2600)]
    approx = store.search_many(queries, 10)
    assert approx == [store.search(q, 10) for q in queries]
    hits = sum(len({r[0] for r in a} & {r[0] for r in e}) for a, e in zip(approx, exact))
    assert hits / 200 >= 0.85
    # Conditions take the exact scan, as before the index; an empty where is no condition.
    assert store.query(queries[0], 10, decay=1.0) == exact[0]
    assert store.query(queries[0], 10, where='{"g": 1}') == filtered
    assert store.query(queries[0], 10, where="{}") == approx[0]
    # Diverse links answer at least as well on the same data.
    store.enable_index(m=8, ef_construction=100, ef_search=80, neighbors="diverse")
    diverse = store.search_many(queries, 10)
    assert diverse == [store.search(q, 10) for q in queries]
    assert sum(len({r[0] for r in a} & {r[0] for r in e})
               for a, e in zip(diverse, exact)) / 200 >= 0.85


# --- arrays --------------------------------------------------------------------------------

def array_cases():
    base = np.array(random_rows(6, 10, seed=2), dtype=np.float64) * 3
    base[2, 1] = 1e-46  # below the smallest subnormal
    base[2, 2] = 1.0000000596046448  # halfway between two floats
    for dtype in (np.float32, np.float64):
        a = base.astype(dtype)
        yield a[2]                       # contiguous
        yield a[2, ::3]                  # strided
        yield a[2, ::-1]                 # negative stride
        yield np.asfortranarray(a)[:, 4]  # a column
        yield a[3, :0]                   # empty
    big = base[2].copy()
    big[3] = 1e40  # beyond the float range: infinity on both paths, refused by the store
    yield big
    yield base[2].astype(np.float16)     # read through the general path
    yield base[2].astype(">f8")
    yield np.arange(5, dtype=np.int64)


@pytest.mark.parametrize("array", list(array_cases()), ids=lambda a: f"{a.dtype}{a.strides}")
def test_arrays_equal_lists_bit_for_bit(tmp_path, array):
    as_list = Korvane(str(tmp_path / "l.db"))
    as_array = Korvane(str(tmp_path / "a.db"))
    values = array.tolist()
    finite = all(math.isfinite(f32(x)) if abs(x) < 3e38 else False for x in values)
    q = [0.5] * len(values)
    if finite:
        as_list.insert("x", values)
        as_array.insert("x", array)
        assert as_array.search(array, 1) == as_list.search(values, 1)
        assert as_array.search(q, 1) == as_list.search(q, 1)
        as_list.close()
        as_array.close()
        # The stored rows spell every float exactly: equal rows are equal bits.
        rows = [sqlite3.connect(str(tmp_path / f)).execute("SELECT value FROM records").fetchall()
                for f in ("l.db", "a.db")]
        assert rows[0] == rows[1]
    else:
        with pytest.raises(RuntimeError) as from_list:
            as_list.insert("x", values)
        with pytest.raises(RuntimeError) as from_array:
            as_array.insert("x", array)
        assert str(from_array.value) == str(from_list.value)


class InterfaceOnly:
    """An array known only by its __array_interface__ dictionary, as other array types offer."""

    def __init__(self, array):
        self.array = array

    @property
    def __array_interface__(self):
        return self.array.__array_interface__

    def __len__(self):
        return len(self.array)

    def __getitem__(self, i):
        return self.array[i]


@pytest.mark.parametrize("array", [
    np.linspace(-2, 3, 9, dtype=np.float32),
    np.linspace(-2, 3, 20, dtype=np.float64)[::-3],
    np.linspace(-2, 3, 9, dtype=np.float16),
], ids=str)
def test_the_interface_dictionary_reads_the_same(path, array):
    store = Korvane.open(path, metric="dot")
    store.insert("list", array.tolist())
    store.insert("dict", InterfaceOnly(array))
    store.insert("arr", array)
    # Dot with each unit vector reads back every stored component.
    for i in range(len(array)):
        unit = [0.0] * len(array)
        unit[i] = 1.0
        scores = {r[0]: r[1] for r in store.search(unit, 3)}
        assert scores["list"] == scores["dict"] == scores["arr"], i
    rows = InterfaceOnly(np.array([array, array]))
    assert store.search_many(rows, 3) == store.search_many([array.tolist()] * 2, 3)


def test_arrays_the_direct_path_refuses_fail_as_sequences(path):
    store = Korvane(path)
    for bad in (np.float32(1.0), np.array(1.0, dtype=np.float32), np.ones((2, 2), np.float32),
                np.array(["a"])):
        errors = []
        for arg in (bad, bad.tolist() if bad.ndim else bad):
            try:
                store.search(arg, 1)
                errors.append(None)
            except Exception as e:  # noqa: BLE001 - the type and text are compared
                errors.append((type(e), str(e)))
        assert errors[0] is not None
    # A matrix where a batch of queries is due, in either memory order.
    m = np.array(random_rows(4, 5), dtype=np.float64)
    store.insert("a", [1.0] * 5)
    assert store.search_many(np.asfortranarray(m), 1) == store.search_many(m.tolist(), 1)


# --- threads -------------------------------------------------------------------------------

class SlowFloat:
    """A vector element whose conversion lets other threads run for a while."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0.002)
        return self.value


def test_other_threads_wait_instead_of_failing(path):
    store = Korvane(path)
    store.insert("seed", [1.0, 1.0])
    errors, reads = [], []
    stop = threading.Event()

    def reader():
        try:
            while not stop.is_set():
                reads.append(len(store.search([1.0, 1.0], 3)) + len(store.get_all()))
                store.get("seed")
        except BaseException as e:  # noqa: B036 - anything escaping a thread is a failure
            errors.append(e)

    threads = [threading.Thread(target=reader) for _ in range(2)]
    for t in threads:
        t.start()
    try:
        for i in range(20):
            store.insert(f"w{i}", [SlowFloat(1.0), SlowFloat(float(i))])
    finally:
        stop.set()
        for t in threads:
            t.join()
    assert errors == [] and reads
    assert len(store) == 21


def test_a_writer_waits_for_a_running_search(tmp_path):
    store = Korvane(str(tmp_path / "big.db"))
    rows = np.random.default_rng(0).standard_normal((840, 64)).astype(np.float32)
    for i in range(800):
        store.insert(str(i), rows[i])
    done = []

    def searcher():
        for _ in range(30):
            done.append(len(store.search_many(rows[:8], 5)))

    t = threading.Thread(target=searcher)
    t.start()
    for i in range(800, 840):
        store.insert(str(i), rows[i])
    t.join()
    assert done == [8] * 30 and len(store) == 840


# --- re-entrance from the same thread ------------------------------------------------------

class Reenter:
    """A vector element or count whose conversion calls back into the store."""

    def __init__(self, call):
        self.call = call

    def __float__(self):
        self.call()
        return 0.0

    def __index__(self):
        self.call()
        return 8


@pytest.mark.parametrize("outer, inner, message", [
    (lambda s, e: s.insert_many(["x"], [[1.0, e]]), lambda s: len(s), "Already mutably borrowed"),
    (lambda s, e: s.upsert("x", [1.0, e]), lambda s: "a" in s, "Already mutably borrowed"),
    (lambda s, e: s.delete_many(["x"]) or s.upsert("x", [e]), lambda s: s.query([1.0], 1),
     "Already mutably borrowed"),
    (lambda s, e: s.query([1.0, e], 1), lambda s: s.upsert("y", [1.0]), "Already borrowed"),
    (lambda s, e: s.search_many([[1.0, e]], 1), lambda s: s.close(), "Already borrowed"),
    (lambda s, e: s.query([1.0, e], 1, where="{}"), lambda s: s.search_many([[1.0]], 1), None),
    (lambda s, e: s.upsert_many(["x"], [[1.0, e]]), lambda s: s.get("seed"),
     "Already mutably borrowed"),
    (lambda s, e: s.enable_index(ef_search=e), lambda s: s.count(), "Already mutably borrowed"),
    (lambda s, e: s.set_ef_search(e), lambda s: s.index_info(), "Already mutably borrowed"),
    (lambda s, e: s.select(limit=e), lambda s: s.delete_where({}), "Already borrowed"),
])
def test_reentrance_keeps_the_borrow_errors(path, outer, inner, message):
    store = Korvane(path)
    store.insert("seed", [1.0, 0.0])
    element = Reenter(lambda: inner(store))
    if message is None:
        outer(store, element)
    else:
        with pytest.raises(RuntimeError, match=f"^{message}$"):
            outer(store, element)
    assert store.get_all() == [("seed", None)]
    store.insert("after", [1.0])  # the lock and the flag were both released
