"""Draws the benchmark figures from the JSON files the benchmark scripts write with --json.

    python3 bench/plot.py RESULTS_DIR OUT_DIR

RESULTS_DIR holds insert.json, open.json, search.json, any number of graph_*.json (one per
data set and metric) and of compact_*.json (bench/compact_bench); a figure whose inputs are
missing is skipped. Writes PNG files to OUT_DIR: search.png, graph.png, insert_open.png and
compact.png.
"""

import glob
import json
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import matplotlib.ticker  # noqa: E402

COLOURS = {"korvane": "#d62728", "numpy": "#1f77b4", "floor": "#7f7f7f",
           "diverse": "#d62728", "nearest": "#1f77b4", "sqlite3": "#1f77b4"}


def load(path):
    if not os.path.exists(path):
        print("skipped: no %s" % path)
        return None
    with open(path) as f:
        return json.load(f)


def footnote(fig, doc):
    fig.text(0.01, 0.01, "load average at the end of the run: %.2f" % doc["load"][0],
             fontsize=7, color="#555555")


def search_figure(doc, out):
    # Records with ~120 bytes of metadata each ("doc") where both kinds were measured.
    rows = [r for r in doc["rows"] if r.get("meta", "doc") == "doc"]
    engines = [e for e in ("korvane", "numpy", "floor") if any(r.get(e) for r in rows)]
    dims = sorted({r["d"] for r in rows}, key=lambda d: -sum(1 for r in rows if r["d"] == d))
    by_n = sorted((r for r in rows if r["d"] == dims[0]), key=lambda r: r["n"])
    by_d = sorted((r for r in rows if r["n"] == 100_000), key=lambda r: r["d"])
    fig, axes = plt.subplots(1, 2, figsize=(10, 4))
    panels = [(axes[0], by_n, "n", "records (N), d = %d" % dims[0]),
              (axes[1], by_d, "d", "dimension (d), N = 100,000")]
    for ax, sel, key, label in panels:
        for e in engines:
            pts = [(r[key], r[e]) for r in sel if r.get(e) is not None]
            if pts:
                ax.plot(*zip(*pts), marker="o", label=e, color=COLOURS[e],
                        linestyle="--" if e == "floor" else "-")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xticks([r[key] for r in sel])
        ax.set_xticklabels(["{:,}".format(r[key]) for r in sel])
        ax.xaxis.set_minor_locator(matplotlib.ticker.NullLocator())
        ax.set_xlabel(label)
        ax.set_ylabel("ms per query (median)")
        ax.grid(True, which="both", alpha=0.3)
    axes[0].legend()
    fig.suptitle("Exhaustive Cosine search, k = %d, one query at a time from Python" % doc["k"])
    footnote(fig, doc)
    fig.tight_layout(rect=(0, 0.03, 1, 1))
    fig.savefig(out, dpi=110)
    plt.close(fig)


def graph_figure(docs, out):
    fig, axes = plt.subplots(1, len(docs), figsize=(4.5 * len(docs), 4), squeeze=False)
    for ax, doc in zip(axes[0], docs):
        for links in ("diverse", "nearest"):
            pts = sorted((p["recall"], p["qps"]) for p in doc[links])
            ax.plot(*zip(*pts), marker="o", label="%s links" % links, color=COLOURS[links])
        ax.set_yscale("log")
        ax.set_xlabel("recall@10")
        ax.set_ylabel("queries/s (one thread)")
        ax.set_title("%s, %s, %d x %d" % (doc["data"], doc["metric"], doc["n"], doc["dim"]),
                     fontsize=10)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
    fig.suptitle("Graph index: m %d, ef_construction %d" % (docs[0]["m"], docs[0]["ef_construction"]))
    footnote(fig, docs[0])
    fig.tight_layout(rect=(0, 0.03, 1, 1))
    fig.savefig(out, dpi=110)
    plt.close(fig)


def insert_open_figure(ins, opened, out):
    panels = [d for d in (ins, opened) if d]
    fig, axes = plt.subplots(1, len(panels), figsize=(4.5 * len(panels), 4), squeeze=False)
    axes = list(axes[0])
    if ins:
        ax = axes.pop(0)
        sides = list(ins["per_insert_ms"])
        bars = ax.bar(sides, [ins["per_insert_ms"][s] for s in sides],
                      color=[COLOURS["korvane"] if s == "korvane" else COLOURS["sqlite3"] for s in sides])
        for bar, s in zip(bars, sides):
            ratio = ins["ratios"].get(s)
            if ratio:
                ax.annotate("%.2fx" % ratio, (bar.get_x() + bar.get_width() / 2, bar.get_height()),
                            ha="center", va="bottom")
        ax.set_ylabel("ms per insert (one durable commit)")
        ax.set_title("Insert, %d records of d %d" % (ins["n"], ins["dim"]), fontsize=10)
    if opened:
        ax = axes.pop(0)
        ax.bar(["peak RSS", "raw data"], [opened["peak_over_raw"] * opened["raw_mb"], opened["raw_mb"]],
               color=[COLOURS["korvane"], COLOURS["floor"]])
        ax.annotate("%.2fx" % opened["peak_over_raw"],
                    (0, opened["peak_over_raw"] * opened["raw_mb"]), ha="center", va="bottom")
        ax.set_ylabel("MB")
        ax.set_title("Open, %d records of d %d: %.2f s, %.0f MB/s"
                     % (opened["n"], opened["dim"], opened["median_s"], opened["mb_per_s"]), fontsize=10)
    footnote(fig, ins or opened)
    fig.tight_layout(rect=(0, 0.03, 1, 1))
    fig.savefig(out, dpi=110)
    plt.close(fig)


def compact_figure(docs, out):
    """The scan with the 8-bit first pass against the plain scan (bench/compact_bench --json)."""
    rows = [r for doc in docs for r in doc["rows"]]
    labels = ["%s\n%s" % (r["kind"], r["metric"]) for r in rows]
    single = [r["first"] / r["plain"] for r in rows]
    batch = [r["batch_first"] / r["batch_plain"] for r in rows]
    floor = [r["first"] / r["floor"] for r in rows]
    fig, ax = plt.subplots(figsize=(10, 4))
    xs = range(len(rows))
    w = 0.27
    ax.bar([x - w for x in xs], single, w, label="search, first pass / plain scan", color="#d62728")
    ax.bar(list(xs), batch, w, label="search_batch of 64, first pass / plain", color="#ff9896")
    ax.bar([x + w for x in xs], floor, w, label="search, first pass / float32 floor", color="#7f7f7f")
    ax.axhline(1.0, color="black", linewidth=0.8)
    ax.set_xticks(list(xs))
    ax.set_xticklabels(labels, fontsize=8)
    ax.set_ylabel("time ratio (lower is faster)")
    ax.set_title("Exact k = 10 search, N = %s, d = %d" % ("{:,}".format(docs[0]["n"]), docs[0]["d"]))
    ax.legend(fontsize=8)
    fig.text(0.01, 0.01, "load average at the start of each run: %s" %
             ", ".join("%.2f" % d["load"] for d in docs), fontsize=7, color="#555555")
    fig.tight_layout(rect=(0, 0.03, 1, 1))
    fig.savefig(out, dpi=110)
    print("wrote", out)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    results, out = sys.argv[1], sys.argv[2]
    os.makedirs(out, exist_ok=True)
    search = load(os.path.join(results, "search.json"))
    if search:
        search_figure(search, os.path.join(out, "search.png"))
    graphs = [load(p) for p in sorted(glob.glob(os.path.join(results, "graph_*.json")))]
    if graphs:
        graph_figure(graphs, os.path.join(out, "graph.png"))
    compacts = [load(p) for p in sorted(glob.glob(os.path.join(results, "compact_*.json")))]
    if compacts:
        compact_figure(compacts, os.path.join(out, "compact.png"))
    ins = load(os.path.join(results, "insert.json"))
    opened = load(os.path.join(results, "open.json"))
    if ins or opened:
        insert_open_figure(ins, opened, os.path.join(out, "insert_open.png"))


if __name__ == "__main__":
    main()
