"""One Manhattan search at a time from Python, with the first pass or without.

    PYTHONPATH=build/dev/src/python python3 bench/manhattan_search.py build
    for r in 1 2 3; do for c in 1 0; do KORVANE_COMPACT=$c PYTHONPATH=build/dev/src/python \\
        python3 bench/manhattan_search.py run; done; done

`build` writes 100,000 embedding-like records of dimension 384 (a latent gaussian of dimension
24 with a falling spectrum mapped linearly, plus noise, normalized) to /tmp/korvane_l1.db;
`run` prints the median milliseconds of 30 searches with k = 10 (KORVANE_COMPACT=0 turns the
pass off). Timings only; nothing is asserted.
"""

import os
import statistics
import sys
import time

import numpy as np

import korvane

PATH = "/tmp/korvane_l1.db"


def embed(rng: np.random.Generator, basis: np.ndarray, m: int) -> np.ndarray:
    z = rng.standard_normal((m, 24)).astype(np.float32) / (1 + np.arange(24) // 4)
    v = z @ basis + 0.3 * rng.standard_normal((m, 384)).astype(np.float32)
    return (v / np.linalg.norm(v, axis=1, keepdims=True)).astype(np.float32)


def main() -> None:
    basis = np.random.default_rng(5).standard_normal((24, 384)).astype(np.float32)
    if sys.argv[1:] == ["build"]:
        if os.path.exists(PATH):
            os.remove(PATH)
        db = korvane.Korvane.open(PATH, metric="manhattan", dim=384)
        x = embed(np.random.default_rng(6), basis, 100_000)
        db.insert_many([f"r{i}" for i in range(len(x))], x)
        return
    db = korvane.Korvane.open(PATH, metric="manhattan", dim=384)
    qs = embed(np.random.default_rng(77), basis, 31)
    db.search(qs[0], 10)  # warm
    times = []
    for q in qs[1:]:
        t = time.perf_counter()
        db.search(q, 10)
        times.append((time.perf_counter() - t) * 1e3)
    print(f"KORVANE_COMPACT={os.environ.get('KORVANE_COMPACT', '1')} "
          f"median {statistics.median(times):.2f} ms")


if __name__ == "__main__":
    main()
