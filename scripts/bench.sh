#!/usr/bin/env bash
# Runs every benchmark against a Release build in build/bench. Each prints its baseline beside
# korvane's figures, measured in the same run, and writes its results as JSON to
# build/bench/results; bench/plot.py then draws the figures in docs/ from them. Needs numpy and
# matplotlib.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}

"$PY" -m pip install -q numpy threadpoolctl matplotlib
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_BUILD_TESTS=OFF \
  -DKORVANE_BUILD_BENCH=ON -DPython_EXECUTABLE="$(command -v "$PY")" >/dev/null
cmake --build build/bench -j 2
export PYTHONPATH="$PWD/build/bench/src/python"
results=build/bench/results
mkdir -p "$results"

echo "== insert: korvane vs sqlite3, one durable commit per record; a batch of 10,000 from C++"
"$PY" bench/insert.py --driver build/bench/bench/write_bench --json "$results/insert.json"
echo "== batches: insert_many vs sqlite3 executemany, search_many vs single searches, arrays vs lists"
"$PY" bench/batch.py
echo "== threads: another Python thread's speed during searches and inserts"
"$PY" bench/threads.py
echo "== open: 100,000 records of dimension 384"
"$PY" bench/open.py --json "$results/open.json"
echo "== delete: one record at a time from the same 100,000 x 384 store vs a bare SQLite commit"
build/bench/bench/write_bench delete "${TMPDIR:-/tmp}/korvane-bench-open/store-n100000-d384-s11.db" 300
echo "== search: exhaustive Cosine, k 10"
# A current NumPy runs slower under these two (set here for old OpenBLAS builds): give it its
# best kernel in this command only.
env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE "$PY" bench/search.py --cache /tmp/korvane_bench --json "$results/search.json"
echo "== search from C++: one query, a metadata filter, a batch of 32 against 32 searches, the floor"
build/bench/bench/search_bench /tmp/korvane_bench/bench_g10_100000_384.db
build/bench/bench/search_bench /tmp/korvane_bench/bench_doc_100000_384.db
# The graph index's two link choices side by side: embedding-like data (a 16-dimensional source
# seen in 64 dimensions), both metric kinds; then well separated clusters, where keeping only
# the nearest neighbours loses recall.
for metric in l2 cosine; do
  echo "== graph index, diverse vs nearest links: 20,000 x 64, latent16, $metric"
  "$PY" bench/hnsw/compare.py --driver build/bench/bench/bench_hnsw --data latent16 --metric $metric \
    --json "$results/graph_latent16_$metric.json"
done
echo "== graph index, diverse vs nearest links: 20,000 x 64, clustered, l2"
"$PY" bench/hnsw/compare.py --driver build/bench/bench/bench_hnsw --data clustered --metric l2 \
  --json "$results/graph_clustered_l2.json"
echo "== figures"
"$PY" bench/plot.py "$results" docs
