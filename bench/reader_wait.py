"""How long a reader waits for the store while two threads write back to back.

Run from the repository root with the module importable, for example:

    PYTHONPATH=build/<dir>/src/python python3 bench/reader_wait.py [--seconds 5] [--rounds 3]

Two threads insert single records (one durable commit each) without pause; a third calls
len(store) in a loop and times each call. Per round it prints the writes and reads done and the
reader's median, 99th percentile and worst wait in milliseconds; the last line gives the
medians over rounds. Timings only; nothing is asserted.
"""

import argparse
import os
import shutil
import statistics
import tempfile
import threading
import time

import korvane


def one_round(seconds, dim):
    folder = tempfile.mkdtemp(prefix="korvane-wait-")
    try:
        store = korvane.Korvane(os.path.join(folder, "s.db"))
        store.insert_many([f"seed{i}" for i in range(1000)], [[float(i % 7)] * dim for i in range(1000)])
        stop = threading.Event()
        writes = [0, 0]

        def write(n):
            vector = [1.0] * dim
            while not stop.is_set():
                store.insert(f"{n}-{writes[n]}", vector)
                writes[n] += 1

        waits = []

        def read():
            while not stop.is_set():
                start = time.perf_counter()
                len(store)
                waits.append(time.perf_counter() - start)
                time.sleep(0.001)

        threads = [threading.Thread(target=write, args=(n,)) for n in range(2)]
        threads.append(threading.Thread(target=read))
        for t in threads:
            t.start()
        time.sleep(seconds)
        stop.set()
        for t in threads:
            t.join()
        store.close()
        waits.sort()
        ms = [w * 1000 for w in waits]
        return {
            "writes": sum(writes),
            "reads": len(ms),
            "median": statistics.median(ms) if ms else float("nan"),
            "p99": ms[int(len(ms) * 0.99)] if ms else float("nan"),
            "worst": ms[-1] if ms else float("nan"),
        }
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--dim", type=int, default=64)
    args = parser.parse_args()
    results = []
    for r in range(args.rounds):
        res = one_round(args.seconds, args.dim)
        results.append(res)
        print(f"round {r}: writes {res['writes']} reads {res['reads']} median {res['median']:.3f} ms "
              f"p99 {res['p99']:.3f} ms worst {res['worst']:.3f} ms", flush=True)
    med = {k: statistics.median(r[k] for r in results) for k in results[0]}
    print(f"median over rounds: writes {med['writes']:.0f} reads {med['reads']:.0f} "
          f"worst wait {med['worst']:.3f} ms (p99 {med['p99']:.3f} ms)")


if __name__ == "__main__":
    main()
