.PHONY: demo test bench clean

# Installs everything korvane needs (Debian packages, then the module) and runs the quickstart.
demo:
	scripts/setup.sh
	python3 examples/quickstart.py

# The whole test suite: C++ (ctest) and Python (pytest).
test:
	scripts/test.sh

bench:
	scripts/bench.sh

clean:
	rm -rf build
