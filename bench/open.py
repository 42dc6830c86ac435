"""Time and memory of opening a large store: Korvane(path) on N records of dimension d.

Run from the repository root with the module importable, for example:

    PYTHONPATH=build/<dir>/src/python python3 bench/open.py [--n 100000] [--dim 384] [--runs 3]

The store is written straight into a database file with Python's sqlite3 in one transaction
(inserting through the module would commit durably once per record), in the module's own row
format, {"id":...,"vector":[...],"metadata":{...},"timestamp":null}, each component written as
the shortest text that reads back to the same float32. It is cached under --cache and rebuilt
only when missing or when --n, --dim, --seed or --page-size change. Its pages are the size a new
store of that dim gets (64 KB up to 768 components, else 4 KB) unless --page-size says another.

Each run opens the store in a fresh interpreter and reports:
  seconds    wall time of Korvane(path) alone (the import is not counted)
  cpu s      CPU time of all its threads meanwhile; near 2x seconds on an idle 2-core machine,
             near 1x when other work holds a core
  busiest    CPU time of its busiest thread during the open; on an idle machine of C cores the
             open takes at least max(cpu s / C, busiest), which "MB/s idle" is computed from
  MB/s       stored row text (the value column, summed) divided by seconds
  peak RSS   the high-water mark of that interpreter's RSS right after the open (VmHWM), and that figure divided by
             the raw size (float bytes + id bytes + metadata text bytes); "over import" is the
             same peak less the RSS the interpreter had right before the open
With --against DIR the runs alternate between the module importable now and the one in DIR
(a second build's src/python), each side opening the same store in a fresh interpreter, and the
medians of both sides and of the pairwise ratios (this side over DIR's) are printed.

Timings only; nothing is asserted.
"""

import argparse
import json
import os
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

SCHEMA = "CREATE TABLE records(id BLOB PRIMARY KEY NOT NULL, value BLOB NOT NULL) WITHOUT ROWID"

CHILD = r"""
import json, os, resource, sys, time
import korvane
def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1])
def rss_kib():
    return status_kib("VmRSS:")
before = rss_kib()
threads_before = {}
for tid in os.listdir("/proc/self/task"):
    with open("/proc/self/task/%s/stat" % tid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    threads_before[tid] = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
cpu_before = time.process_time()
start = time.perf_counter()
store = korvane.Korvane(sys.argv[1])
seconds = time.perf_counter() - start
cpu = time.process_time() - cpu_before
# The high-water mark of this process's own memory: ru_maxrss would keep the forking parent's
# (the benchmark with its arrays) across the exec.
peak = status_kib("VmHWM:") or resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
def thread_cpu():
    ticks = {}
    for tid in os.listdir("/proc/self/task"):
        with open("/proc/self/task/%s/stat" % tid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        ticks[tid] = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    return ticks
threads = thread_cpu()
busiest = max(threads[t] - threads_before.get(t, 0.0) for t in threads)
count = len(store.get_all())
print(json.dumps({"seconds": seconds, "cpu_seconds": cpu, "busiest_s": busiest, "count": count,
                  "rss_before_kib": before, "peak_kib": peak}))
"""


def component_pool(rng, dim, pool_vectors):
    """Shortest float32 texts of unit-vector components, valid JSON ("0.0123", "1e-05")."""
    x = rng.standard_normal((pool_vectors, dim), dtype=np.float32)
    x /= np.linalg.norm(x, axis=1, keepdims=True)
    flat = x.ravel()
    texts = [str(v) for v in flat]  # numpy prints a float32 scalar as its shortest round trip
    for t in texts[:1000]:
        assert np.float32(float(t)) == np.float32(t)
        json.loads(t)
    return texts


def build(path, n, dim, seed, page_size):
    """Writes the store; returns (row text bytes, raw bytes)."""
    rng = np.random.default_rng(seed)
    pool = component_pool(rng, dim, pool_vectors=256)
    tmp = path + ".partial"
    for p in (tmp, tmp + "-journal", tmp + "-wal"):
        if os.path.exists(p):
            os.remove(p)
    db = sqlite3.connect(tmp, isolation_level=None)
    db.execute("PRAGMA page_size=%d" % page_size)
    db.execute("PRAGMA journal_mode=WAL")
    db.execute("BEGIN")
    db.execute(SCHEMA)
    text_bytes = 0
    raw_bytes = 0
    picks = rng.integers(0, len(pool), size=(n, dim))
    batch = []
    for i in range(n):
        rid = "doc-%07d" % i
        meta = '{"n":%d,"tag":"t%d"}' % (i, i % 7)
        # Every row mixes components from the whole pool, so no two rows are alike.
        vector = ",".join([pool[j] for j in picks[i]])
        row = '{"id":"%s","vector":[%s],"metadata":%s,"timestamp":null}' % (rid, vector, meta)
        data = row.encode()
        text_bytes += len(data)
        raw_bytes += 4 * dim + len(rid) + len(meta)
        batch.append((rid.encode(), data))
        if len(batch) == 2000:
            db.executemany("INSERT INTO records VALUES(?, ?)", batch)
            batch.clear()
    if batch:
        db.executemany("INSERT INTO records VALUES(?, ?)", batch)
    db.execute("COMMIT")
    db.execute("PRAGMA journal_mode=DELETE")
    db.close()
    os.replace(tmp, path)
    return text_bytes, raw_bytes


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=100_000)
    ap.add_argument("--dim", type=int, default=384)
    ap.add_argument("--seed", type=int, default=11)
    ap.add_argument("--page-size", type=int, default=0,
                    help="the file's page size (default: what a new store of --dim gets)")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--cache", default=os.path.join(tempfile.gettempdir(), "korvane-bench-open"))
    ap.add_argument("--against", metavar="DIR",
                    help="alternate each run with the module in DIR (another build's src/python)")
    ap.add_argument("--json", help="also write the results to this JSON file (read by bench/plot.py)")
    args = ap.parse_args()

    os.makedirs(args.cache, exist_ok=True)
    page_size = args.page_size or (65536 if args.dim <= 768 else 4096)
    stem = os.path.join(args.cache, "store-n%d-d%d-s%d-p%d" % (args.n, args.dim, args.seed, page_size))
    path, info_path = stem + ".db", stem + ".json"
    if os.path.exists(path) and os.path.exists(info_path):
        with open(info_path) as f:
            info = json.load(f)
    else:
        start = time.perf_counter()
        text_bytes, raw_bytes = build(path, args.n, args.dim, args.seed, page_size)
        info = {"text_bytes": text_bytes, "raw_bytes": raw_bytes}
        with open(info_path, "w") as f:
            json.dump(info, f)
        print("built %s in %.1f s" % (path, time.perf_counter() - start))

    text_mb = info["text_bytes"] / 1e6
    raw_mb = info["raw_bytes"] / 1e6
    print("%d records, dim %d: %.1f MB of row text, %.1f MB raw, file %.1f MB"
          % (args.n, args.dim, text_mb, raw_mb, os.path.getsize(path) / 1e6))
    sides = [("this", None)] + ([("against", args.against)] if args.against else [])
    cores = os.cpu_count() or 1
    print("%4s %8s %9s %7s %8s %9s %11s %12s %8s %15s"
          % ("run", "side", "seconds", "cpu s", "busiest", "MB/s", "MB/s idle", "peak RSS MB", "/ raw",
             "over import MB"))
    results = {name: [] for name, _ in sides}
    for run in range(args.runs):
        for name, module_dir in sides:
            env = dict(os.environ)
            if module_dir:
                env["PYTHONPATH"] = module_dir
            out = subprocess.run([sys.executable, "-c", CHILD, path], check=True, capture_output=True,
                                 text=True, env=env)
            r = json.loads(out.stdout)
            if r["count"] != args.n:
                sys.exit("the store opened with %d records, expected %d" % (r["count"], args.n))
            peak_mb = r["peak_kib"] * 1024 / 1e6
            over_mb = (r["peak_kib"] - r["rss_before_kib"]) * 1024 / 1e6
            bound = max(r["cpu_seconds"] / cores, r["busiest_s"])
            results[name].append((r["seconds"], peak_mb, r["cpu_seconds"], bound))
            print("%4d %8s %9.3f %7.2f %8.2f %9.0f %11.0f %12.1f %8.2f %15.1f"
                  % (run, name, r["seconds"], r["cpu_seconds"], r["busiest_s"], text_mb / r["seconds"],
                     text_mb / bound, peak_mb, peak_mb / raw_mb, over_mb))
    summary = {}
    for name, _ in sides:
        rs = results[name]
        seconds = statistics.median(r[0] for r in rs)
        peak = max(r[1] for r in rs)
        cpu = statistics.median(r[2] for r in rs)
        bound = statistics.median(r[3] for r in rs)
        summary[name] = {"median_s": seconds, "mb_per_s": text_mb / seconds, "median_cpu_s": cpu,
                         "peak_mb": peak, "peak_over_raw": peak / raw_mb}
        print("%s: median %.3f s, %.0f MB/s of row text (%.0f MB/s on %d idle cores), cpu %.2f s; "
              "peak RSS %.1f MB, / raw size %.2f"
              % (name, seconds, text_mb / seconds, text_mb / bound, cores, cpu, peak, peak / raw_mb))
    if args.against:
        pairs = list(zip(results["this"], results["against"]))
        print("this / against, median of pairs: seconds %.3f, cpu %.3f, idle bound %.3f, peak RSS %.3f"
              % (statistics.median(a[0] / b[0] for a, b in pairs),
                 statistics.median(a[2] / b[2] for a, b in pairs),
                 statistics.median(a[3] / b[3] for a, b in pairs),
                 statistics.median(a[1] / b[1] for a, b in pairs)))
    print("load average", " ".join("%.2f" % x for x in os.getloadavg()))
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"n": args.n, "dim": args.dim, "text_mb": text_mb, "raw_mb": raw_mb,
                       "runs": [{"seconds": r[0], "peak_mb": r[1]} for r in results["this"]],
                       "median_s": summary["this"]["median_s"],
                       "mb_per_s": summary["this"]["mb_per_s"],
                       "peak_over_raw": summary["this"]["peak_over_raw"],
                       "load": os.getloadavg()}, f, indent=1)

if __name__ == "__main__":
    main()
