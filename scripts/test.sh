#!/usr/bin/env bash
# Builds the C++ tests and the module in build/dev, runs ctest, then pytest against that build,
# then the integration packages (scripts/test_integrations.sh), then scripts/sanitize.sh (the
# suites under clang's sanitizers, and the fuzz targets).
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}

scripts/setup.sh --deps-only
cmake -S . -B build/dev -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$(command -v "$PY")" >/dev/null
cmake --build build/dev -j 2
(cd build/dev && ctest --output-on-failure -j 2)
KORVANE_MODULE_DIR="$PWD/build/dev/src/python" "$PY" -m pytest -q tests/python
# The examples against the type stubs, as a user's checker would see them once installed.
rm -rf build/dev/stubs && mkdir -p build/dev/stubs/korvane
cp src/python/korvane-stubs/__init__.pyi build/dev/stubs/korvane/__init__.pyi
MYPYPATH="$PWD/build/dev/stubs" "$PY" -m mypy --strict --no-incremental --exclude 'rag_' examples
# The LangChain and LlamaIndex packages, in a venv of their own, and the retrieval examples.
scripts/test_integrations.sh
# The same suites under the sanitizers, and a short fuzzing run. KORVANE_SKIP_SANITIZE=1 skips
# them for a quick local iteration.
if [ "${KORVANE_SKIP_SANITIZE:-}" != "1" ]; then
  scripts/sanitize.sh
fi
