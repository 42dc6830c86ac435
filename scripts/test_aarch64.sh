#!/usr/bin/env bash
# Cross-builds the C++ core and its GoogleTest suite for AArch64 (NEON kernels) and runs the
# suite under qemu-user: `make test-aarch64`. `--quick` (the CI step) builds and runs only the
# kernel suites: the NEON float kernels against the scalar reference, bit for bit, and the 8-bit
# kernels of the first pass against the portable products (with their bounds). qemu emulates every
# floating-point operation in software, so the graph index's larger tests take minutes each.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/aarch64_deps.sh
cmake -S . -B build/aarch64 -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake" \
  -DKORVANE_BUILD_PYTHON=OFF -DKORVANE_INSTALL=OFF -DKORVANE_TEST_TIMEOUT=900 >/dev/null
select=()
if [ "${1:-}" = "--quick" ]; then
  cmake --build build/aarch64 -j 2 --target metric_test compact_test
  select=(-R '^(MetricTest|CompactBound)\.')
else
  cmake --build build/aarch64 -j 2
fi
readelf -h build/aarch64/tests/cpp/metric_test | grep -q AArch64
# qemu-user runs one program: a test that starts a second process needs the kernel to hand the
# aarch64 executable to qemu too (binfmt_misc), which containers seldom allow.
skip=()
if [ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]; then
  skip=(-E 'SecondOpenFailsAtOnceUntilTheFirstIsGone')
fi
cd build/aarch64
ctest --output-on-failure -j 2 "${select[@]}" "${skip[@]}"
