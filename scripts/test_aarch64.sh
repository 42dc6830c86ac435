#!/usr/bin/env bash
# Cross-builds the C++ core and its GoogleTest suite for AArch64 (NEON kernels) and runs the
# suite under qemu-user. Slow under emulation: `make test-aarch64`, not part of `make test`.
# KORVANE_AARCH64_FILTER narrows the run to matching test names (a ctest -R expression).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/aarch64_deps.sh
cmake -S . -B build/aarch64 -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake" \
  -DKORVANE_BUILD_PYTHON=OFF -DKORVANE_INSTALL=OFF >/dev/null
cmake --build build/aarch64 -j 2
readelf -h build/aarch64/tests/cpp/metric_test | grep -q AArch64
cd build/aarch64
ctest --output-on-failure -j 2 ${KORVANE_AARCH64_FILTER:+-R "$KORVANE_AARCH64_FILTER"}
