"""Keeping data whole: forked processes, killed writers, refused files, memory exhaustion."""

import json
import os
import random
import signal
import sqlite3
import subprocess
import sys
import textwrap

import pytest

from korvane import Korvane

pytestmark = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")


def run_python(code, timeout=120):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env=env, timeout=timeout)


def integrity(path):
    db = sqlite3.connect(path)
    try:
        return db.execute("PRAGMA integrity_check").fetchall()
    finally:
        db.close()


def test_child_exiting_normally_does_not_cost_the_parent_its_writes(tmp_path):
    # The child only inherits the store and exits through the interpreter's normal shutdown,
    # which frees its copy; the parent writes on, then dies without closing anything.
    path = str(tmp_path / "s.db")
    done = run_python(f"""
        import os, signal, sys
        from korvane import Korvane
        store = Korvane({path!r})
        store.insert("before", [1.0])
        pid = os.fork()
        if pid == 0:
            sys.exit(0)
        os.waitpid(pid, 0)
        for i in range(10):
            store.insert(f"after{{i}}", [float(i), 1.0])
        print("acknowledged", flush=True)
        os.kill(os.getpid(), signal.SIGKILL)
    """)
    assert "acknowledged" in done.stdout, done.stderr
    assert len(Korvane(path).get_all()) == 11


def test_forked_children_read_but_cannot_write(tmp_path):
    path = str(tmp_path / "s.db")
    done = run_python(f"""
        import multiprocessing, os
        from korvane import Korvane
        store = Korvane({path!r})
        for i in range(300):
            store.insert(f"r{{i:03}}", [float(i % 7), 1.0, float(i % 3)], '{{"i": %d}}' % i)

        def search(q):
            return store.search(q, 5)

        def write(i):
            try:
                store.insert(f"w{{i}}", [1.0])
            except RuntimeError as e:
                return str(e)
            return "written"

        queries = [[1.0, 0.5, float(j)] for j in range(8)]
        ctx = multiprocessing.get_context("fork")
        with ctx.Pool(2) as pool:
            assert pool.map(search, queries) == [store.search(q, 5) for q in queries]
            print(sorted(set(pool.map(write, range(4)))))
        store.insert("parent", [2.0])
        print(len(store.get_all()))
    """)
    assert done.returncode == 0, done.stderr
    refused, count = done.stdout.splitlines()
    assert refused.startswith("['Storage error: Database error: this store was opened by process ")
    assert "open the store again in this process to write" in refused
    assert count == "301"
    assert integrity(path) == [("ok",)]
    assert len(Korvane(path).get_all()) == 301


def test_delete_in_a_child_is_refused_and_the_file_stays_whole(tmp_path):
    path = str(tmp_path / "s.db")
    store = Korvane(path)
    for i in range(50):
        store.insert(f"p{i}", [float(i), 1.0])
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            store.delete("p1")
        except RuntimeError:
            try:
                store.insert("c", [1.0])
            except RuntimeError:
                code = 0 if store.get("p1") is None and len(store.get_all()) == 50 else 2
        os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.WEXITSTATUS(status) == 0
    for i in range(50, 100):
        store.insert(f"p{i}", [float(i), 1.0])
    store.delete("p0")
    del store
    assert integrity(path) == [("ok",)]
    assert len(Korvane(path).get_all()) == 99


def shares_sqlite_with_python():
    import korvane
    ldd = subprocess.run(["ldd", korvane.__file__], capture_output=True, text=True)
    return "libsqlite3" in ldd.stdout


@pytest.mark.skipif(not shares_sqlite_with_python(),
                    reason="this build carries its own SQLite, out of reach of Python's sqlite3")
def test_sqlite_out_of_memory_is_memory_error(tmp_path):
    # Python's sqlite3 shares the process's SQLite library, so its heap limit binds the store.
    path = str(tmp_path / "s.db")
    done = run_python(f"""
        import sqlite3
        from korvane import Korvane
        store = Korvane({path!r})
        limiter = sqlite3.connect(":memory:")
        big = '"' + "x" * (8 << 20) + '"'
        limiter.execute("PRAGMA hard_heap_limit=%d" % (4 << 20))
        try:
            store.insert("big", [1.0], big)
            print("stored")
        except MemoryError:
            print("MemoryError")
        print(len(store.get_all()))
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["MemoryError", "0"]
    assert Korvane(path).get_all() == []


WRITER = """
import json, sys
from korvane import Korvane
path, seed = sys.argv[1], int(sys.argv[2])
store = Korvane(path)
print("open", flush=True)
for step, (op, key, value) in enumerate(json.loads(sys.stdin.readline())):
    if op == "insert":
        store.insert(key, value, '{"step": %d}' % step)
    else:
        store.delete(key)
    print(step, flush=True)
"""


def script(seed, steps):
    rng = random.Random(seed)
    ops = []
    for _ in range(steps):
        key = f"k{rng.randrange(40)}"
        if rng.random() < 0.2:
            ops.append(("delete", key, None))
        else:
            ops.append(("insert", key, [rng.uniform(-1, 1) for _ in range(rng.choice([3, 64]))]))
    return ops


def apply(state, step, op):
    kind, key, value = op
    if kind == "insert":
        state[key] = json.dumps({"step": step}, separators=(",", ":"))
    else:
        state.pop(key, None)


def test_writer_killed_at_random_keeps_every_acknowledged_change(tmp_path):
    # Each round kills a writer at a random moment; every change it reported done must be in
    # the file, the one in flight may or may not be, and nothing else.
    rounds = int(os.environ.get("KORVANE_KILL_ROUNDS", 200 if os.environ.get("KORVANE_LONG") else 12))
    path = str(tmp_path / "s.db")
    state = {}
    for seed in range(rounds):
        ops = script(seed, 400)
        writer = subprocess.Popen([sys.executable, "-c", WRITER, path, str(seed)],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                  env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
        assert writer.stdout.readline() == "open\n"
        writer.stdin.write(json.dumps(ops) + "\n")
        writer.stdin.flush()
        kill_after = random.Random(seed).randrange(5, 300)
        acknowledged = -1
        for line in writer.stdout:
            acknowledged = int(line)
            if acknowledged >= kill_after:
                break
        writer.send_signal(signal.SIGKILL)
        writer.wait()
        # Changes it reported before the signal landed count as acknowledged too.
        for line in writer.stdout.read().split():
            acknowledged = int(line)
        writer.stdout.close()
        writer.stdin.close()
        for step in range(acknowledged + 1):
            apply(state, step, ops[step])
        found = dict(Korvane(path).get_all())
        if found != state and acknowledged + 1 < len(ops):
            # The change in flight when the signal came may have committed.
            apply(state, acknowledged + 1, ops[acknowledged + 1])
        assert found == state, f"round {seed}"
    assert integrity(path) == [("ok",)]
