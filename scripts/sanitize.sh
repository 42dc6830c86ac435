#!/usr/bin/env bash
# The attack suites under clang: builds build/sanitize with AddressSanitizer and
# UndefinedBehaviorSanitizer (this is also the project's clang build), runs the C++ and Python
# test suites there, then runs each libFuzzer target for FUZZ_SECONDS (default 20) from its seed
# corpus. Installs clang when it is missing.
#
#   scripts/sanitize.sh              # the short run CI makes
#   FUZZ_SECONDS=1800 scripts/sanitize.sh --fuzz-only    # a long fuzzing session
#
# KORVANE_LONG=1 makes the crash, damaged-file and kill suites run many more rounds.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
FUZZ_SECONDS=${FUZZ_SECONDS:-20}

scripts/setup.sh --deps-only
if ! command -v clang++ >/dev/null 2>&1; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  echo "installing Debian packages: clang"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq clang
fi

flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
# Debug keeps the asserts; -O1 with line tables only builds fast and still gives stack traces.
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_CXX_FLAGS_DEBUG="-O1 -gline-tables-only" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined -shared-libsan" \
  -DKORVANE_BUILD_FUZZ=ON -DPython_EXECUTABLE="$(command -v "$PY")" >/dev/null
cmake --build build/sanitize -j 2

export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
if [ "${1:-}" != "--fuzz-only" ]; then
  (cd build/sanitize && ctest --output-on-failure -j 2)
  # The interpreter is not built with the sanitizer: its runtime is loaded first. Leak reports
  # would be about the interpreter's own allocations. The sanitizer's operator new ends the
  # process instead of throwing std::bad_alloc, so the test of an impossible allocation is left
  # to the plain build.
  runtime=$(clang++ -print-file-name=libclang_rt.asan-x86_64.so)
  LD_PRELOAD="$runtime" KORVANE_MODULE_DIR="$PWD/build/sanitize/src/python" \
    "$PY" -m pytest -q -p no:cacheprovider tests/python \
    --deselect tests/python/test_conversion.py::test_huge_length_hint_is_memory_error
fi

# The core's concurrency test under ThreadSanitizer, in a build of its own (the sanitizer cannot
# be combined with AddressSanitizer). Short rounds: the point is every interleaving kind, not
# their number.
if [ "${1:-}" != "--fuzz-only" ]; then
  cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
    -DCMAKE_CXX_FLAGS_DEBUG="-O1 -gline-tables-only" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" \
    -DKORVANE_BUILD_PYTHON=OFF -DPython_EXECUTABLE="$(command -v "$PY")" >/dev/null
  cmake --build build/tsan -j 2 --target concurrency_test
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 KORVANE_CONCURRENCY_ROUNDS=${KORVANE_CONCURRENCY_ROUNDS:-80} \
    build/tsan/tests/cpp/concurrency_test
fi

for target in json record; do
  work="build/sanitize/fuzz-corpus/$target"
  mkdir -p "$work"
  echo "fuzzing $target for ${FUZZ_SECONDS}s"
  build/sanitize/tests/fuzz/fuzz_$target -max_total_time="$FUZZ_SECONDS" -max_len=4096 \
    -print_final_stats=1 -artifact_prefix="build/sanitize/fuzz-$target-" \
    "$work" "tests/fuzz/corpus/$target" 2>&1 | grep -E "^(stat::number_of_executed_units|#[0-9]+ +DONE)|ERROR|SUMMARY" || true
  # A crash leaves an artifact; fail on it.
  if ls build/sanitize/fuzz-$target-* >/dev/null 2>&1; then
    echo "fuzz_$target found a failing input: $(ls build/sanitize/fuzz-$target-*)" >&2
    exit 1
  fi
done
