"""Filtered search: what a filter costs, and recall and speed of filtered graph search.

Run from the repository root with the module importable, for example:

    PYTHONPATH=build/dev/src/python python3 bench/filters.py exact [--n 300000]
    PYTHONPATH=build/dev/src/python python3 bench/filters.py graph [--n 100000]

exact: a store of --n records of dimension 384 without an index; median milliseconds of
    Korvane.search(q, 10) against query(q, 10, where=...) for filters keeping 2 % and 0.1 % of
    the records (equality and range), the methods interleaved in rounds, and their ratios.
graph: embedding-like data (a 32-dimensional gaussian mapped linearly into 384 dimensions),
    record i holding {"u": a random integer below 10000}. One store with the graph index
    (enable_index() defaults), and a copy of its file without one. For each share of records
    kept by {"u": {"$lt": t}}: recall@10 against the exact filtered answer, queries/s, and the
    path the store takes; beside the exact path (the copy without the index), post-filtering
    the graph (search with a larger k, then the filter).
Timings only; nothing is asserted.
"""

import argparse
import math
import os
import shutil
import statistics
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "hnsw"))
import search as search_bench  # noqa: E402
from compare import make_data  # noqa: E402

import korvane  # noqa: E402

K = 10
EF = 64  # enable_index()'s default search width


def build(path, x, metadata):
    # search.build_store writes the rows; only the metadata differs here.
    search_bench.metadata_text = lambda _meta, i: metadata[i]
    search_bench.build_store(path, x, None)


def exact(args):
    rng = np.random.default_rng(1)
    x = rng.standard_normal((args.n, 384), dtype=np.float32)
    queries = rng.standard_normal((args.queries, 384), dtype=np.float32)
    path = os.path.join(args.dir, "filters-exact-%d.db" % args.n)
    if not os.path.exists(path):
        build(path, x, ['{"b":%d,"c":%d}' % (i % 50, i % 1000) for i in range(args.n)])
    store = korvane.Korvane(path)
    filters = {
        "2% equality": {"b": 7},
        "2% range": {"c": {"$lt": 20}},
        "0.1% equality": {"c": 7},
        "0.1% range": {"c": {"$gte": 990, "$lt": 991}},
    }
    start = time.perf_counter()
    store.count({"c": 7})
    print("value lists built by the first filtered call: %.0f ms" % ((time.perf_counter() - start) * 1e3))
    methods = {"unfiltered": lambda q: store.search(q, K)}
    for name, f in filters.items():
        methods[name] = lambda q, f=f: store.query(q, K, where=f)
    medians = search_bench.interleaved_medians(methods, list(queries))
    base = medians["unfiltered"]
    print("load: %s" % open("/proc/loadavg").read().strip())
    print("%-16s %10s %8s" % ("search", "median ms", "ratio"))
    for name, ms in medians.items():
        print("%-16s %10.3f %8.3f" % (name, ms, ms / base))


def truth(xn, qn, mask):
    idx = np.flatnonzero(mask)
    out = []
    for q in qn:
        s = xn[idx] @ q
        top = idx[np.argsort(-s, kind="stable")[:K]]
        out.append(set(top.tolist()))
    return out


def timed(fn, queries):
    for q in queries[:3]:
        fn(q)
    start = time.perf_counter()
    results = [fn(q) for q in queries]
    return results, len(queries) / (time.perf_counter() - start)


def graph(args):
    x, queries = make_data("latent32", args.n, args.queries, 384, 7)
    rng = np.random.default_rng(2)
    u = rng.integers(0, 10000, args.n)
    path = os.path.join(args.dir, "filters-graph-%d-%d.db" % (args.n, args.queries))  # the data depend on both
    if not os.path.exists(path):
        build(path, x, ['{"u":%d}' % v for v in u])
    copy = path + ".copy"
    shutil.copyfile(path, copy)
    indexed, plain = korvane.Korvane(path), korvane.Korvane(copy)
    start = time.perf_counter()
    indexed.enable_index()
    print("korvane index built in %.1f s" % (time.perf_counter() - start))
    xn = x / np.linalg.norm(x, axis=1, keepdims=True)
    qn = queries / np.linalg.norm(queries, axis=1, keepdims=True)
    qs = [q.tolist() for q in queries]
    print("load: %s" % open("/proc/loadavg").read().strip())
    print("| kept | matches | korvane recall | korvane q/s | path | exact path q/s | post-filter recall | post-filter q/s |")
    print("|---|---|---|---|---|---|---|---|")
    for share in [1.0, 0.5, 0.1, 0.02, 0.01, 0.005, 0.001, 0.0001]:
        t = int(round(share * 10000))
        mask = u < t
        matches = int(mask.sum())
        if matches == 0:
            continue
        where = {"u": {"$lt": t}}
        want = truth(xn, qn, mask)
        ids = {"r%07d" % i for i in np.flatnonzero(mask)}

        def recall(results, as_ids):
            hits = wanted = 0
            for got, w in zip(results, want):
                got = as_ids(got)
                hits += len(set(got) & w)
                wanted += len(w)
            return hits / wanted

        of_store = lambda r: [int(x[0][1:]) for x in r]  # noqa: E731
        ours, ours_qps = timed(lambda q: indexed.query(q, K, where=where), qs)
        assert all(len(r) == min(K, matches) for r in ours)
        _, exact_qps = timed(lambda q: plain.query(q, K, where=where), qs)
        wide = min(args.n, int(math.ceil(K / share * 2)))
        post, post_qps = timed(lambda q: [r for r in indexed.search(q, wide) if r[0] in ids][:K], qs)
        walk = (2 * max(K, EF) / (matches / args.n)) * 24 < matches
        row = [("%g%%" % (share * 100)), str(matches), "%.3f" % recall(ours, of_store),
               "%.0f" % ours_qps, "graph walk" if walk else "exact", "%.0f" % exact_qps,
               "%.3f" % recall(post, of_store), "%.0f" % post_qps]
        print("| " + " | ".join(row) + " |", flush=True)
    indexed.close()
    plain.close()
    os.remove(copy)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("what", choices=["exact", "graph"])
    ap.add_argument("--n", type=int)
    ap.add_argument("--queries", type=int, default=60)
    ap.add_argument("--dir", default=tempfile.gettempdir())
    args = ap.parse_args()
    if args.n is None:
        args.n = 300000 if args.what == "exact" else 100000
    (exact if args.what == "exact" else graph)(args)


if __name__ == "__main__":
    main()
