"""The store at scale: N x 384 embedding-like records with small metadata, step by step.

Run from the repository root with the module importable, for example:

    PYTHONPATH=build/<dir>/src/python python3 bench/scale.py --n 100000 --dir /tmp/korvane_scale \
        --json build/bench/results/scale_100000.json
    python3 bench/scale.py --table build/bench/results/scale_*.json    # one table of several N

Every step whose time or memory matters runs in a fresh interpreter, one after the other:

  ingest       one insert_many of all N records from a float32 array, and (in a process of
               its own) the same records into a second file in insert_many calls of 10,000;
               wall and CPU seconds, the
               peak RSS above what the process held before the call (the array it inserts was
               held before, so it is not counted) over the raw float32 size; the file's size and its row text (the value column)
  sqlite3      (N <= --sqlite-max) executemany of the very rows korvane wrote, one transaction,
               same table and pragmas, in the same process as a third file
  open         Korvane(path) without an index: wall, CPU, GB/s of row text, peak RSS over raw;
               then exact search: one query at a time (median ms, k 10) beside NumPy (X @ q on
               normalised rows, argpartition) and the all-core read of the matrix
               (bench/floor.cc), and search_many of 64 queries; the exact top 10 of the recall
               queries is kept as the truth
  build        enable_index(m=16, ef_construction=100), default threads: wall and CPU seconds;
               then save_index() and the index file's size
  reopen       --rounds times, alternating: the open with the index file moved aside (the open
               alone), and the open with it plus the first indexed search
  ef           in the last reopened process: recall@10 against the truth and queries/s (one
               query per call) at ef 16, 32, 64, 128, 256
  writes       single deletes and single upserts (each a durable commit) with the loaded index,
               and then with the index file moved aside; medians, and the first indexed search
               after each write

The data are bench/search.py's embedding-like rows (a latent gaussian of falling spectrum seen
through a fixed map, noise, normalised), cached as .npy under --dir; stores are removed at the
end unless --keep. Timings only; nothing is asserted but that the saved index was loaded.
"""

import argparse
import glob
import json
import os
import resource
import sqlite3
import statistics
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

DIM = 384
K = 10
EFS = (16, 32, 64, 128, 256)
RECALL_QUERIES = 200
WRITES = 40


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def peak_kib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


class Span:
    """Wall and CPU seconds (all threads) of a block, and the peak RSS it raised."""

    def __enter__(self):
        self.rss0 = rss_kib()
        self.cpu0 = time.process_time()
        self.t0 = time.perf_counter()
        return self

    def __exit__(self, *exc):
        self.wall = time.perf_counter() - self.t0
        self.cpu = time.process_time() - self.cpu0
        self.peak_over = max(0, peak_kib() - self.rss0) * 1024

    def figures(self, raw=None):
        out = {"wall_s": self.wall, "cpu_s": self.cpu, "load": os.getloadavg()[0]}
        if raw:
            out["peak_over_raw"] = self.peak_over / raw
        return out


def paths(a):
    base = os.path.join(a.dir, "scale_%d" % a.n)
    return {"data": base + "_data.npy", "queries": os.path.join(a.dir, "scale_queries.npy"),
            "store": base + ".db", "chunks": base + "_chunks.db", "sqlite": base + "_sqlite3.db",
            "truth": base + "_truth.json", "index": base + ".db.index"}


def remove_store(path):
    for suffix in ("", "-wal", "-journal", ".index", ".index.aside"):
        if os.path.exists(path + suffix):
            os.remove(path + suffix)


def ids_of(n):
    return ["r%07d" % i for i in range(n)]


def metadata_of(n):
    import search
    return [search.metadata_text("small", i) for i in range(n)]


def step_gen(a, p):
    import search
    search.DATA = "embed"
    if not os.path.exists(p["data"]):
        np.save(p["data"], search.matrix(a.n, DIM, seed=1000 + DIM))
    if not os.path.exists(p["queries"]):
        np.save(p["queries"], search.matrix(RECALL_QUERIES, DIM, seed=7))
    return {}


def step_ingest(a, p):
    import korvane
    x = np.load(p["data"])
    raw = x.nbytes
    ids, metas = ids_of(a.n), metadata_of(a.n)
    out = {"raw_bytes": raw}
    remove_store(p["store"])
    s = korvane.Korvane(p["store"])
    with Span() as one:
        s.insert_many(ids, x, metas)
    s.close()
    out["ingest_one"] = one.figures(raw)
    out["file_bytes"] = os.path.getsize(p["store"])
    db = sqlite3.connect(p["store"])
    out["row_text_bytes"] = db.execute("SELECT sum(length(value)) FROM records").fetchone()[0]
    db.close()
    return out


def step_chunks(a, p):
    """In a process of its own: the peak RSS is the process's, so it must not hold another's."""
    import korvane
    x = np.load(p["data"])
    ids, metas = ids_of(a.n), metadata_of(a.n)
    remove_store(p["chunks"])
    s = korvane.Korvane(p["chunks"])
    with Span() as chunks:
        for at in range(0, a.n, 10000):
            s.insert_many(ids[at:at + 10000], x[at:at + 10000], metas[at:at + 10000])
    s.close()
    remove_store(p["chunks"])
    return {"ingest_chunks": chunks.figures(x.nbytes)}


def step_sqlite(a, p):
    import batch
    db = sqlite3.connect(p["store"])
    rows = db.execute("SELECT id, value FROM records").fetchall()
    db.close()
    remove_store(p["sqlite"])
    cpu0 = time.process_time()
    wall = batch.time_sqlite(p["sqlite"], rows)
    out = {"sqlite3_executemany": {"wall_s": wall, "cpu_s": time.process_time() - cpu0,
                                   "load": os.getloadavg()[0]}}
    remove_store(p["sqlite"])
    return out


def median_ms(fn, calls, warmup=3):
    for q in calls[:warmup]:
        fn(q)
    times = []
    for q in calls:
        t0 = time.perf_counter()
        fn(q)
        times.append((time.perf_counter() - t0) * 1e3)
    return statistics.median(times)


def step_open(a, p):
    import korvane
    import search
    with Span() as opened:
        s = korvane.Korvane(p["store"])
    raw = a.n * DIM * 4
    out = {"open": dict(opened.figures(raw), peak_rss_bytes=peak_kib() * 1024)}
    qs = np.load(p["queries"])
    singles = list(qs[:24])
    out["exact_ms"] = median_ms(lambda q: s.search(q, K), singles)
    many = []
    for r in range(3):
        t0 = time.perf_counter()
        s.search_many(qs[64 * r:64 * r + 64], K)
        many.append((time.perf_counter() - t0) * 1e3)
    out["exact_many64_ms"] = statistics.median(many)
    truth = [[rid for rid, _, _ in found] for found in s.search_many(qs, K)]
    with open(p["truth"], "w") as f:
        json.dump(truth, f)
    s.close()
    x = np.load(p["data"])
    norms = np.linalg.norm(x, axis=1)

    def numpy_search(q):
        scores = (x @ q) / (norms * np.linalg.norm(q))
        top = np.argpartition(-scores, K)[:K]
        return top[np.argsort(-scores[top], kind="stable")]

    out["numpy_ms"] = median_ms(numpy_search, singles)
    out["agree_numpy"] = float(np.mean([len({int(r[1:]) for r in truth[i]} & set(
        numpy_search(qs[i]).tolist())) / K for i in range(10)]))
    floor = search.load_floor(a.floor)
    out["floor_ms"] = median_ms(lambda q: floor(x.ctypes.data, x.size), singles)
    return out


def step_build(a, p):
    import korvane
    s = korvane.Korvane(p["store"])
    with Span() as built:
        s.enable_index(m=16, ef_construction=100)
    out = {"build": dict(built.figures(a.n * DIM * 4), peak_rss_bytes=peak_kib() * 1024)}
    t0 = time.perf_counter()
    s.save_index()
    out["save_s"] = time.perf_counter() - t0
    out["index_bytes"] = os.path.getsize(p["index"])
    s.close()
    return out


def step_open_alone(a, p):
    import korvane
    os.rename(p["index"], p["index"] + ".aside")
    try:
        with Span() as opened:
            s = korvane.Korvane(p["store"])
        assert s.index_info() is None
        s.close()
    finally:
        os.rename(p["index"] + ".aside", p["index"])
    return {"open_alone": opened.figures()}


def step_reopen(a, p, sweep):
    import korvane
    qs = np.load(p["queries"])
    with Span() as opened:
        s = korvane.Korvane(p["store"])
        s.search(qs[0], K)
    info = s.index_info()
    assert info is not None and info["source"] == "loaded", info
    out = {"reopen_first_search": opened.figures()}
    if sweep:
        with open(p["truth"]) as f:
            truth = [set(t) for t in json.load(f)]
        curve = []
        for ef in EFS:
            s.set_ef_search(ef)
            for q in qs[:3]:
                s.search(q, K)
            found = 0
            t0 = time.perf_counter()
            for q, want in zip(qs, truth):
                found += sum(rid in want for rid, _, _ in s.search(q, K))
            curve.append({"ef": ef, "recall": found / (K * len(qs)),
                          "qps": len(qs) / (time.perf_counter() - t0)})
        out["ef"] = curve
    del s  # no close(): the saved index stays as it was
    return out


def step_writes(a, p, indexed):
    import korvane
    qs = np.load(p["queries"])
    rng = np.random.default_rng(11 if indexed else 12)
    victims = rng.choice(a.n, size=WRITES, replace=False)
    if not indexed:
        os.rename(p["index"], p["index"] + ".aside")
    s = korvane.Korvane(p["store"])
    assert (s.index_info() is not None) == indexed
    s.search(qs[0], K)
    deletes, upserts, firsts = [], [], []
    for i, v in enumerate(victims):
        t0 = time.perf_counter()
        s.delete("r%07d" % v)
        t1 = time.perf_counter()
        s.search(qs[i % len(qs)], K)
        t2 = time.perf_counter()
        s.upsert("r%07d" % ((v + 1) % a.n), qs[(i + 7) % len(qs)], '{"group":3}')
        t3 = time.perf_counter()
        deletes.append(t1 - t0)
        firsts.append(t2 - t1)
        upserts.append(t3 - t2)
    info = s.index_info()
    del s
    name = "indexed" if indexed else "plain"
    return {"writes_" + name: {"delete_ms": 1e3 * statistics.median(deletes),
                               "upsert_ms": 1e3 * statistics.median(upserts),
                               "search_after_ms": 1e3 * statistics.median(firsts),
                               "deleted_nodes": info["deleted"] if info else None,
                               "load": os.getloadavg()[0]}}


def child(a):
    p = paths(a)
    steps = {
        "gen": lambda: step_gen(a, p),
        "ingest": lambda: step_ingest(a, p),
        "chunks": lambda: step_chunks(a, p),
        "sqlite": lambda: step_sqlite(a, p),
        "open": lambda: step_open(a, p),
        "build": lambda: step_build(a, p),
        "open_alone": lambda: step_open_alone(a, p),
        "reopen": lambda: step_reopen(a, p, sweep=False),
        "reopen_ef": lambda: step_reopen(a, p, sweep=True),
        "writes_indexed": lambda: step_writes(a, p, indexed=True),
        "writes_plain": lambda: step_writes(a, p, indexed=False),
    }
    print(json.dumps(steps[a.step]()))


def run_step(a, step):
    cmd = [sys.executable, os.path.abspath(__file__), "--step", step, "--n", str(a.n),
           "--dir", a.dir, "--floor", a.floor]
    t0 = time.perf_counter()
    out = subprocess.run(cmd, check=True, stdout=subprocess.PIPE, text=True).stdout
    print("  %-14s %7.1f s  load %.2f" % (step, time.perf_counter() - t0, os.getloadavg()[0]),
          file=sys.stderr, flush=True)
    return json.loads(out.strip().splitlines()[-1])


def measure(a):
    os.makedirs(a.dir, exist_ok=True)
    r = {"n": a.n, "dim": DIM, "k": K, "load_start": os.getloadavg(),
         "started": time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime())}
    try:
        r["commit"] = subprocess.run(["git", "-C", HERE, "rev-parse", "--short", "HEAD"],
                                     stdout=subprocess.PIPE, text=True).stdout.strip()
    except OSError:
        r["commit"] = None
    steps = ["gen", "ingest", "chunks"] + (["sqlite"] if a.n <= a.sqlite_max else []) + ["open", "build"]
    for step in steps:
        r.update(run_step(a, step))
    alone, reopened = [], []
    for i in range(a.rounds):
        alone.append(run_step(a, "open_alone")["open_alone"])
        last = run_step(a, "reopen_ef" if i == a.rounds - 1 else "reopen")
        reopened.append(last["reopen_first_search"])
    r["ef"] = last["ef"]
    r["open_alone"] = {key: statistics.median(o[key] for o in alone) for key in alone[0]}
    r["reopen_first_search"] = {key: statistics.median(o[key] for o in reopened)
                                for key in reopened[0]}
    r.update(run_step(a, "writes_indexed"))
    r.update(run_step(a, "writes_plain"))
    r["load_end"] = os.getloadavg()
    r["finished"] = time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime())
    if not a.keep:
        p = paths(a)
        remove_store(p["store"])
        for f in (p["data"], p["truth"]):
            if os.path.exists(f):
                os.remove(f)
    return r


def table(results):
    """One row per figure, one column per N."""
    def g(r, *keys):
        for key in keys:
            r = r.get(key) if isinstance(r, dict) else None
        return r

    def fmt(v, form):
        return "-" if v is None else form % v

    rows = [
        ("ingest, one insert_many: s (CPU s)", lambda r: "%.1f (%.1f)" % (
            r["ingest_one"]["wall_s"], r["ingest_one"]["cpu_s"])),
        ("  peak RSS over raw float32", lambda r: "%.2fx" % r["ingest_one"]["peak_over_raw"]),
        ("ingest, chunks of 10k: s (CPU s)", lambda r: "%.1f (%.1f)" % (
            r["ingest_chunks"]["wall_s"], r["ingest_chunks"]["cpu_s"])),
        ("  peak RSS over raw float32", lambda r: "%.2fx" % r["ingest_chunks"]["peak_over_raw"]),
        ("sqlite3 executemany of the rows: s", lambda r: fmt(
            g(r, "sqlite3_executemany", "wall_s"), "%.1f")),
        ("file size, GB (row text GB)", lambda r: "%.2f (%.2f)" % (
            r["file_bytes"] / 1e9, r["row_text_bytes"] / 1e9)),
        ("open: s (CPU s)", lambda r: "%.2f (%.2f)" % (r["open"]["wall_s"], r["open"]["cpu_s"])),
        ("  GB/s of row text (per CPU second)", lambda r: "%.2f (%.2f)" % (
            r["row_text_bytes"] / 1e9 / r["open"]["wall_s"],
            r["row_text_bytes"] / 1e9 / r["open"]["cpu_s"])),
        ("  peak RSS over raw float32 (peak GB)", lambda r: "%.2fx (%.2f)" % (
            r["open"]["peak_over_raw"], r["open"]["peak_rss_bytes"] / 1e9)),
        ("exact search, k 10: ms", lambda r: "%.1f" % r["exact_ms"]),
        ("  NumPy / floor: ms", lambda r: "%.1f / %.1f" % (r["numpy_ms"], r["floor_ms"])),
        ("exact search_many of 64: ms", lambda r: "%.0f" % r["exact_many64_ms"]),
        ("index build: s (CPU s)", lambda r: "%.0f (%.0f)" % (
            r["build"]["wall_s"], r["build"]["cpu_s"])),
        ("  save_index s; index file MB", lambda r: "%.2f; %.0f" % (
            r["save_s"], r["index_bytes"] / 1e6)),
        ("open alone (index aside): s (CPU s)", lambda r: "%.2f (%.2f)" % (
            r["open_alone"]["wall_s"], r["open_alone"]["cpu_s"])),
        ("open with index + first search: s (CPU s)", lambda r: "%.2f (%.2f)" % (
            r["reopen_first_search"]["wall_s"], r["reopen_first_search"]["cpu_s"])),
        ("  ratio, wall (CPU)", lambda r: "%.2f (%.2f)" % (
            r["reopen_first_search"]["wall_s"] / r["open_alone"]["wall_s"],
            r["reopen_first_search"]["cpu_s"] / r["open_alone"]["cpu_s"])),
    ]
    for i, ef in enumerate(EFS):
        rows.append(("indexed, ef %d: recall@10, q/s" % ef, lambda r, i=i: "%.3f, %.0f" % (
            r["ef"][i]["recall"], r["ef"][i]["qps"])))
    rows += [
        ("delete: ms, with index / without", lambda r: "%.2f / %.2f" % (
            r["writes_indexed"]["delete_ms"], r["writes_plain"]["delete_ms"])),
        ("upsert: ms, with index / without", lambda r: "%.2f / %.2f" % (
            r["writes_indexed"]["upsert_ms"], r["writes_plain"]["upsert_ms"])),
        ("search after a write: ms, indexed / exact", lambda r: "%.2f / %.2f" % (
            r["writes_indexed"]["search_after_ms"], r["writes_plain"]["search_after_ms"])),
        ("load average, start-end", lambda r: "%.1f-%.1f" % (r["load_start"][0], r["load_end"][0])),
    ]
    head = "| step | " + " | ".join("%s" % format(r["n"], ",") for r in results) + " |"
    lines = [head, "|---|" + "---|" * len(results)]
    for name, fn in rows:
        cells = []
        for r in results:
            try:
                cells.append(fn(r))
            except (KeyError, TypeError, IndexError):
                cells.append("-")
        lines.append("| %s | %s |" % (name, " | ".join(cells)))
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=100000)
    ap.add_argument("--dir", default="/tmp/korvane_scale")
    ap.add_argument("--rounds", type=int, default=3, help="open alone / reopen pairs")
    ap.add_argument("--sqlite-max", type=int, default=300000,
                    help="largest N for the executemany baseline")
    ap.add_argument("--floor", default=os.path.join(HERE, "..", "build", "bench", "bench",
                                                    "libkorvane_floor.so"))
    ap.add_argument("--keep", action="store_true", help="keep the store and data files")
    ap.add_argument("--json", help="write the results to this JSON file")
    ap.add_argument("--table", nargs="+", metavar="JSON", help="print the table of these results")
    ap.add_argument("--steps", help="only these steps (comma list, e.g. gen,chunks), their "
                    "figures replacing those in --json")
    ap.add_argument("--step", help=argparse.SUPPRESS)
    a = ap.parse_args()
    if a.step:
        child(a)
        return
    if a.table:
        results = []
        for pattern in a.table:
            for path in sorted(glob.glob(pattern)):
                with open(path) as f:
                    results.append(json.load(f))
        results.sort(key=lambda r: r["n"])
        print(table(results))
        return
    if a.steps:
        with open(a.json) as f:
            r = json.load(f)
        for step in a.steps.split(","):
            r.update(run_step(a, step))
        if not a.keep:
            os.remove(paths(a)["data"])
    else:
        r = measure(a)
    print(table([r]))
    if a.json:
        os.makedirs(os.path.dirname(os.path.abspath(a.json)), exist_ok=True)
        with open(a.json, "w") as f:
            json.dump(r, f, indent=1)


if __name__ == "__main__":
    main()
