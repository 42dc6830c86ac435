"""How much another Python thread gets done while a store works, and searches per second from
several threads.

Run from the repository root with the module importable, for example:

    PYTHONPATH=build/<dir>/src/python python3 bench/threads.py [--n 50000] [--dim 384]

bystander   a thread that only counts, in pure Python, for --seconds; its count per second
            while idle, while another thread runs a stream of searches on the store (k 10), and
            while another thread runs a stream of single inserts (one durable commit each).
            Phases alternate within every round (idle, searches, idle, inserts); each ratio is
            the median over rounds of (count during the stream) / (count in the idle phase next
            to it). The stream's own rate is printed too.
scaling     searches per second from 1, 2 and 4 threads sharing one store.
The machine's cores bound what the bystander can get: a search scores on every core, so while
searches run the bystander competes with them for CPU, though no longer for the interpreter.
Timings only; nothing is asserted.
"""

import argparse
import os
import shutil
import statistics
import tempfile
import threading
import time

import numpy as np

import korvane


def count_for(seconds):
    end = time.perf_counter() + seconds
    n = 0
    while time.perf_counter() < end:
        for _ in range(1000):
            n += 1
    return n / seconds


def with_stream(seconds, stream):
    stop = threading.Event()
    done = [0]

    def run():
        while not stop.is_set():
            stream()
            done[0] += 1

    t = threading.Thread(target=run)
    t.start()
    time.sleep(0.05)  # let the stream get going
    start = time.perf_counter()
    rate = count_for(seconds)
    elapsed = time.perf_counter() - start
    stop.set()
    t.join()
    return rate, done[0] / elapsed


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=50000)
    ap.add_argument("--dim", type=int, default=384)
    ap.add_argument("--seconds", type=float, default=1.0)
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    print("load average: %.2f %.2f %.2f" % os.getloadavg())
    work = tempfile.mkdtemp(prefix="korvane-threads-")
    try:
        rng = np.random.default_rng(0)
        x = rng.standard_normal((args.n, args.dim), dtype=np.float32)
        store = korvane.Korvane(os.path.join(work, "store.db"))
        store.insert_many(["doc-%06d" % i for i in range(args.n)], x)
        queries = rng.standard_normal((64, args.dim), dtype=np.float32)
        counter = iter(range(10**9))

        def search():
            store.search(queries[next(counter) % 64], 10)

        def insert():
            i = next(counter)
            store.insert("new-%d" % i, queries[i % 64], '{"n": %d}' % i)

        ratios = {"searches": [], "inserts": []}
        rates = {"searches": [], "inserts": []}
        idle = []
        for _ in range(args.rounds):
            for name, stream in (("searches", search), ("inserts", insert)):
                base = count_for(args.seconds)
                during, rate = with_stream(args.seconds, stream)
                idle.append(base)
                ratios[name].append(during / base)
                rates[name].append(rate)
        print("bystander: %d x %d store, %.1f s phases, %d rounds" %
              (args.n, args.dim, args.seconds, args.rounds))
        print("  idle                %.2f M counts/s" % (statistics.median(idle) / 1e6))
        for name in ("searches", "inserts"):
            print("  during %-9s    %.0f%% of idle (rounds %s); stream %.0f calls/s" % (
                name, 100 * statistics.median(ratios[name]),
                " ".join("%.0f%%" % (100 * r) for r in ratios[name]),
                statistics.median(rates[name])))

        print("scaling: searches per second, k 10")
        for threads in (1, 2, 4):
            per_thread = max(8, 64 // threads)

            def worker():
                for i in range(per_thread):
                    store.search(queries[i % 64], 10)

            ts = [threading.Thread(target=worker) for _ in range(threads)]
            start = time.perf_counter()
            for t in ts:
                t.start()
            for t in ts:
                t.join()
            print("  %d thread%s  %.0f/s" % (threads, "" if threads == 1 else "s",
                                           threads * per_thread / (time.perf_counter() - start)))
        store.close()
    finally:
        shutil.rmtree(work)
    print("load average: %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    main()
