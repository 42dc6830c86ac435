#!/usr/bin/env python3
"""The graph index's two ways of choosing links, side by side on the same data and parameters.

Writes a data file and exact ground truth, runs the bench_hnsw driver over the same files with
nearest links and with diverse links, alternating, and prints both CSV tables plus, for each
beam width of the diverse build, the nearest build's queries/s interpolated to the same recall.
Times are CPU time of the one thread doing the work (on a shared machine, wall time mostly
measures the neighbours).

  python3 bench/hnsw/compare.py --driver build/hnsw/bench_hnsw --n 20000 --dim 64

Data kinds: gaussian and uniform are independent noise in every dimension (the hardest case for
any graph index), latentD is a D-dimensional gaussian mapped linearly into --dim dimensions
(embeddings have a low intrinsic dimension), clustered is a mixture of well separated gaussians.
Needs numpy.
"""
import argparse
import json
import os
import struct
import subprocess
import sys
import tempfile

import numpy as np


def make_data(kind, n, nq, dim, seed):
    rng = np.random.default_rng(seed)
    if kind == "gaussian":
        x = rng.standard_normal((n + nq, dim), dtype=np.float32)
    elif kind == "uniform":
        x = rng.random((n + nq, dim), dtype=np.float32)
    elif kind.startswith("latent"):  # latentD: a D-dim gaussian seen through a random 64-dim map
        d = int(kind[6:])
        z = rng.standard_normal((n + nq, d), dtype=np.float32)
        x = (z @ rng.standard_normal((d, dim), dtype=np.float32)).astype(np.float32)
    else:  # clustered: a mixture of gaussians, closer to real embeddings than iid noise
        centres = rng.standard_normal((max(16, n // 500), dim), dtype=np.float32) * 3.0
        pick = rng.integers(0, len(centres), n + nq)
        x = centres[pick] + rng.standard_normal((n + nq, dim), dtype=np.float32)
    return np.ascontiguousarray(x[:n]), np.ascontiguousarray(x[n:])


def ground_truth(base, queries, metric, k):
    out = np.empty((len(queries), k), dtype=np.uint32)
    if metric == "cosine":
        b = base / np.maximum(np.linalg.norm(base, axis=1, keepdims=True), 1e-30)
        qn = queries / np.maximum(np.linalg.norm(queries, axis=1, keepdims=True), 1e-30)
    bb = (base.astype(np.float64) ** 2).sum(axis=1)
    for s in range(0, len(queries), 256):
        q = queries[s:s + 256]
        if metric == "cosine":
            score = -(qn[s:s + 256].astype(np.float64) @ b.T.astype(np.float64))
        else:
            score = bb[None, :] - 2.0 * (q.astype(np.float64) @ base.T.astype(np.float64))
        part = np.argpartition(score, k, axis=1)[:, :k]
        order = np.take_along_axis(score, part, axis=1).argsort(axis=1, kind="stable")
        out[s:s + 256] = np.take_along_axis(part, order, axis=1)
    return out


def run_ours(driver, data_path, truth_path, metric, m, ef_c, efs, neighbors):
    out = subprocess.run([driver, data_path, truth_path, "euclidean" if metric == "l2" else metric,
                          str(m), str(ef_c), ",".join(map(str, efs)), neighbors],
                         check=True, capture_output=True, text=True).stdout
    rows = []
    for line in out.splitlines():
        f = line.split(",")
        rows.append((f[0], metric, int(f[2]), int(f[3]), int(f[4]), int(f[5]), float(f[6]),
                     int(f[7]), float(f[8]), float(f[9])))
    return rows


def best_of(old, new):
    if old is None:
        return new
    build = min(old[0][6], new[0][6])
    return [r[:6] + (build, r[7], r[8], max(r[9], o[9])) for r, o in zip(new, old)]


def qps_at(rows, recall):
    """Queries/s at the target recall on the best trade-off curve of rows: for each recall, the
    fastest setting reaching at least it, linearly interpolated between neighbouring points."""
    best = {}
    for r in rows:
        best[r[8]] = max(best.get(r[8], 0.0), r[9])
    curve, fastest = [], 0.0
    for rec in sorted(best, reverse=True):
        fastest = max(fastest, best[rec])
        curve.append((rec, fastest))
    curve.reverse()
    for (r0, q0), (r1, q1) in zip(curve, curve[1:]):
        if r0 <= recall <= r1:
            return q0 + (q1 - q0) * (recall - r0) / (r1 - r0)
    if curve and curve[0][0] == recall:
        return curve[0][1]
    return None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--driver", required=True)
    ap.add_argument("--n", type=int, default=20000)
    ap.add_argument("--queries", type=int, default=1000)
    ap.add_argument("--dim", type=int, default=64)
    ap.add_argument("--metric", choices=["l2", "cosine"], default="l2")
    ap.add_argument("--data", choices=["gaussian", "uniform", "clustered", "latent8", "latent12", "latent16", "latent24", "latent32"], default="clustered")
    ap.add_argument("--m", type=int, default=16)
    ap.add_argument("--ef-construction", type=int, default=200)
    ap.add_argument("--ef", default="10,16,24,32,48,64,96,128,192,256,384")
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--json", help="also write the results to this JSON file (read by bench/plot.py)")
    args = ap.parse_args()
    efs = [int(e) for e in args.ef.split(",")]

    base, queries = make_data(args.data, args.n, args.queries, args.dim, args.seed)
    truth = ground_truth(base, queries, args.metric, 10)
    with tempfile.TemporaryDirectory() as tmp:
        data_path = os.path.join(tmp, "data.bin")
        truth_path = os.path.join(tmp, "truth.bin")
        with open(data_path, "wb") as f:
            f.write(struct.pack("<3I", len(base), len(queries), args.dim))
            f.write(base.astype("<f4").tobytes())
            f.write(queries.astype("<f4").tobytes())
        with open(truth_path, "wb") as f:
            f.write(struct.pack("<2I", *truth.shape))
            f.write(truth.astype("<u4").tobytes())
        # Runs alternate between the two, and each figure is the best of its runs: on a shared
        # machine the best run is the one least disturbed.
        sides = {"nearest": None, "diverse": None}
        for _ in range(args.repeat):
            for links in sides:
                sides[links] = best_of(sides[links], run_ours(
                    args.driver, data_path, truth_path, args.metric, args.m,
                    args.ef_construction, efs, links))
    nearest, diverse = sides["nearest"], sides["diverse"]

    print("impl,metric,n,dim,m,ef_construction,build_s,ef,recall,qps")
    for links, rows in sides.items():
        for r in rows:
            print("%s-%s,%s,%d,%d,%d,%d,%.3f,%d,%.4f,%.0f" % ((r[0], links) + r[1:]))
    print()
    print("build time ratio (diverse / nearest): %.2f" % (diverse[0][6] / nearest[0][6]))
    print("recall,diverse_qps,nearest_qps_at_same_recall,ratio")
    for r in diverse:
        other = qps_at(nearest, r[8])
        if other:
            print("%.4f,%.0f,%.0f,%.2f" % (r[8], r[9], other, r[9] / other))
        else:
            print("%.4f,%.0f,n/a,n/a" % (r[8], r[9]))
    if args.json:
        def points(rows):
            return [{"ef": r[7], "recall": r[8], "qps": r[9]} for r in rows]
        with open(args.json, "w") as f:
            json.dump({"data": args.data, "metric": args.metric, "n": args.n, "dim": args.dim,
                       "m": args.m, "ef_construction": args.ef_construction,
                       "build_s": {links: rows[0][6] for links, rows in sides.items()},
                       "nearest": points(nearest), "diverse": points(diverse),
                       "load": os.getloadavg()}, f, indent=1)

if __name__ == "__main__":
    sys.exit(main())
