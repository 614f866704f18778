#!/usr/bin/env bash
# Builds the C++ core (the sources CMakeLists.txt lists) and tools/thread_check.cpp
# with ThreadSanitizer into build/tsan/, then runs the check: several threads
# read, parse and add readers at once, as the module's calls do once they let
# go of the interpreter lock. Any data race report, wrong result or lost
# reader fails the run. Needs clang (fuzz/build.sh installs it).
set -euo pipefail
cd "$(dirname "$0")/.."

out=build/tsan
mkdir -p "$out"
flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=thread -Isrc
       $(pkg-config --cflags yaml-0.1) -Wall -Wextra)
if [ "${CORVANE_WERROR:-OFF}" = ON ]; then flags+=(-Werror); fi
sources=$(sed -n '/^set(CORE_SOURCES$/,/^)$/s/^ *\(src\/.*\.cpp\)$/\1/p' CMakeLists.txt)
[ -n "$sources" ] || { echo "error: no CORE_SOURCES list in CMakeLists.txt" >&2; exit 1; }
# shellcheck disable=SC2086
clang++ "${flags[@]}" tools/thread_check.cpp $sources $(pkg-config --libs yaml-0.1) \
    -o "$out/thread_check"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" "$out/thread_check" "$work"
