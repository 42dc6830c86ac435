"""Cost of one durable insert from Python, against Python's sqlite3 doing the same writes.

Run from the repository root with the module importable, for example:

    PYTHONPATH=build/<dir>/src/python python3 bench/insert.py [--n 2000] [--rounds 3]

Columns (seconds for --n inserts of --dim float32 components with small metadata):
  korvane   Korvane(path).insert(id, vector, metadata), one call per record
  sqlite3   Python's sqlite3 writing the very rows korvane wrote (read back from its file, so
            the text is byte for byte the same), one BEGIN IMMEDIATE / INSERT / COMMIT per row,
            on the same table and with the same pragmas (exclusive locking, WAL, synchronous=FULL)

Both sides commit durably once per record, so the figure is dominated by one fsync each; the
ratio shows what the module adds on top (argument conversion, row encoding, bookkeeping).
--modes also times the sqlite3 side under other journal modes, which is how the journal mode
was chosen. Rounds alternate korvane and sqlite3 so that disk weather hits both alike.
Timings only; nothing is asserted.
"""

import argparse
import os
import shutil
import sqlite3
import statistics
import tempfile
import time

import numpy as np

import korvane

SCHEMA = "CREATE TABLE IF NOT EXISTS records(id BLOB PRIMARY KEY NOT NULL, value BLOB NOT NULL) WITHOUT ROWID"


def workload(n, dim, seed):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, dim), dtype=np.float32)
    x /= np.linalg.norm(x, axis=1, keepdims=True)
    ids = ["doc-%06d" % i for i in range(n)]
    vectors = [row.tolist() for row in x]
    metadata = ['{"n": %d, "tag": "t%d"}' % (i, i % 7) for i in range(n)]
    return ids, vectors, metadata


def time_korvane(path, ids, vectors, metadata):
    store = korvane.Korvane(path)
    start = time.perf_counter()
    for i, v, m in zip(ids, vectors, metadata):
        store.insert(i, v, m)
    elapsed = time.perf_counter() - start
    del store
    return elapsed


def stored_rows(path, ids):
    db = sqlite3.connect(path)
    rows = dict(db.execute("SELECT id, value FROM records").fetchall())
    db.close()
    return [(i.encode(), rows[i.encode()]) for i in ids]


def time_sqlite(path, rows, mode):
    db = sqlite3.connect(path, isolation_level=None, timeout=0)
    db.execute("PRAGMA locking_mode=EXCLUSIVE")
    db.execute("PRAGMA journal_mode=%s" % mode)
    db.execute("PRAGMA synchronous=FULL")
    db.execute("BEGIN IMMEDIATE")
    db.execute(SCHEMA)
    db.execute("COMMIT")
    sql = "INSERT OR REPLACE INTO records(id, value) VALUES(?1, ?2)"
    start = time.perf_counter()
    for key, value in rows:
        db.execute("BEGIN IMMEDIATE")
        db.execute(sql, (key, value))
        db.execute("COMMIT")
    elapsed = time.perf_counter() - start
    db.close()
    return elapsed


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=2000)
    ap.add_argument("--dim", type=int, default=384)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--modes", default="wal", help="journal modes for the sqlite3 side, comma-separated (e.g. wal,delete,truncate)")
    ap.add_argument("--dir", default=tempfile.gettempdir(), help="where the database files go")
    args = ap.parse_args()

    modes = [m.strip().lower() for m in args.modes.split(",") if m.strip()]
    ids, vectors, metadata = workload(args.n, args.dim, seed=7)
    work = tempfile.mkdtemp(prefix="korvane-bench-insert-", dir=args.dir)
    try:
        rows = None
        times = {"korvane": []}
        times.update({"sqlite3 " + m: [] for m in modes})
        for r in range(args.rounds):
            path = os.path.join(work, "korvane-%d.db" % r)
            times["korvane"].append(time_korvane(path, ids, vectors, metadata))
            if rows is None:
                rows = stored_rows(path, ids)
                text = sum(len(v) for _, v in rows)
                print("%d inserts, dim %d, %.0f bytes of row text each on average" % (args.n, args.dim, text / len(rows)))
            for m in modes:
                times["sqlite3 " + m].append(time_sqlite(os.path.join(work, "sqlite-%s-%d.db" % (m, r)), rows, m))
            print("round %d: " % r + ", ".join("%s %.3f s" % (k, v[-1]) for k, v in times.items()))
    finally:
        shutil.rmtree(work, ignore_errors=True)

    med = {k: statistics.median(v) for k, v in times.items()}
    print()
    print("%-16s %10s %14s" % ("", "median s", "per insert ms"))
    for k, v in med.items():
        print("%-16s %10.3f %14.3f" % (k, v, 1000 * v / args.n))
    base = med["sqlite3 " + modes[0]] if modes else None
    if base:
        print("ratio korvane / sqlite3 %s: %.3f" % (modes[0], med["korvane"] / base))
    for m in modes[1:]:
        print("ratio sqlite3 %s / sqlite3 %s: %.3f" % (m, modes[0], med["sqlite3 " + m] / base))


if __name__ == "__main__":
    main()
