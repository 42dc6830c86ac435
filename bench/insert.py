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

With --driver (the C++ driver build/bench/bench/write_bench, built by `make bench`) it also times
a batch of --batch inserts through the core's WriteBatch (one transaction, from C++) against
Python's sqlite3 executemany of the very rows the batch wrote, in one transaction with the same
pragmas, alternating round by round.
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
import subprocess
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


def run_round(work, r, modes, ids, vectors, metadata, rows, filtered=False):
    """One round: every record goes to each side in turn, so a slow moment of the disk hits
    all sides alike. Returns the seconds each side spent in its own calls."""
    clock = time.perf_counter
    store = korvane.Korvane(os.path.join(work, "korvane-%d.db" % r))
    if filtered:
        store.count({"tag": "t1"})  # builds the fields' value lists, which each insert then extends
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


def batch_rounds(work, driver, n, dim, rounds):
    """Per round: the driver's seconds for Korvane::write of n records, then executemany of the
    rows it wrote into a fresh file. Returns [(korvane s, sqlite3 s)]."""
    sql = "INSERT OR REPLACE INTO records(id, value) VALUES(?1, ?2)"
    out = []
    for r in range(rounds):
        kpath = os.path.join(work, "batch-korvane-%d.db" % r)
        run = subprocess.run([driver, "batch", kpath, str(n), str(dim)], check=True, capture_output=True, text=True)
        ours = float(run.stdout.split()[-1])
        src = sqlite3.connect(kpath)
        rows = src.execute("SELECT id, value FROM records").fetchall()
        src.close()
        db = open_sqlite(os.path.join(work, "batch-sqlite-%d.db" % r), "wal")
        start = time.perf_counter()
        db.execute("BEGIN IMMEDIATE")
        db.executemany(sql, rows)
        db.execute("COMMIT")
        theirs = time.perf_counter() - start
        db.close()
        out.append((ours, theirs))
        print("batch round %d: korvane write %.3f s, sqlite3 executemany %.3f s" % (r, ours, theirs))
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=2000)
    ap.add_argument("--dim", type=int, default=384)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--modes", default="wal", help="journal modes for the sqlite3 side, comma-separated (e.g. wal,delete,truncate)")
    ap.add_argument("--dir", default=tempfile.gettempdir(), help="where the database files go")
    ap.add_argument("--driver", help="write_bench from a bench build: also time a batch from C++")
    ap.add_argument("--batch", type=int, default=10000, help="records in the C++ batch")
    ap.add_argument("--filtered", action="store_true", help="make a filtered call first, so every insert keeps the fields' value lists")
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
            rounds.append(run_round(work, r, modes, ids, vectors, metadata, rows, args.filtered))
            print("round %d: " % r + ", ".join("%s %.3f s" % kv for kv in rounds[-1].items()))
        batches = batch_rounds(work, args.driver, args.batch, args.dim, args.rounds) if args.driver else []
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
    batch = None
    if batches:
        batch = {"n": args.batch, "korvane_s": statistics.median(k for k, _ in batches),
                 "executemany_s": statistics.median(s for _, s in batches),
                 "ratio": statistics.median(k / s for k, s in batches)}
        print()
        print("batch of %d, dim %d: korvane write %.3f s, sqlite3 executemany %.3f s (medians)"
              % (args.batch, args.dim, batch["korvane_s"], batch["executemany_s"]))
        print("ratio korvane batch / sqlite3 executemany: %.3f (median over rounds)" % batch["ratio"])
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"n": args.n, "dim": args.dim, "baseline": base, "rounds": rounds,
                       "per_insert_ms": {side: 1000 * statistics.median(r[side] for r in rounds) / args.n
                                         for side in rounds[0]},
                       "ratios": ratios, "batch": batch, "load": os.getloadavg()}, f, indent=1)


if __name__ == "__main__":
    main()
