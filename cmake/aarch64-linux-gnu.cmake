# Cross-building for 64-bit Arm Linux with Debian's cross compiler and the arm64 multiarch
# libraries (scripts/aarch64_deps.sh installs both); tests run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# The tests run against the arm64 multiarch C library (libc6:arm64), the same one whose
# libstdc++, oneTBB and SQLite they load, with its own dynamic loader. The cross toolchain's
# loader in /usr/aarch64-linux-gnu comes from another glibc build; paired with the multiarch
# libc.so.6 (the loader finds it first) the two disagree on their private data, and the first
# pthread_create spins forever on a lock inside libc: every test that starts a worker hung.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /)
# Find modules must not pick the build machine's libraries, neither directly nor through the
# host's pkg-config.
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
