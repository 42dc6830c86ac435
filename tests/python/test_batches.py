"""Batch writes (insert_many, upsert, upsert_many, delete_many) against the same writes made one
at a time, all or nothing when a record is refused, and timestamps with decay."""

import json
import random
import struct

import pytest

from korvane import Korvane

np = pytest.importorskip("numpy")


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "store.db")


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def workload(n, d, seed=1):
    rng = random.Random(seed)
    ids = [f"id{rng.randrange(n // 2)}" for _ in range(n)]  # repeats on purpose
    vectors = [[f32(rng.uniform(-1, 1)) for _ in range(d)] for _ in range(n)]
    metadata = [json.dumps({"i": i}) if i % 3 else None for i in range(n)]
    return ids, vectors, metadata


def state(store, q):
    return store.get_all(), store.search(q, 1000), len(store)


def test_batches_equal_single_writes(tmp_path):
    ids, vectors, metadata = workload(80, 6)
    q = vectors[0]
    singles = Korvane(str(tmp_path / "singles.db"))
    batched = Korvane(str(tmp_path / "batched.db"))
    for i, v, m in zip(ids, vectors, metadata):
        singles.insert(i, v, m)
    batched.insert_many(ids, np.array(vectors, dtype=np.float32), metadata)
    assert state(batched, q) == state(singles, q)

    # upsert is delete + insert in one step; upsert_many the same in order.
    changes = [(ids[5], vectors[9], '{"new":1}'), ("fresh", vectors[1], None),
               (ids[5], vectors[2], None), (ids[7], vectors[3], "[]")]
    for i, v, m in changes[:2]:
        singles.delete(i)
        singles.insert(i, v, m)
        batched.upsert(i, v, m)
    assert state(batched, q) == state(singles, q)
    for i, v, m in changes[2:]:
        singles.delete(i)
        singles.insert(i, v, m)
    batched.upsert_many([c[0] for c in changes[2:]], [c[1] for c in changes[2:]],
                        [c[2] for c in changes[2:]])
    assert state(batched, q) == state(singles, q)
    assert [r for r in batched.get_all() if r[0] == ids[5]] == [(ids[5], None)]

    gone = [ids[0], "never", ids[1], ids[0]]
    for i in gone:
        singles.delete(i)
    batched.delete_many(gone)
    assert state(batched, q) == state(singles, q)

    # And the same after both files are read back.
    singles.close()
    batched.close()
    assert state(Korvane(str(tmp_path / "batched.db")), q) == \
        state(Korvane(str(tmp_path / "singles.db")), q)


@pytest.mark.parametrize("bad, error, message", [
    ({"vectors": [[1.0], [float("inf")], [2.0]]}, RuntimeError,
     "^item 1: Storage error: Serialization error: cannot store non-finite"),
    ({"metadata": [None, None, "[" * 127 + "]" * 127]}, RuntimeError,
     "^item 2: Storage error: Serialization error: cannot store metadata nested"),
    ({"metadata": ["{}", "{", None]}, ValueError, "^item 1: EOF while parsing"),
    ({"metadata": [None, {5}, None]}, TypeError,
     "^argument 'metadata': item 1: 'set' object is not a JSON value"),
    ({"metadata": [None]}, ValueError, "^metadata has 1 items, but ids has 3$"),
    ({"vectors": [[1.0], [1.0]]}, ValueError, "^vectors has 2 items, but ids has 3$"),
    ({"vectors": [[1.0], "ab", [1.0]]}, TypeError,
     "^argument 'vectors': item 1: Can't extract `str` to `Vec`$"),
    ({"ids": ["a", 1, "c"]}, TypeError, "^argument 'ids': item 1: 'int' object cannot"),
    ({"timestamps": [1, -1, None]}, OverflowError, "^item 1: can't convert negative int"),
])
def test_a_refused_batch_stores_nothing(path, bad, error, message):
    store = Korvane(path)
    store.insert("keep", [1.0], '"old"')
    args = {"ids": ["a", "keep", "c"], "vectors": [[1.0], [2.0], [3.0]], "metadata": None}
    args.update(bad)
    before = store.get_all()
    for method in (store.insert_many, store.upsert_many):
        with pytest.raises(error, match=message):
            method(**args)
        assert store.get_all() == before and len(store) == 1
    store.close()
    assert Korvane(path).get_all() == before


def test_batch_arguments(path):
    store = Korvane(path)
    store.insert_many([], np.zeros((0, 4), np.float32))
    store.delete_many([])
    assert len(store) == 0
    with pytest.raises(TypeError, match=r"^Korvane.insert_many\(\) takes from 2 to 3 positional"):
        store.insert_many(["a"], [[1.0]], None, [5])
    with pytest.raises(TypeError, match="^argument 'ids': "):
        store.delete_many("abc")
    dimmed = Korvane.open(path + "2", dim=2)
    with pytest.raises(ValueError, match="^item 1: vector has length 3"):
        dimmed.insert_many(["a", "b"], [[1.0, 2.0], [1.0, 2.0, 3.0]])
    assert len(dimmed) == 0


def test_timestamps_drive_decay(path):
    day = 86400
    store = Korvane.open(path, metric="dot")
    now = 100 * day
    store.insert_many(["new", "old", "timeless"], [[1.0], [4.0], [2.0]],
                      timestamps=[now, now - 2 * day, None])
    store.upsert("older", [8.0], timestamp=now - 3 * day)
    plain = store.search([1.0], 4)
    assert [r[0] for r in plain] == ["older", "old", "timeless", "new"]
    got = store.query([1.0], 4, decay=0.5, now=now)
    # 8 * 0.5**3 = 1, 4 * 0.5**2 = 1, 2 undecayed, 1 undecayed; ties keep store order.
    assert got == [("timeless", 2.0, None), ("new", 1.0, None), ("old", 1.0, None),
                   ("older", 1.0, None)]
    assert store.query([1.0], 4, decay=0.5, now=now - 10 * day) == plain
