# Cross-compiling for aarch64 Linux on another Debian machine, with Debian's
# cross compiler (g++-aarch64-linux-gnu) and libyaml for arm64 from multiarch
# (dpkg --add-architecture arm64; libyaml-dev:arm64). scripts/build_dist.sh
# --arch aarch64 builds the aarch64 wheel with it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# libyaml's pkg-config file for arm64, never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
# Libraries and headers of the target only; programs (the interpreter that
# configures the build, pkg-config) of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /usr/lib/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
