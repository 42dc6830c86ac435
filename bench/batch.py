"""Batches from Python: insert_many against sqlite3's executemany, search_many against single
searches, and the conversion of a NumPy row against a list.

Run from the repository root with the module importable, for example:

    PYTHONPATH=build/<dir>/src/python python3 bench/batch.py [--n 100000] [--dim 384]
        [--rounds 3] [--chunk 10000] [--only insert|chunks]

insert_many   Korvane(path).insert_many(ids, X, metadata) with X a float32 array (n x dim), in
              one transaction, against Python's sqlite3 inserting the very rows korvane wrote
              (read back from its file, byte for byte the same) with executemany in one
              BEGIN IMMEDIATE / COMMIT, on the same table with the same pragmas. The two sides
              alternate within every round; the ratio is the median of the rounds' ratios.
chunks        the same insert_many in one call against calls of --chunk records each, alternating,
              each into a new store in a fresh process (so that each has its own peak memory):
              seconds, and the peak resident memory above what the process held before the
              first call (the array included), as a multiple of the raw float32 size.
search_many   32 queries in one search_many call against 32 search calls, on the same store.
convert       search(q, 0) on an empty store with q a 384-d float32 array against q as a list:
              the cost of getting a vector across.
Timings only; nothing is asserted.
"""

import argparse
import os
import resource
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

import korvane

SCHEMA = ("CREATE TABLE IF NOT EXISTS records(id BLOB PRIMARY KEY NOT NULL, value BLOB NOT NULL)"
          " WITHOUT ROWID")


JOURNAL = "WAL"


def open_sqlite(path):
    db = sqlite3.connect(path, isolation_level=None, timeout=0)
    db.execute("PRAGMA locking_mode=EXCLUSIVE")
    db.execute("PRAGMA journal_mode=%s" % JOURNAL)
    db.execute("PRAGMA synchronous=FULL")
    db.execute(SCHEMA)
    return db


def time_korvane(path, ids, x, metadata):
    store = korvane.Korvane(path)
    start = time.perf_counter()
    store.insert_many(ids, x, metadata)
    spent = time.perf_counter() - start
    store.close()
    return spent


def time_sqlite(path, rows):
    db = open_sqlite(path)
    start = time.perf_counter()
    db.execute("BEGIN IMMEDIATE")
    db.executemany("INSERT OR REPLACE INTO records(id, value) VALUES(?1, ?2)", rows)
    db.execute("COMMIT")
    spent = time.perf_counter() - start
    db.close()
    return spent


def records(n, dim):
    x = np.random.default_rng(1).standard_normal((n, dim), dtype=np.float32)
    ids = ["doc-%07d" % i for i in range(n)]
    metadata = ['{"n": %d, "tag": "t%d"}' % (i, i % 7) for i in range(n)]
    return x, ids, metadata


def bench_insert(work, n, dim, rounds):
    x, ids, metadata = records(n, dim)
    first = os.path.join(work, "rows.db")
    time_korvane(first, ids, x, metadata)
    db = sqlite3.connect(first)
    rows = db.execute("SELECT id, value FROM records").fetchall()
    db.close()
    mb = sum(len(r[0]) + len(r[1]) for r in rows) / 1e6
    k_times, s_times, ratios = [], [], []
    for r in range(rounds):
        paths = [os.path.join(work, "k%d.db" % r), os.path.join(work, "s%d.db" % r)]
        if r % 2 == 0:
            k = time_korvane(paths[0], ids, x, metadata)
            s = time_sqlite(paths[1], rows)
        else:
            s = time_sqlite(paths[1], rows)
            k = time_korvane(paths[0], ids, x, metadata)
        k_times.append(k)
        s_times.append(s)
        ratios.append(k / s)
        for p in paths:
            for suffix in ("", "-wal", "-journal"):
                if os.path.exists(p + suffix):
                    os.remove(p + suffix)
    print("insert_many: %d x %d (%.0f MB of rows), %d rounds" % (n, dim, mb, rounds))
    print("  korvane insert_many  %.3f s (median)" % statistics.median(k_times))
    print("  sqlite3 executemany  %.3f s (median)" % statistics.median(s_times))
    print("  ratio korvane/sqlite3 %.2f (median of rounds; rounds %s)"
          % (statistics.median(ratios), " ".join("%.2f" % v for v in ratios)))
    return first


def resident_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def one_ingest(path, n, dim, chunk):
    """In a child process: one store filled in calls of `chunk` records; prints seconds and
    peak resident bytes above the start."""
    x, ids, metadata = records(n, dim)
    before = resident_bytes()
    store = korvane.Korvane(path)
    start = time.perf_counter()
    for at in range(0, n, chunk):
        store.insert_many(ids[at:at + chunk], x[at:at + chunk], metadata[at:at + chunk])
    spent = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    store.close()
    print(spent, peak - before)


def bench_chunks(work, n, dim, chunk, rounds):
    results = {n: ([], []), chunk: ([], [])}
    for r in range(rounds):
        for size in (n, chunk) if r % 2 == 0 else (chunk, n):
            path = os.path.join(work, "c.db")
            out = subprocess.run([sys.executable, __file__, "--ingest-child", path, "--n", str(n),
                                  "--dim", str(dim), "--chunk", str(size)],
                                 check=True, capture_output=True, text=True).stdout.split()
            results[size][0].append(float(out[0]))
            results[size][1].append(float(out[1]) / (n * dim * 4))
            for suffix in ("", "-wal"):
                if os.path.exists(path + suffix):
                    os.remove(path + suffix)
    print("chunks: %d x %d, one call against calls of %d, %d rounds" % (n, dim, chunk, rounds))
    for size, label in ((n, "one call"), (chunk, "chunks of %d" % chunk)):
        print("  %-16s %.3f s, peak above start %.2fx raw (medians)"
              % (label, statistics.median(results[size][0]), statistics.median(results[size][1])))
    print("  ratio one call/chunks %.2f"
          % (statistics.median(results[n][0]) / statistics.median(results[chunk][0])))


def bench_search_many(path, dim, rounds):
    store = korvane.Korvane(path)
    queries = np.random.default_rng(2).standard_normal((32, dim), dtype=np.float32)
    many, single, ratios = [], [], []
    for _ in range(rounds):
        start = time.perf_counter()
        a = store.search_many(queries, 10)
        m = time.perf_counter() - start
        start = time.perf_counter()
        b = [store.search(q, 10) for q in queries]
        s = time.perf_counter() - start
        assert a == b
        many.append(m)
        single.append(s)
        ratios.append(m / s)
    print("search_many: 32 queries, k 10, %d records" % len(store))
    print("  search_many   %.1f ms (median)" % (1e3 * statistics.median(many)))
    print("  32 x search   %.1f ms (median)" % (1e3 * statistics.median(single)))
    print("  ratio %.2f" % statistics.median(ratios))
    store.close()


def bench_convert(work, dim, calls):
    store = korvane.Korvane(os.path.join(work, "empty.db"))
    array = np.random.default_rng(3).standard_normal(dim, dtype=np.float32)
    as_list = array.tolist()
    results = {"array": [], "list": []}
    for _ in range(7):
        for name, q in (("array", array), ("list", as_list)):
            start = time.perf_counter()
            for _ in range(calls):
                store.search(q, 0)
            results[name].append((time.perf_counter() - start) / calls)
    a, l = statistics.median(results["array"]), statistics.median(results["list"])
    print("convert: search(q, 0) on an empty store, %d-d float32" % dim)
    print("  array %.2f us, list %.2f us, ratio %.2f" % (a * 1e6, l * 1e6, a / l))
    store.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=100000)
    ap.add_argument("--dim", type=int, default=384)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--chunk", type=int, default=10000)
    ap.add_argument("--only", choices=("insert", "chunks"), help="run just this part")
    ap.add_argument("--journal", default="WAL", choices=("WAL", "TRUNCATE"),
                    help="sqlite3's journal for executemany (a large insert_many takes TRUNCATE)")
    ap.add_argument("--ingest-child", metavar="PATH", help=argparse.SUPPRESS)
    args = ap.parse_args()
    global JOURNAL
    JOURNAL = args.journal
    if args.ingest_child:
        one_ingest(args.ingest_child, args.n, args.dim, args.chunk)
        return
    print("load average: %.2f %.2f %.2f" % os.getloadavg())
    work = tempfile.mkdtemp(prefix="korvane-batch-")
    try:
        if args.only != "chunks":
            if args.only is None:
                bench_convert(work, args.dim, 20000)
            first = bench_insert(work, args.n, args.dim, args.rounds)
            if args.only is None:
                bench_search_many(first, args.dim, max(args.rounds, 5))
        if args.only != "insert":
            bench_chunks(work, args.n, args.dim, args.chunk, args.rounds)
    finally:
        shutil.rmtree(work)
    print("load average: %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    main()
