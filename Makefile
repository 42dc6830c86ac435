.PHONY: demo test sanitize fuzz package cmake-package test-aarch64 test-aarch64-quick bench plots clean

# Installs everything korvane needs (Debian packages, then the module) and runs the quickstart.
demo:
	scripts/setup.sh
	python3 examples/quickstart.py

# The whole test suite: C++ (ctest) and Python (pytest).
test:
	scripts/test.sh

# Both test suites under clang's AddressSanitizer and UndefinedBehaviorSanitizer, then a short
# run of each fuzz target (part of `make test`).
sanitize:
	scripts/sanitize.sh

# A long fuzzing session: 30 minutes per target, corpus kept in build/sanitize/fuzz-corpus.
fuzz:
	FUZZ_SECONDS=1800 scripts/sanitize.sh --fuzz-only

# The sdist and the manylinux wheel built from it, installed into a fresh venv and tested there.
package:
	scripts/check_package.sh

# The C++ library installed as a CMake package (with Debian's CMake) and examples/cpp built
# against it.
cmake-package:
	scripts/check_cmake_package.sh --debian-cmake

# The C++ suite cross-built for AArch64 and run under qemu-user (about 3 minutes; CI runs it);
# the quick one runs the kernel suites only (the NEON metric kernels, the 8-bit products).
test-aarch64:
	scripts/test_aarch64.sh
test-aarch64-quick:
	scripts/test_aarch64.sh --quick

# Every benchmark beside its baseline; writes the figures in docs/.
bench:
	scripts/bench.sh

# The figures again from the last `make bench` results.
plots:
	python3 bench/plot.py build/bench/results docs

clean:
	rm -rf build
