"""Callers that fight back: arrays that vanish, exits and forks mid-call, hard links, garbage."""

import os
import shutil
import stat
import subprocess

import pytest

from korvane import Korvane
from test_safety import run_python

np = pytest.importorskip("numpy")
needs_fork = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")


class FreshStruct:
    """Hands out the capsule of an array that nothing else keeps alive."""

    def __init__(self, rows):
        self.rows = rows

    @property
    def __array_struct__(self):
        return np.asarray(self.rows, np.float32).__array_struct__


class CollidingKey:
    """A key of the interface dict that, compared during the lookup of "offset", drops "data"."""

    def __init__(self, interface):
        self.interface = interface

    def __hash__(self):
        return hash("offset")

    def __eq__(self, other):
        self.interface.pop("data", None)
        return False


class Shifty:
    def __init__(self, array):
        self.array = array

    @property
    def __array_interface__(self):
        d = dict(self.array.__array_interface__)
        d["data"] = (d["data"][0], False)  # a tuple that only the dict holds
        d[CollidingKey(d)] = 0
        return d


def test_array_views_keep_what_they_read_alive(tmp_path):
    s = Korvane(str(tmp_path / "s.db"))
    s.insert("one", FreshStruct([1.0] * 20000))
    s.insert_many(["a", "b"], FreshStruct([[1.0] * 20000, [2.0] * 20000]))
    array = np.arange(1, 301, dtype=np.float32)
    s.insert("shifty", Shifty(array))
    s.insert_many(["s1", "s2"], Shifty(np.stack([array, -array])))
    assert s.get_vectors(["one", "a", "b"]).sum(axis=1).tolist() == [20000.0, 20000.0, 40000.0]
    assert (s.get_vectors(["shifty", "s1", "s2"]) == np.stack([array, array, -array])).all()


def test_impossible_shapes_are_memory_errors(tmp_path):
    class Claims:
        def __init__(self, shape):
            self.shape = shape

        @property
        def __array_interface__(self):
            return {"typestr": "<f4", "data": (16, False), "shape": self.shape, "version": 3}

    s = Korvane(str(tmp_path / "s.db"))
    with pytest.raises(MemoryError):
        s.insert_many(["a", "b"], Claims((2 ** 62, 2)))
    with pytest.raises(MemoryError):
        s.insert("a", Claims((2 ** 62,)))
    assert len(s) == 0


def test_exit_with_daemon_threads_inside_calls_does_not_abort(tmp_path):
    path = str(tmp_path / "s.db")
    code = f"""
        import threading
        from korvane import Korvane
        s = Korvane({path!r})
        s.insert_many([str(i) for i in range(4000)], [[float(i % 13), 1.0] * 32 for i in range(4000)])
        def search():
            while True:
                s.search([1.0, 2.0] * 32, 5)
        def write():
            i = 0
            while True:
                s.insert(f"w{{i}}", [1.0, 2.0] * 32)
                i += 1
        for f in (search, search, write):
            threading.Thread(target=f, daemon=True).start()
        import time
        time.sleep(0.3)
    """
    for _ in range(3):
        done = run_python(code)
        assert done.returncode == 0, done.stderr


@needs_fork
def test_child_forked_during_writes_reads_at_once(tmp_path):
    done = run_python(f"""
        import os, threading, time
        from korvane import Korvane
        s = Korvane({str(tmp_path / "s.db")!r})
        s.insert_many([str(i) for i in range(2000)], [[float(i), 1.0] for i in range(2000)])
        stop = False
        def write():
            i = 0
            while not stop:
                s.insert(f"w{{i}}", [1.0, 2.0])
                if i % 50 == 0:
                    s.enable_index()
                i += 1
        threads = [threading.Thread(target=write) for _ in range(2)]
        for t in threads:
            t.start()
        outcomes = []
        try:
            for _ in range(20):
                pid = os.fork()
                if pid == 0:
                    os._exit(0 if len(s) >= 2000 and s.get("5") is None and "5" in s else 1)
                for _ in range(500):
                    done, status = os.waitpid(pid, os.WNOHANG)
                    if done:
                        outcomes.append(os.WEXITSTATUS(status))
                        break
                    time.sleep(0.01)
                else:
                    outcomes.append("hung")
                    os.kill(pid, 9)
                    os.waitpid(pid, 0)
        finally:
            stop = True
            for t in threads:
                t.join()
        print(set(outcomes))
    """, timeout=240)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "{0}"


@needs_fork
@pytest.mark.parametrize("how", ["fork", "pool"])
def test_forked_child_opens_the_store_once_the_parent_let_go(tmp_path, how):
    path = str(tmp_path / "s.db")
    done = run_python(f"""
        import multiprocessing, os
        from korvane import Korvane
        path = {path!r}
        s = Korvane(path)
        s.insert("parent", [1.0])

        def work(_):
            if {how!r} == "fork":
                s.close()  # a pool worker leaves its inherited copy as it is
            mine = Korvane(path)
            mine.insert("child", [2.0])
            n = len(mine)
            mine.close()
            return n

        if {how!r} == "fork":
            ready_r, ready_w = os.pipe()
            pid = os.fork()
            if pid == 0:
                os.read(ready_r, 1)
                os._exit(0 if work(0) == 2 else 1)
            s.close()
            os.write(ready_w, b"x")
            _, status = os.waitpid(pid, 0)
            print(os.WEXITSTATUS(status))
        else:
            pool = multiprocessing.get_context("fork").Pool(1)
            s.close()
            print(pool.map(work, [0])[0] - 2)
            pool.close()
            pool.join()
        print(sorted(r[0] for r in Korvane(path).get_all()))
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["0", "['child', 'parent']"]


def test_hard_linked_files_are_refused_and_symbolic_links_work(tmp_path):
    path = tmp_path / "s.db"
    s = Korvane(str(path))
    s.insert("a", [1.0])
    s.close()
    before = path.read_bytes()
    os.link(path, tmp_path / "alias.db")
    for name in ("s.db", "alias.db"):
        with pytest.raises(RuntimeError) as info:
            Korvane(str(tmp_path / name))
        assert str(info.value).startswith("Storage error: '")
        assert "has 2 hard links" in str(info.value)
    assert path.read_bytes() == before
    assert sorted(os.listdir(tmp_path)) == ["alias.db", "s.db"]
    os.unlink(tmp_path / "alias.db")
    os.symlink(path, tmp_path / "link.db")
    with Korvane(str(tmp_path / "link.db")) as s:
        s.insert("b", [2.0])
    assert [r[0] for r in Korvane(str(path)).get_all()] == ["a", "b"]


def test_special_and_read_only_files_are_refused_with_what_is_wrong(tmp_path):
    device = tmp_path / "dev"
    try:
        os.mknod(device, stat.S_IFCHR | 0o600, os.makedev(1, 3))
    except OSError:
        device = None
    if device is not None:
        with pytest.raises(RuntimeError, match=r"^Storage error: '.*dev' is not a regular file$"):
            Korvane(str(device))
        assert sorted(os.listdir(tmp_path)) == ["dev"]
        os.unlink(device)
    if shutil.which("chattr") is None:
        return
    path = tmp_path / "s.db"
    Korvane(str(path)).close()
    if subprocess.run(["chattr", "+i", str(path)]).returncode != 0:
        return
    try:
        with pytest.raises(RuntimeError, match=r"^Storage error: '.*s\.db' is read-only \("):
            Korvane(str(path))
    finally:
        subprocess.run(["chattr", "-i", str(path)], check=True)
    folder = tmp_path / "folder"
    folder.mkdir()
    subprocess.run(["chattr", "+i", str(folder)], check=True)
    try:
        with pytest.raises(RuntimeError, match=r"^Storage error: the folder '.*folder' is read-only"):
            Korvane(str(folder / "new.db"))
    finally:
        subprocess.run(["chattr", "-i", str(folder)], check=True)


class Unsized(list):
    def __init__(self, values, error):
        super().__init__(values)
        self.error = error

    def __len__(self):
        raise self.error


class Interrupted(BaseException):
    pass


def test_a_length_that_fails_badly_stops_the_insert(tmp_path):
    s = Korvane(str(tmp_path / "s.db"))
    for error in (KeyboardInterrupt(), SystemExit(3), MemoryError(), Interrupted()):
        with pytest.raises(type(error)):
            s.insert("x", Unsized([1.0, 2.0], error))
        with pytest.raises(type(error)):
            s.insert_many(["x"], [Unsized([1.0, 2.0], error)])
    assert len(s) == 0
    s.insert("ok", Unsized([1.0, 2.0], LookupError("no length")))
    assert s.get("ok") is None and len(s) == 1


def test_garbage_queries_and_batch_arguments_are_refused(tmp_path):
    s = Korvane(str(tmp_path / "s.db"))
    s.insert("a", [1.0, 2.0])
    for bad, index in (([float("nan"), 1.0], 0), ([1.0, float("-inf")], 1), ([1.0, 1e39], 1)):
        for call in (lambda: s.search(bad, 1), lambda: s.query(bad, 1)):
            with pytest.raises(ValueError, match=f"^query has a non-finite component at index {index} "):
                call()
        with pytest.raises(ValueError, match=f"^query 1 has a non-finite component at index {index} "):
            s.search_many([[1.0, 1.0], bad], 1)
    with pytest.raises(ValueError, match="^decay must be a finite number"):
        s.query([1.0, 2.0], 1, decay=1e308)
    with pytest.raises(TypeError, match="^argument 'ids': expected a sequence of str, not set$"):
        s.insert_many({"b", "c"}, [[1.0, 2.0], [2.0, 1.0]])
    with pytest.raises(TypeError, match="^argument 'timestamps': expected a sequence with one item per id, not a dict$"):
        s.insert_many(["b"], [[1.0, 2.0]], timestamps={5: None})
    with pytest.raises(TypeError, match="^argument 'queries': expected a sequence of vectors, not set$"):
        s.search_many({(1.0, 2.0)}, 1)
    for call, name in ((lambda: s.query([1.0, 2.0], True), "k"),
                       (lambda: s.query([1.0, 2.0], 1, decay=0.5, now=True), "now"),
                       (lambda: s.search_many([[1.0, 2.0]], True), "k"),
                       (lambda: s.upsert("b", [1.0, 2.0], timestamp=False), "timestamp"),
                       (lambda: s.insert_many(["b"], [[1.0, 2.0]], timestamps=[True]), "timestamps"),
                       (lambda: Korvane.open(str(tmp_path / "t.db"), dim=True), "dim")):
        with pytest.raises(TypeError, match=f"^argument '{name}': "):
            call()
    assert len(s) == 1
    # The original search keeps taking a bool for k.
    assert [r[0] for r in s.search([1.0, 2.0], True)] == ["a"]

