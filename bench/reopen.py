#!/usr/bin/env python3
"""Reopen with a saved index against the open alone.

Makes a store of --n x --dim latent16 vectors (cached in --dir), builds the index once, closes
(which saves it), then times, interleaved --repeat times: the open with the index file moved
aside (the open alone), and the open with it followed by the first indexed search. Prints the
medians, their ratio, and whether the answers after the reopen equal those before the close.

  python3 bench/reopen.py --dir build/bench --n 100000 --dim 384
"""
import argparse
import os
import statistics
import time

import numpy as np

import korvane


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--dir", required=True)
    ap.add_argument("--n", type=int, default=100000)
    ap.add_argument("--dim", type=int, default=384)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--m", type=int, default=16)
    ap.add_argument("--ef-construction", type=int, default=100)
    a = ap.parse_args()
    os.makedirs(a.dir, exist_ok=True)
    path = os.path.join(a.dir, f"reopen_{a.n}x{a.dim}.db")
    rng = np.random.default_rng(5)
    queries = (rng.standard_normal((100, 16), dtype=np.float32)
               @ np.random.default_rng(6).standard_normal((16, a.dim), dtype=np.float32))
    if not os.path.exists(path + ".index"):
        for f in (path, path + ".index"):
            if os.path.exists(f):
                os.remove(f)
        z = rng.standard_normal((a.n, 16), dtype=np.float32)
        x = (z @ np.random.default_rng(6).standard_normal((16, a.dim), dtype=np.float32))
        s = korvane.Korvane(path)
        s.insert_many([f"id{i:07d}" for i in range(a.n)], x.astype(np.float32))
        t = time.perf_counter()
        s.enable_index(m=a.m, ef_construction=a.ef_construction)
        print(f"build {time.perf_counter() - t:.2f} s")
        before = [s.search(q, 10) for q in queries]
        t = time.perf_counter()
        s.close()
        print(f"close (saves the index) {time.perf_counter() - t:.3f} s, "
              f"index file {os.path.getsize(path + '.index') / 1e6:.1f} MB")
        np.save(path + ".answers.npy", np.array(before, dtype=object), allow_pickle=True)
    before = list(np.load(path + ".answers.npy", allow_pickle=True))
    plain, indexed = [], []
    same = True
    for _ in range(a.repeat):
        os.rename(path + ".index", path + ".index.aside")
        t = time.perf_counter()
        s = korvane.Korvane(path)
        plain.append(time.perf_counter() - t)
        assert s.index_info() is None
        s.close()
        os.rename(path + ".index.aside", path + ".index")
        t = time.perf_counter()
        s = korvane.Korvane(path)
        first = s.search(queries[0], 10)
        indexed.append(time.perf_counter() - t)
        assert s.index_info()["source"] == "loaded", s.index_info()
        got = [first] + [s.search(q, 10) for q in queries[1:]]
        same = same and [list(map(tuple, r)) for r in got] == [list(map(tuple, r)) for r in before]
        del s  # no close(): the index file stays as it was saved
    p, i = statistics.median(plain), statistics.median(indexed)
    print(f"load {os.getloadavg()[0]:.2f}; open alone {p:.3f} s; open + first indexed search "
          f"{i:.3f} s; ratio {i / p:.3f}; answers equal to before the close: {same}")


if __name__ == "__main__":
    main()
