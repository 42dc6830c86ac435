"""Store behaviour through the module: persistence, metadata text, search, processes, threads."""

import os
import struct
import subprocess
import sys
import textwrap
import threading

import pytest

from korvane import Korvane


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "store.db")


@pytest.fixture
def store(path):
    return Korvane(path)


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def run_python(code, timeout=60):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env=env, timeout=timeout)


def test_records_without_metadata(store):
    assert store.insert("a", [1, 2.5]) is None
    assert store.get("a") is None
    assert store.get("zzz") is None
    assert store.get_all() == [("a", None)]


@pytest.mark.parametrize("text, canonical", [
    ('{"b": 1, "a": [true, null]}', '{"a":[true,null],"b":1}'),
    (' \t\r\n"x"\n ', '"x"'),
    ('{"a": 1, "a": 2}', '{"a":2}'),
    ('[1, -2, 2.5, 1e2]', '[1,-2,2.5,100.0]'),
    ('18446744073709551615', '18446744073709551615'),
    ('-9223372036854775808', '-9223372036854775808'),
    ('"caf\\u00e9 \\ud83d\\ude00"', '"caf\u00e9 \U0001F600"'),
    ('{"z": {}, "": []}', '{"":[],"z":{}}'),
    ('false', 'false'),
])
def test_metadata_comes_back_compact(path, text, canonical):
    store = Korvane(path)
    store.insert("a", [1.0], text)
    assert store.get("a") == canonical
    del store
    assert Korvane(path).get_all() == [("a", canonical)]


def test_null_metadata_is_absent_after_reopen(path):
    store = Korvane(path)
    store.insert("a", [1.0], "null")
    store.insert("b", [1.0], None)
    assert store.get("a") == "null"
    assert store.get_all() == [("a", "null"), ("b", None)]
    del store
    store = Korvane(path)
    assert store.get("a") is None
    assert store.get_all() == [("a", None), ("b", None)]


def test_repeated_id_replaces_the_record_in_memory_as_in_the_file(path):
    store = Korvane(path)
    store.insert("a", [1.0], '{"v":1}')
    store.insert("b", [1.0])
    store.insert("a", [2.0], '{"v":2}')
    assert store.get("a") == '{"v":2}'
    assert store.get_all() == [("b", None), ("a", '{"v":2}')]
    assert [hit[0] for hit in store.search([1.0], 10)] == ["b", "a"]
    assert len(store) == 2
    del store
    assert Korvane(path).get_all() == [("a", '{"v":2}'), ("b", None)]


def test_delete(path):
    store = Korvane(path)
    assert store.delete("zzz") is None
    store.insert("a", [1.0], '{"v":1}')
    store.insert("b", [1.0])
    store.insert("a", [2.0], '{"v":2}')
    assert store.delete("a") is None
    assert store.get("a") is None
    assert store.get_all() == [("b", None)]
    del store
    assert Korvane(path).get_all() == [("b", None)]


def test_metadata_depth_limits(store):
    def nested(levels):
        return "[" * levels + "]" * levels

    store.insert("ok", [1.0], nested(126))
    assert store.get("ok") == nested(126)
    with pytest.raises(RuntimeError) as info:
        store.insert("deep", [1.0], nested(127))
    assert info.value.args == ("Storage error: Serialization error: cannot store metadata "
                               "nested deeper than 126 levels",)
    with pytest.raises(ValueError):
        store.insert("deeper", [1.0], nested(128))
    assert [r[0] for r in store.get_all()] == ["ok"]


def test_lock_held_until_the_instance_is_gone(path):
    probe = f"""
        from korvane import Korvane
        try:
            Korvane({path!r})
        except RuntimeError as e:
            print("refused:", e)
        else:
            print("opened")
    """
    store = Korvane(path)
    result = run_python(probe)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("refused: Storage error: Database error: ")

    with pytest.raises(RuntimeError, match="^Storage error: Database error: "):
        Korvane(path)

    del store
    result = run_python(probe)
    assert result.stdout.strip() == "opened", result.stderr
    Korvane(path)


def test_open_failure_leaves_no_instance(tmp_path):
    with pytest.raises(RuntimeError, match="^Storage error: "):
        Korvane(str(tmp_path / "missing-dir" / "x.db"))


# --- search ---------------------------------------------------------------------------------

@pytest.fixture
def abc(store):
    store.insert("a", [1, 0])
    store.insert("b", [0, 1])
    store.insert("c", [1, 1])
    return store


def test_search_example(abc):
    assert abc.search([1.0, 0.0], 2) == [("a", 1.0, None), ("c", 0.7071067690849304, None)]


class Two:
    def __index__(self):
        return 2


@pytest.mark.parametrize("k, ids", [
    (0, []),
    (False, []),
    (True, ["a"]),
    (Two(), ["a", "c"]),
    (3, ["a", "c", "b"]),
    (100, ["a", "c", "b"]),
    (2 ** 64 - 1, ["a", "c", "b"]),
])
def test_search_counts(abc, k, ids):
    assert [r[0] for r in abc.search([1.0, 0.0], k)] == ids


def test_search_empty_store(store):
    assert store.search([1.0], 3) == []


def test_scores_are_float32_and_metadata_is_text(store):
    store.insert("m", [0.1, 0.7, 0.3], '{"tag": "x", "n": [1, 2]}')
    store.insert("n", [0.9, 0.05, 0.2])
    results = store.search([0.3, 0.3, 0.1], 5)
    assert [r[0] for r in results] == ["m", "n"]
    for record_id, score, _ in results:
        assert type(record_id) is str and type(score) is float
        assert f32(score) == score
    assert results[0][2] == '{"n":[1,2],"tag":"x"}'
    assert results[1][2] is None


def test_search_after_fork(path):
    script = f"""
        import os
        from korvane import Korvane
        store = Korvane({path!r})
        # Enough work that the search runs on the worker pool, which then exists before fork.
        for i in range(500):
            store.insert(str(i), [float((i * j) % 7) for j in range(256)])
        query = [1.0] * 256
        before = store.search(query, 3)
        pid = os.fork()
        if pid == 0:
            ok = store.search(query, 3) == before
            os._exit(0 if ok else 1)
        _, status = os.waitpid(pid, 0)
        print("child status", status)
    """
    result = run_python(script, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "child status 0"


def test_threads_share_one_instance(store):
    errors = []
    conflicts = {"Already borrowed", "Already mutably borrowed"}

    def writer(t):
        try:
            for i in range(50):
                while True:
                    try:
                        store.insert(f"{t}-{i}", [float(i), float(t), 1.0], '{"t": %d}' % t)
                        break
                    except RuntimeError as e:
                        if str(e) not in conflicts:
                            raise
        except BaseException as e:  # noqa: B036 - anything escaping a thread is a failure
            errors.append(e)

    def reader():
        try:
            for _ in range(50):
                try:
                    for _, score, _ in store.search([1.0, 1.0, 1.0], 10):
                        assert -1.0 <= score <= 1.0
                    store.get_all()
                except RuntimeError as e:
                    if str(e) not in conflicts:
                        raise
        except BaseException as e:  # noqa: B036
            errors.append(e)

    threads = [threading.Thread(target=writer, args=(t,)) for t in range(2)]
    threads += [threading.Thread(target=reader) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert len(store.get_all()) == 100
