"""The graph index from Python: saved at close() and loaded at open, its settings and counts."""
import os
import random

import pytest

from korvane import Korvane


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "store.db")


def fill(store, n=300, d=8, seed=1):
    rng = random.Random(seed)
    ids = [f"r{i:04d}" for i in range(n)]
    store.insert_many(ids, [[rng.gauss(0, 1) for _ in range(d)] for _ in ids])
    return rng


def test_index_comes_back_after_close_and_settings_change_without_rebuild(path):
    with Korvane(path) as store:
        assert store.index_info() is None
        rng = fill(store)
        store.enable_index(m=8, ef_construction=40, ef_search=20)
        queries = [[rng.gauss(0, 1) for _ in range(8)] for _ in range(10)]
        before = [store.search(q, 5) for q in queries]
        info = store.index_info()
        assert (info["m"], info["ef_search"], info["nodes"], info["deleted"], info["source"]) == (
            8, 20, 300, 0, "built")
    assert os.path.exists(path + ".index")
    with Korvane(path) as store:
        assert store.index_info()["source"] == "loaded"
        assert [store.search(q, 5) for q in queries] == before
        wide = [store.query(q, 5, ef=300) for q in queries]  # the whole graph: exact answers
        store.set_ef_search(300)
        assert store.index_info()["ef_search"] == 300
        assert [store.search(q, 5) for q in queries] == wide
        store.insert("new", [1.0] * 8)
    store = Korvane(path)  # the setting and the insert were saved by close()
    assert (store.index_info()["ef_search"], store.index_info()["source"]) == (300, "loaded")
    store.insert("unsaved", [5.0, -5.0] * 4)
    del store  # dropped without close(): the saved index no longer matches
    with Korvane(path) as store:
        assert store.index_info()["source"] == "rebuilt"
        assert store.search([5.0, -5.0] * 4, 1)[0][0] == "unsaved"


def test_deletes_are_counted_until_the_save_and_threads_choose_the_build(path):
    with Korvane(path) as store:
        fill(store)
        store.enable_index(m=8, threads=2)
        store.delete("r0003")
        store.upsert("r0004", [0.5] * 8)
        info = store.index_info()
        assert (info["nodes"], info["deleted"]) == (299, 2)
        assert all(r[0] != "r0003" for r in store.search([0.0] * 8, 299))
        store.save_index()  # the saved graph has no deleted nodes, nor has the one in memory
        assert store.index_info()["deleted"] == 0
        store.enable_index(m=8, threads=1)
        with pytest.raises(ValueError, match="threads must be between 1 and 1024, not 0"):
            store.enable_index(threads=0)


def test_index_settings_check_their_arguments(path):
    with Korvane(path) as store:
        fill(store, n=20)
        with pytest.raises(RuntimeError, match="no index"):
            store.set_ef_search(10)
        store.save_index()  # no index: nothing to save
        assert not os.path.exists(path + ".index")
        store.enable_index()
        for bad in (0, 2**20 + 1):
            with pytest.raises(ValueError, match="ef must be between 1 and 1048576"):
                store.set_ef_search(bad)
            with pytest.raises(ValueError, match="ef must be between"):
                store.query([0.0] * 8, 1, ef=bad)
        with pytest.raises(TypeError):
            store.query([0.0] * 8, 1, 10, None, None, 5)  # ef is keyword-only


def test_save_failure_is_reported_and_the_store_still_closes(path, tmp_path):
    store = Korvane(path)
    fill(store, n=20)
    store.enable_index()
    os.mkdir(path + ".index.tmp")  # the temporary file cannot be created
    with pytest.raises(RuntimeError, match="index file"):
        store.save_index()
    with pytest.raises(RuntimeError, match="index file"):
        store.close()
    with pytest.raises(RuntimeError, match="closed"):
        len(store)
    os.rmdir(path + ".index.tmp")
