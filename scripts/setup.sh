#!/usr/bin/env bash
# Installs what korvane needs to build and test, then the module itself. Safe to run again:
# only missing Debian packages are installed.
set -euo pipefail
cd "$(dirname "$0")/.."

debs=(g++ cmake ninja-build libsqlite3-dev libtbb-dev libgtest-dev python3-dev)
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

PY=${PYTHON:-python3}
"$PY" -m pip install -q --upgrade pip >/dev/null 2>&1 || true
"$PY" -m pip install -q pytest
if [ "${1:-}" != "--deps-only" ]; then
  "$PY" -m pip install -q .
fi
