#!/usr/bin/env bash
# Installs what korvane needs to build and test, then the module itself. Safe to run again:
# only missing Debian packages are installed.
set -euo pipefail
cd "$(dirname "$0")/.."

PY=${PYTHON:-python3}
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1
debs=(g++ libsqlite3-dev libtbb-dev libgtest-dev)
# The interpreter's own headers, from Debian only when it is Debian's interpreter that lacks them.
if ! "$PY" -c 'import sysconfig, os, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))'; then
  debs+=(python3-dev)
fi
missing=()
for p in "${debs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  echo "installing Debian packages: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

# pytest runs the tests, mypy checks the examples against the type stubs, NumPy feeds arrays.
"$PY" -m pip install -q pytest mypy numpy
# CMake 3.20 or later (Debian 12's own 3.25 will do) and Ninja; from PyPI when the machine has
# none of its own or an older CMake.
cmake_ok() {
  command -v cmake >/dev/null 2>&1 || return 1
  local v
  v=$(cmake --version | sed -n '1s/^cmake version \([0-9]*\.[0-9]*\).*/\1/p')
  [ -n "$v" ] && [ "$(printf '%s\n3.20\n' "$v" | sort -V | head -1)" = "3.20" ]
}
cmake_ok || "$PY" -m pip install -q "cmake>=3.20"
command -v ninja >/dev/null 2>&1 || "$PY" -m pip install -q ninja
if [ "${1:-}" != "--deps-only" ]; then
  "$PY" -m pip install -q .
fi
