#!/usr/bin/env bash
# Debian's aarch64 cross compiler, qemu-user and the arm64 builds of the libraries korvane links
# (multiarch). Safe to run again: installs only what is missing.
set -euo pipefail
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
debs=(g++-aarch64-linux-gnu qemu-user libc6:arm64 libsqlite3-dev:arm64 libtbb-dev:arm64 libgtest-dev:arm64)
missing=()
for p in "${debs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  $SUDO dpkg --add-architecture arm64
fi
echo "installing Debian packages: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
