#!/usr/bin/env bash
# Configures the project, the wheel's variant and examples/cpp with the oldest CMake this build
# declares (3.20, from PyPI into a venv); run by hand when the CMake files change.
# examples/cpp is configured against build/cmake-package/prefix (`make cmake-package`).
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
export PIP_DISABLE_PIP_VERSION_CHECK=1
"$PY" -m venv build/cmake-min
build/cmake-min/bin/pip install -q "cmake==3.20.*"
cm=build/cmake-min/bin/cmake
"$cm" --version | head -1
"$cm" -S . -B build/cmake-min/dev -G Ninja -DPython_EXECUTABLE="$(command -v "$PY")" >/dev/null
"$cm" -S . -B build/cmake-min/wheel -G Ninja -DKORVANE_INSTALL=OFF -DKORVANE_STATIC_SQLITE=ON \
  -DKORVANE_BUILD_TESTS=OFF -DPython_EXECUTABLE="$(command -v "$PY")" >/dev/null
if [ -d build/cmake-package/prefix ]; then
  "$cm" -S examples/cpp -B build/cmake-min/example -G Ninja \
    -DCMAKE_PREFIX_PATH="$PWD/build/cmake-package/prefix" >/dev/null
fi
echo "configured with $("$cm" --version | head -1)"
