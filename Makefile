.PHONY: demo test sanitize fuzz bench clean

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

bench:
	scripts/bench.sh

clean:
	rm -rf build
