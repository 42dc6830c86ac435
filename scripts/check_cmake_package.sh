#!/usr/bin/env bash
# Builds and installs the C++ library as a CMake package into build/cmake-package/prefix (the
# extension module is built too, with the same CMake), checks that exactly the three public
# headers were installed, then builds examples/cpp against the installed package alone and runs
# both of its programs.
#   --debian-cmake  use Debian's own CMake (installed when missing), first on PATH, to show that
#                   the minimum version declared holds for a stock Debian 12.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
out=build/cmake-package
rm -rf "$out"
mkdir -p "$out/bin"
if [ "${1:-}" = "--debian-cmake" ]; then
  if ! dpkg-query -W -f='${Status}' cmake 2>/dev/null | grep -q "install ok installed"; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends cmake
  fi
  ln -s /usr/bin/cmake "$out/bin/cmake"
  export PATH="$PWD/$out/bin:$PATH"
fi
cmake --version | head -1

cmake -S . -B "$out/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_BUILD_TESTS=OFF \
  -DCMAKE_INSTALL_PREFIX="$PWD/$out/prefix" -DPython_EXECUTABLE="$(command -v "$PY")" >/dev/null
cmake --build "$out/build" -j 2
cmake --install "$out/build" >/dev/null
find "$out/prefix" -type f | sort

# The installed API is korvane.h, value.h and result.h; anything more is an internal header
# leaking out.
headers=$(cd "$out/prefix/include" && find . -type f | sed 's|^\./||' | sort | tr '\n' ' ')
expected="korvane/korvane.h korvane/result.h korvane/value.h "
if [ "$headers" != "$expected" ]; then
  echo "installed headers: $headers" >&2
  echo "expected exactly:  $expected" >&2
  exit 1
fi

cmake -S examples/cpp -B "$out/example" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$PWD/$out/prefix" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
# The examples see the installed headers, never the source tree.
if grep -q -e "-I$PWD/src" -e "-I$PWD/include" "$out/example/compile_commands.json"; then
  echo "an example was compiled against the source tree" >&2
  exit 1
fi
cmake --build "$out/example"
"$out/example/korvane_example" "$out/example/catalogue.db"
"$out/example/korvane_threads" "$out/example/threads.db"
