"""What the database page size costs and saves: stores whose files were made with each of a few
page sizes, measured side by side.

Run from the repository root with the module importable, for example:

    PYTHONPATH=build/<dir>/src/python python3 bench/pages.py [--sizes 4096,65536,new]
        [--n 100000] [--dim 384] [--rounds 3] [--singles 400] [--base 20000]
        [--only bulk|singles|chunks|sizes]

A size in --sizes is a file made empty by Python's sqlite3 with that page_size and WAL before the
store first opens it (an existing file keeps its page size, so the store then writes with it);
"new" is a file the store makes itself, with whatever page size the module gives new stores
(with --given-dim the stores are opened with Korvane.open(path, dim=--dim), which may choose it).
--random-ids gives the records ids in no order (32 hex digits, as uuid4().hex) instead of
rising ones, for bulk and singles.

bulk     per round and size, in an order that turns round by round: insert_many of --n x --dim
         float32 rows with small metadata into a new store (seconds, and the close that
         checkpoints the log), the file's size, an open of it in a fresh interpreter (seconds,
         GB/s of row text); then Python's sqlite3 writing the very rows the store wrote with
         executemany in one BEGIN IMMEDIATE / COMMIT (same table, same pragmas) into a file of
         4096-byte pages and into one of the same page size. Ratios are medians of the rounds'.
singles  a store of --base rows per size, all open at once; then --singles inserts of new ids and
         as many deletes of random ids, one durable commit each, the sizes taking turns op by op
         (so that a slow moment of the disk hits all alike): median and mean ms per op.
chunks   one insert_many of --n rows against calls of --chunk rows, per size, each in a fresh
         process, alternating: seconds.
sizes    the file's size per row text for several dimensions (one store of 2,000 rows each).
Timings only; nothing is asserted.
"""

import argparse
import os
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

import korvane

import batch  # executemany timed with the store's own settings, beside this script


def make_file(path, size):
    """An empty database file of the given page size, in WAL mode; nothing for "new"."""
    if size == "new":
        return
    db = sqlite3.connect(path, isolation_level=None)
    db.execute("PRAGMA page_size=%d" % size)
    db.execute("PRAGMA journal_mode=WAL")
    db.close()


def page_size(path):
    db = sqlite3.connect(path)
    size = db.execute("PRAGMA page_size").fetchone()[0]
    db.close()
    return size


def remove(path):
    for suffix in ("", "-wal", "-journal"):
        if os.path.exists(path + suffix):
            os.remove(path + suffix)


RANDOM_IDS = False
GIVEN_DIM = None


def open_store(path):
    """The store at path, opened with its dim given when --given-dim says so (a new store's page
    size may follow from it)."""
    if GIVEN_DIM is None:
        return korvane.Korvane(path)
    return korvane.Korvane.open(path, dim=GIVEN_DIM)


def records(n, dim, seed=1):
    x = np.random.default_rng(seed).standard_normal((n, dim), dtype=np.float32)
    if RANDOM_IDS:
        # Ids in no order, as uuid4().hex gives them: each row lands anywhere in the tree.
        ids = ["%032x" % v for v in np.random.default_rng(seed + 100).integers(
            0, 2**63, size=(n,), dtype=np.int64).astype(object) * (2**65 + 1)]
    else:
        ids = ["doc-%07d" % i for i in range(n)]
    metadata = ['{"n": %d, "tag": "t%d"}' % (i, i % 7) for i in range(n)]
    return x, ids, metadata


OPEN_CHILD = r"""
import sys, time
import korvane
start = time.perf_counter()
store = korvane.Korvane(sys.argv[1])
print(time.perf_counter() - start)
"""


def time_open(path):
    out = subprocess.run([sys.executable, "-c", OPEN_CHILD, path], check=True,
                         capture_output=True, text=True).stdout
    return float(out)


def time_sqlite(path, rows, size):
    make_file(path, size)
    return batch.time_sqlite(path, rows)


def label(size):
    return "new" if size == "new" else str(size)


def turned(sizes, r):
    k = r % len(sizes)
    return sizes[k:] + sizes[:k]


def bench_bulk(work, sizes, n, dim, rounds):
    x, ids, metadata = records(n, dim)
    got = {s: {"insert": [], "close": [], "file": [], "open": [], "gbs": [], "sq4k": [],
               "sqsame": [], "r4k": [], "rsame": []} for s in sizes}
    for r in range(rounds):
        for s in turned(sizes, r):
            g = got[s]
            path = os.path.join(work, "bulk.db")
            make_file(path, s)
            store = open_store(path)
            start = time.perf_counter()
            store.insert_many(ids, x, metadata)
            g["insert"].append(time.perf_counter() - start)
            start = time.perf_counter()
            store.close()
            g["close"].append(time.perf_counter() - start)
            g["file"].append(os.path.getsize(path))
            actual = page_size(path)
            opened = time_open(path)
            db = sqlite3.connect(path)
            rows = db.execute("SELECT id, value FROM records").fetchall()
            db.close()
            text = sum(len(v) for _, v in rows)
            g["open"].append(opened)
            g["gbs"].append(text / opened / 1e9)
            remove(path)
            other = os.path.join(work, "sqlite.db")
            g["sq4k"].append(time_sqlite(other, rows, 4096))
            remove(other)
            g["sqsame"].append(time_sqlite(other, rows, actual))
            remove(other)
            g["r4k"].append(g["insert"][-1] / g["sq4k"][-1])
            g["rsame"].append(g["insert"][-1] / g["sqsame"][-1])
            g["page"] = actual
            g["text"] = text
            print("  round %d size %s: insert_many %.2f s, executemany 4k %.2f s, same %.2f s, "
                  "open %.2f s" % (r, label(s), g["insert"][-1], g["sq4k"][-1], g["sqsame"][-1],
                                   opened), flush=True)
    med = statistics.median
    print("bulk: %d x %d, %d rounds (medians)" % (n, dim, rounds))
    print("  %-6s %6s %9s %7s %8s %7s %6s %9s %9s %8s %8s" % (
        "size", "page", "insert s", "close s", "file MB", "open s", "GB/s", "sq 4k s",
        "sq same s", "x sq 4k", "x same"))
    for s in sizes:
        g = got[s]
        print("  %-6s %6d %9.2f %7.2f %8.1f %7.2f %6.2f %9.2f %9.2f %8.2f %8.2f" % (
            label(s), g["page"], med(g["insert"]), med(g["close"]), med(g["file"]) / 1e6,
            med(g["open"]), med(g["gbs"]), med(g["sq4k"]), med(g["sqsame"]), med(g["r4k"]),
            med(g["rsame"])))
        print("         rounds: insert %s; x sq 4k %s; open %s" % (
            " ".join("%.2f" % v for v in g["insert"]), " ".join("%.2f" % v for v in g["r4k"]),
            " ".join("%.2f" % v for v in g["open"])))


def bench_singles(work, sizes, base, singles, dim):
    x, ids, metadata = records(base, dim)
    extra = np.random.default_rng(2).standard_normal((singles, dim), dtype=np.float32)
    stores = {}
    for s in sizes:
        path = os.path.join(work, "single-%s.db" % label(s))
        make_file(path, s)
        stores[s] = open_store(path)
        stores[s].insert_many(ids, x, metadata)
    inserts = {s: [] for s in sizes}
    deletes = {s: [] for s in sizes}
    rng = np.random.default_rng(3)
    for i in range(singles):
        for s in turned(sizes, i):
            start = time.perf_counter()
            stores[s].insert("new-%06d" % i, extra[i], '{"n": %d}' % i)
            inserts[s].append(time.perf_counter() - start)
    victims = rng.choice(base, size=singles, replace=False)
    for i, v in enumerate(victims):
        for s in turned(sizes, i):
            start = time.perf_counter()
            stores[s].delete(ids[v])
            deletes[s].append(time.perf_counter() - start)
    print("singles: %d inserts then %d deletes, one commit each, into stores of %d x %d"
          % (singles, singles, base, dim))
    print("  %-6s %6s %12s %12s %12s %12s %9s" % ("size", "page", "insert med", "insert mean",
                                                 "delete med", "delete mean", "wal MB"))
    for s in sizes:
        path = os.path.join(work, "single-%s.db" % label(s))
        wal = os.path.getsize(path + "-wal") if os.path.exists(path + "-wal") else 0
        stores[s].close()
        print("  %-6s %6d %9.3f ms %9.3f ms %9.3f ms %9.3f ms %9.1f" % (
            label(s), page_size(path), 1e3 * statistics.median(inserts[s]),
            1e3 * statistics.mean(inserts[s]), 1e3 * statistics.median(deletes[s]),
            1e3 * statistics.mean(deletes[s]), wal / 1e6))
        remove(path)


CHUNK_CHILD = r"""
import sys, time
import numpy as np
sys.path.insert(0, sys.argv[5])
import pages
path, n, dim, chunk = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
x, ids, metadata = pages.records(n, dim)
import korvane
store = korvane.Korvane(path)
start = time.perf_counter()
for at in range(0, n, chunk):
    store.insert_many(ids[at:at + chunk], x[at:at + chunk], metadata[at:at + chunk])
print(time.perf_counter() - start)
store.close()
"""


def bench_chunks(work, sizes, n, dim, chunk, rounds):
    here = os.path.dirname(os.path.abspath(__file__))
    got = {(s, c): [] for s in sizes for c in (n, chunk)}
    for r in range(rounds):
        for s in turned(sizes, r):
            for c in (n, chunk) if r % 2 == 0 else (chunk, n):
                path = os.path.join(work, "chunks.db")
                make_file(path, s)
                out = subprocess.run([sys.executable, "-c", CHUNK_CHILD, path, str(n), str(dim),
                                      str(c), here], check=True, capture_output=True,
                                     text=True).stdout
                got[(s, c)].append(float(out))
                print("  round %d size %s calls of %d: %.2f s" % (r, label(s), c, got[(s, c)][-1]),
                      flush=True)
                remove(path)
    print("chunks: %d x %d, one call against calls of %d, %d rounds (medians)"
          % (n, dim, chunk, rounds))
    for s in sizes:
        one, parts = statistics.median(got[(s, n)]), statistics.median(got[(s, chunk)])
        print("  %-6s one call %.2f s, chunks %.2f s, one/chunks %.2f" % (label(s), one, parts,
                                                                          one / parts))


def bench_sizes(work, sizes, dims):
    print("file size over row text, 2,000 rows, small metadata")
    print("  %-6s %s" % ("size", " ".join("%8s" % ("d %d" % d) for d in dims)))
    for s in sizes:
        cells = []
        for d in dims:
            x, ids, metadata = records(2000, d)
            path = os.path.join(work, "sizes.db")
            make_file(path, s)
            store = korvane.Korvane.open(path, dim=d) if GIVEN_DIM else korvane.Korvane(path)
            store.insert_many(ids, x, metadata)
            store.close()
            db = sqlite3.connect(path)
            text = db.execute("SELECT sum(length(value)) FROM records").fetchone()[0]
            db.close()
            cells.append("%7.2fx" % (os.path.getsize(path) / text))
            remove(path)
        print("  %-6s %s" % (label(s), " ".join("%8s" % c for c in cells)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="4096,16384,32768,65536")
    parser.add_argument("--n", type=int, default=100000)
    parser.add_argument("--dim", type=int, default=384)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--singles", type=int, default=400)
    parser.add_argument("--base", type=int, default=20000)
    parser.add_argument("--chunk", type=int, default=10000)
    parser.add_argument("--dims", default="128,384,768,1024,1536,3072")
    parser.add_argument("--random-ids", action="store_true",
                        help="ids in no order (32 hex digits) instead of rising ones")
    parser.add_argument("--given-dim", action="store_true",
                        help="open the stores with Korvane.open(path, dim=...)")
    parser.add_argument("--only", choices=("bulk", "singles", "chunks", "sizes"))
    parser.add_argument("--work", help="folder for the files (default: a new temporary one)")
    args = parser.parse_args()
    global RANDOM_IDS
    RANDOM_IDS = args.random_ids
    global GIVEN_DIM
    GIVEN_DIM = args.dim if args.given_dim else None
    sizes = [s if s == "new" else int(s) for s in args.sizes.split(",")]
    work = tempfile.mkdtemp(prefix="korvane-pages-", dir=args.work)
    try:
        if args.only in (None, "sizes"):
            bench_sizes(work, sizes, [int(d) for d in args.dims.split(",")])
        if args.only in (None, "singles"):
            bench_singles(work, sizes, args.base, args.singles, args.dim)
        if args.only in (None, "bulk"):
            bench_bulk(work, sizes, args.n, args.dim, args.rounds)
        if args.only == "chunks":
            bench_chunks(work, sizes, args.n, args.dim, args.chunk, args.rounds)
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
