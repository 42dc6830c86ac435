#!/usr/bin/env bash
# Prepares what the manylinux wheel is built with, for Linux with glibc 2.28 or later:
#   - Zig's clang (the `ziglang` package from PyPI) as the C and C++ compiler, linking against
#     glibc 2.28's symbol versions and carrying its own C++ runtime (libc++) statically, so the
#     module needs neither a newer glibc nor a libstdc++ of the build machine's age;
#   - oneTBB built from Debian's source package with that compiler, as a static library;
#   - SQLite: Debian's libsqlite3.a (plain C that calls nothing newer than glibc 2.28 offers; the
#     module's version script keeps its symbols local, which lets lld resolve its non-PIC
#     references), with a copy of its two headers, so that the build machine's /usr/include (a
#     newer glibc's headers) stays out of the compile.
# Usage: old_glibc_toolchain.sh OUT_DIR PYTHON   (PYTHON: an interpreter with ziglang installed)
# Prints the CMake arguments that select all three.
set -euo pipefail
out=$(realpath -m "$1")
py=$2
target=$(uname -m)-linux-gnu.2.28
mkdir -p "$out/bin" "$out/sqlite-include" "$out/apt/lists/partial" "$out/apt/cache/archives/partial"

for tool in cc c++; do
  printf '#!/bin/sh\nexec "%s" -m ziglang %s -target %s "$@"\n' "$py" "$tool" "$target" >"$out/bin/$tool"
done
for tool in ar ranlib; do
  printf '#!/bin/sh\nexec "%s" -m ziglang %s "$@"\n' "$py" "$tool" >"$out/bin/$tool"
done
chmod +x "$out"/bin/*
compilers="-DCMAKE_C_COMPILER=$out/bin/cc -DCMAKE_CXX_COMPILER=$out/bin/c++ -DCMAKE_AR=$out/bin/ar -DCMAKE_RANLIB=$out/bin/ranlib"

cp /usr/include/sqlite3.h /usr/include/sqlite3ext.h "$out/sqlite-include/"
# The host's own archive: other architectures' (the AArch64 suite installs arm64's) sit beside it.
archive=/usr/lib/$(gcc -dumpmachine)/libsqlite3.a
[ -f "$archive" ] || archive=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null)/libsqlite3.a

if [ ! -f "$out/tbb/lib/libtbb.a" ]; then
  # Debian's source of the oneTBB release the machine has, fetched with a private apt setup
  # (its own source list and state), so the system's apt configuration stays as it is.
  suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
  cat >"$out/apt/src.sources" <<EOF
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $suite
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  apt_opts=(-o "Dir::Etc::SourceList=$out/apt/src.sources" -o "Dir::Etc::SourceParts=$out/apt/none"
    -o "Dir::State::Lists=$out/apt/lists" -o "Dir::Cache=$out/apt/cache" -qq)
  apt-get "${apt_opts[@]}" update >&2
  (cd "$out/apt" && apt-get "${apt_opts[@]}" source --download-only onetbb >&2 2>/dev/null)
  rm -rf "$out/tbb-src" && mkdir -p "$out/tbb-src"
  tar -xf "$out"/apt/onetbb_*.orig.tar.* -C "$out/tbb-src" --strip-components=1
  # Static on purpose: one C++ runtime in the module, and nothing to carry beside it.
  # CMAKE_POLICY_VERSION_MINIMUM lets CMake 4 configure this release's older minimum.
  # shellcheck disable=SC2086
  cmake -S "$out/tbb-src" -B "$out/tbb-build" -G Ninja $compilers -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_POLICY_VERSION_MINIMUM=3.5 -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DBUILD_SHARED_LIBS=OFF \
    -DTBB_TEST=OFF -DTBB_EXAMPLES=OFF -DTBBMALLOC_BUILD=OFF -DTBB_STRICT=OFF \
    -DCMAKE_INSTALL_PREFIX="$out/tbb" >&2
  cmake --build "$out/tbb-build" -j 2 >&2
  cmake --install "$out/tbb-build" >&2
fi

# The unwinder every glibc process has (it runs the forced unwind of an ending thread): the
# module's C++ exceptions go through it too instead of the unwinder Zig would link in.
unwinder=$(gcc -print-file-name=libgcc_s.so.1)
echo "$compilers -DTBB_DIR=$out/tbb/lib/cmake/TBB -DSQLite3_INCLUDE_DIR=$out/sqlite-include" \
  "-DSQLite3_LIBRARY=$archive -DKORVANE_SQLITE_ARCHIVE=$archive -DKORVANE_UNWIND_LIBRARY=$unwinder"
