#!/usr/bin/env python3
"""Writes the DATA and GROUND_TRUTH files walk_bench (and bench_hnsw) read: embedding-like
vectors, a gaussian of low dimension seen through a random linear map plus a little noise, and
the exact Cosine top k of each query.

  python3 bench/hnsw/walk_data.py OUT_DIR [--n 40000] [--queries 1000] [--dim 384]
"""
import argparse
import os
import struct

import numpy as np


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("out")
    ap.add_argument("--n", type=int, default=40000)
    ap.add_argument("--queries", type=int, default=1000)
    ap.add_argument("--dim", type=int, default=384)
    ap.add_argument("--latent", type=int, default=48)
    ap.add_argument("--k", type=int, default=10)
    a = ap.parse_args()
    rng = np.random.default_rng(7)
    rows = a.n + a.queries
    z = rng.standard_normal((rows, a.latent), dtype=np.float32)
    x = z @ rng.standard_normal((a.latent, a.dim), dtype=np.float32)
    x = (x + 0.3 * rng.standard_normal((rows, a.dim), dtype=np.float32)).astype(np.float32)
    base, queries = x[:a.n], x[a.n:]
    os.makedirs(a.out, exist_ok=True)
    with open(os.path.join(a.out, "data.bin"), "wb") as f:
        f.write(struct.pack("<3I", a.n, a.queries, a.dim))
        f.write(base.tobytes())
        f.write(queries.tobytes())
    b = base / np.linalg.norm(base, axis=1, keepdims=True)
    q = queries / np.linalg.norm(queries, axis=1, keepdims=True)
    truth = np.argsort(-(q @ b.T), axis=1)[:, :a.k].astype(np.uint32)
    with open(os.path.join(a.out, "truth.bin"), "wb") as f:
        f.write(struct.pack("<2I", *truth.shape))
        f.write(truth.tobytes())


if __name__ == "__main__":
    main()
