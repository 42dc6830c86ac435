"""Latency of one exhaustive Cosine search from Python, against NumPy and the memory floor.

Run from the repository root with the module importable, for example:

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE PYTHONPATH=build/<dir>/src/python \
        python3 bench/search.py [--quick] [--queries 30]

Some machines set OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE to dodge bugs of old OpenBLAS builds;
they slow a current NumPy, so unset both in this command only (never in tests or CI) to give
NumPy its best kernel. The kernel in use is printed.

Columns (median milliseconds over the queries, one query per call):
  meta      the records' metadata: "small" is {"group": i % 10}, "doc" about 120 bytes of
            document fields (a source URL, a title, a year) as real collections carry
  korvane   Korvane.search(query, k) on a store of N records of dimension d
  numpy     X @ q with row norms computed beforehand, argpartition, sort of the k best
  floor     the memory floor: a native read of every float of the same matrix on all cores,
            summed and nothing more (bench/floor.cc, built by `make bench`)

Each (shape, metadata) runs in a fresh process, the methods interleaved in rounds, so every
ratio compares figures taken side by side. The store is built straight into a database file
with sqlite3 in one transaction (inserting through the module commits durably per record) and
cached under --cache between runs. Timings only; nothing is asserted.
"""

import argparse
import ctypes
import json
import os
import platform
import sqlite3
import statistics
import subprocess
import sys
import time

import numpy as np

import korvane

K = 10


def cpu_model():
    fields = {}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if ":" in line:
                    key, _, value = line.partition(":")
                    fields.setdefault(key.strip(), value.strip())
    except OSError:
        return platform.processor()
    flags = set(fields.get("flags", "").split())
    wide = [f for f in ("avx2", "avx512f") if f in flags]
    return "%s (family %s model %s, %d logical cpus, %s)" % (
        fields.get("model name", "?"), fields.get("cpu family", "?"), fields.get("model", "?"),
        os.cpu_count(), "+".join(wide) or "sse only")


def blas_info():
    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        return "threadpoolctl not installed"
    return "; ".join("%s %s %s threads=%s (%s)" % (
        p.get("internal_api"), p.get("version"), p.get("architecture"), p.get("num_threads"),
        os.path.basename(os.path.dirname(p.get("filepath", "")))) for p in threadpool_info())


DATA = "gauss"


def matrix(n, d, seed):
    rng = np.random.default_rng(seed)
    if DATA == "embed":
        # Embedding-like: a latent gaussian of low dimension (falling spectrum) mapped linearly,
        # a little noise, rows normalised. The map is shared by the store and its queries.
        latent = 24
        basis = np.random.default_rng(99).standard_normal((latent, d)).astype(np.float32)
        z = rng.standard_normal((n, latent), dtype=np.float32) / (1 + np.arange(latent) // 4)
        x = z @ basis + 0.3 * rng.standard_normal((n, d), dtype=np.float32)
        return (x / np.linalg.norm(x, axis=1, keepdims=True)).astype(np.float32)
    return rng.standard_normal((n, d), dtype=np.float32)


def metadata_text(meta, i):
    if meta == "small":
        return '{"group":%d}' % (i % 10)
    # About 120 bytes, of the kind document collections carry; "group" stays first.
    return ('{"group":%d,"source":"https://example.org/articles/%07d","title":"Notes on item %d '
            'of the quarterly archive","year":%d}' % (i % 10, i, i, 1990 + i % 35))


def build_store(path, x, meta):
    """Writes x as records r0000000.. straight into a fresh database file; record i has the
    metadata {"group": i % 10, ...}, which the C++ driver filters on."""
    tmp = path + ".part"
    if os.path.exists(tmp):
        os.remove(tmp)
    db = sqlite3.connect(tmp)
    db.execute("CREATE TABLE records(id BLOB PRIMARY KEY NOT NULL, value BLOB NOT NULL) WITHOUT ROWID")
    rows = x.astype(np.float64)  # exact, and its shortest repr reads back as the same float32
    with db:
        for start in range(0, len(rows), 10000):
            batch = []
            for i, row in enumerate(rows[start:start + 10000].tolist(), start):
                rid = "r%07d" % i
                text = '{"id":"%s","vector":[%s],"metadata":%s,"timestamp":null}' % (
                    rid, ",".join(map(repr, row)), metadata_text(meta, i))
                batch.append((rid.encode(), text.encode()))
            db.executemany("INSERT INTO records(id, value) VALUES(?, ?)", batch)
    db.close()
    os.replace(tmp, path)


def load_floor(path):
    lib = ctypes.CDLL(path)
    lib.korvane_floor_sum.restype = ctypes.c_double
    lib.korvane_floor_sum.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
    return lib.korvane_floor_sum


def interleaved_medians(methods, queries, rounds=3, warmup=3):
    """Median ms per method: the queries split into rounds, each round timing every method in
    turn on its share. Worker pools (OpenBLAS, OpenMP, TBB) spin for a while after their last
    job, so each method starts after a pause that lets the previous one's threads sleep."""
    times = {name: [] for name in methods}
    for name, fn in methods.items():
        for q in queries[:warmup]:
            fn(q)
    for r in range(rounds):
        share = queries[r::rounds]
        for name, fn in methods.items():
            time.sleep(0.3)
            for q in share:
                t0 = time.perf_counter()
                fn(q)
                times[name].append((time.perf_counter() - t0) * 1e3)
    return {name: statistics.median(t) for name, t in times.items()}


def run(n, d, meta, args):
    x = matrix(n, d, seed=1000 + d)
    path = os.path.join(args.cache, "bench_%s%s_%d_%d.db" % (
        "g10" if meta == "small" else meta, "" if DATA == "gauss" else "_" + DATA, n, d))
    if not os.path.exists(path):
        t0 = time.perf_counter()
        build_store(path, x, meta)
        print("  built %s in %.1f s" % (path, time.perf_counter() - t0), file=sys.stderr)
    t0 = time.perf_counter()
    store = korvane.Korvane(path)
    load_s = time.perf_counter() - t0
    floor_sum = load_floor(args.floor)

    qs = matrix(args.queries, d, seed=7)
    q_lists = [q.tolist() for q in qs]
    norms = np.linalg.norm(x, axis=1)

    def numpy_search(q):
        scores = (x @ q) / (norms * np.linalg.norm(q))
        top = np.argpartition(-scores, K)[:K]
        return top[np.argsort(-scores[top], kind="stable")]

    # Same answers? Scores differ in the last bits from BLAS's order, so compare as sets.
    agree = np.mean([len({int(r[0][1:]) for r in store.search(ql, K)} & set(numpy_search(q).tolist())) / K
                     for q, ql in zip(qs[:5], q_lists[:5])])

    x_ptr, x_size = x.ctypes.data, x.size
    methods = {
        "korvane": lambda i: store.search(q_lists[i], K),
        "numpy": lambda i: numpy_search(qs[i]),
        "floor": lambda i: floor_sum(x_ptr, x_size),
    }
    row = {"n": n, "d": d, "meta": meta, "data": DATA, "load_s": load_s, "agree": agree}
    row.update(interleaved_medians(methods, list(range(len(qs)))))
    del store
    return row


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--queries", type=int, default=30)
    ap.add_argument("--cache", default="/tmp/korvane_bench")
    ap.add_argument("--quick", action="store_true", help="only N=100k, d=384")
    ap.add_argument("--shape", nargs=2, type=int, action="append", metavar=("N", "D"),
                    help="only these shapes (repeatable)")
    ap.add_argument("--floor", default=os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "build", "bench", "bench",
        "libkorvane_floor.so"), help="the floor reader built by `make bench`")
    ap.add_argument("--one", nargs=3, metavar=("N", "D", "META"), help=argparse.SUPPRESS)
    ap.add_argument("--data", choices=("gauss", "embed"), default="gauss",
                    help="gaussian rows, or embedding-like ones of low intrinsic dimension")
    ap.add_argument("--metas", default="small,doc", help="metadata kinds to run (comma list)")
    ap.add_argument("--json", help="also write the results to this JSON file (read by bench/plot.py)")
    args = ap.parse_args()
    global DATA
    DATA = args.data
    os.makedirs(args.cache, exist_ok=True)
    if args.one:
        print(json.dumps(run(int(args.one[0]), int(args.one[1]), args.one[2], args)))
        return

    print("cpu:   ", cpu_model())
    print("blas:  ", blas_info())
    print("env:    OPENBLAS_CORETYPE=%s OPENBLAS_L2_SIZE=%s" % (
        os.environ.get("OPENBLAS_CORETYPE"), os.environ.get("OPENBLAS_L2_SIZE")))
    print("numpy: ", np.__version__)
    # The machine may be shared: a load above zero before the run means the figures are noisy.
    print("load:   %.2f %.2f %.2f" % os.getloadavg())
    print("k=%d, Cosine, median of %d single-query calls, ms" % (K, args.queries))

    shapes = [(100_000, 384)]
    if not args.quick:
        shapes = [(10_000, 384), (20_000, 384), (100_000, 384), (1_000_000, 128), (100_000, 1536)]
    if args.shape:
        shapes = [tuple(s) for s in args.shape]
    header = "%9s %5s %5s %9s %9s %9s %8s %8s %7s %6s" % (
        "N", "d", "meta", "korvane", "numpy", "floor", "kv/np", "kv/floor", "load_s", "agree")
    print(header)
    rows = []
    for n, d in shapes:
        for meta in args.metas.split(","):
            # Each in a fresh process: idle pools of earlier runs must not be around.
            out = subprocess.run([sys.executable, __file__, "--one", str(n), str(d), meta,
                                  "--queries", str(args.queries), "--cache", args.cache, "--data", args.data,
                                  "--floor", args.floor],
                                 check=True, stdout=subprocess.PIPE, text=True).stdout
            r = json.loads(out.strip().splitlines()[-1])
            print("%9d %5d %5s %9.3f %9.3f %9.3f %8.2f %8.2f %7.1f %6.2f" % (
                r["n"], r["d"], r["meta"], r["korvane"], r["numpy"], r["floor"],
                r["korvane"] / r["numpy"], r["korvane"] / r["floor"], r["load_s"], r["agree"]),
                flush=True)
            rows.append(r)
    print("load:   %.2f %.2f %.2f (after)" % os.getloadavg())
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"k": K, "queries": args.queries, "cpu": cpu_model(), "numpy": np.__version__,
                       "load": os.getloadavg(), "rows": rows}, f, indent=1)


if __name__ == "__main__":
    main()
