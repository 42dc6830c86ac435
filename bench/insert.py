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
was chosen. Within a round every record goes to each side in turn, so that a slow moment of
the disk hits all sides alike; the ratio is the median of the per-round ratios.
Timings only; nothing is asserted.
"""

import argparse
import json
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


def stored_rows(path, ids):
    db = sqlite3.connect(path)
    rows = dict(db.execute("SELECT id, value FROM records").fetchall())
    db.close()
    return [(i.encode(), rows[i.encode()]) for i in ids]


def open_sqlite(path, mode):
    db = sqlite3.connect(path, isolation_level=None, timeout=0)
    db.execute("PRAGMA locking_mode=EXCLUSIVE")
    db.execute("PRAGMA journal_mode=%s" % mode)
    db.execute("PRAGMA synchronous=FULL")
    db.execute("BEGIN IMMEDIATE")
    db.execute(SCHEMA)
    db.execute("COMMIT")
    return db


def run_round(work, r, modes, ids, vectors, metadata, rows):
    """One round: every record goes to each side in turn, so a slow moment of the disk hits
    all sides alike. Returns the seconds each side spent in its own calls."""
    clock = time.perf_counter
    store = korvane.Korvane(os.path.join(work, "korvane-%d.db" % r))
    dbs = {m: open_sqlite(os.path.join(work, "sqlite-%s-%d.db" % (m, r)), m) for m in modes}
    sql = "INSERT OR REPLACE INTO records(id, value) VALUES(?1, ?2)"
    spent = dict.fromkeys(["korvane"] + ["sqlite3 " + m for m in modes], 0.0)
    for n in range(len(ids)):
        start = clock()
        store.insert(ids[n], vectors[n], metadata[n])
        spent["korvane"] += clock() - start
        for m, db in dbs.items():
            start = clock()
            db.execute("BEGIN IMMEDIATE")
            db.execute(sql, rows[n])
            db.execute("COMMIT")
            spent["sqlite3 " + m] += clock() - start
    del store
    for db in dbs.values():
        db.close()
    return spent


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=2000)
    ap.add_argument("--dim", type=int, default=384)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--modes", default="wal", help="journal modes for the sqlite3 side, comma-separated (e.g. wal,delete,truncate)")
    ap.add_argument("--dir", default=tempfile.gettempdir(), help="where the database files go")
    ap.add_argument("--json", help="also write the results to this JSON file (read by bench/plot.py)")
    args = ap.parse_args()

    modes = [m.strip().lower() for m in args.modes.split(",") if m.strip()] or ["wal"]
    ids, vectors, metadata = workload(args.n, args.dim, seed=7)
    work = tempfile.mkdtemp(prefix="korvane-bench-insert-", dir=args.dir)
    try:
        # An untimed pass writes the rows the sqlite3 side will write, text for text.
        warmup = os.path.join(work, "warmup.db")
        store = korvane.Korvane(warmup)
        for i, v, m in zip(ids, vectors, metadata):
            store.insert(i, v, m)
        del store
        rows = stored_rows(warmup, ids)
        text = sum(len(v) for _, v in rows)
        print("%d inserts, dim %d, %.0f bytes of row text each on average" % (args.n, args.dim, text / len(rows)))
        rounds = []
        for r in range(args.rounds):
            rounds.append(run_round(work, r, modes, ids, vectors, metadata, rows))
            print("round %d: " % r + ", ".join("%s %.3f s" % kv for kv in rounds[-1].items()))
    finally:
        shutil.rmtree(work, ignore_errors=True)

    base = "sqlite3 " + modes[0]
    print()
    print("%-16s %10s %14s" % ("", "median s", "per insert ms"))
    for side in rounds[0]:
        med = statistics.median(r[side] for r in rounds)
        print("%-16s %10.3f %14.3f" % (side, med, 1000 * med / args.n))
    ratios = {}
    for side in rounds[0]:
        if side != base:
            ratios[side] = statistics.median(r[side] / r[base] for r in rounds)
            print("ratio %s / %s: %.3f (median over rounds)" % (side, base, ratios[side]))
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"n": args.n, "dim": args.dim, "baseline": base, "rounds": rounds,
                       "per_insert_ms": {side: 1000 * statistics.median(r[side] for r in rounds) / args.n
                                         for side in rounds[0]},
                       "ratios": ratios, "load": os.getloadavg()}, f, indent=1)


if __name__ == "__main__":
    main()
