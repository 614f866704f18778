#!/usr/bin/env bash
# Runs the whole test suite against an AddressSanitizer + UndefinedBehavior-
# Sanitizer build of the module (venv .venv-asan). Any sanitizer report fails
# the run: ASan and UBSan halt on the first error, and LeakSanitizer checks
# every process at exit, with only the interpreter's own never-freed
# allocations suppressed (scripts/lsan.supp says which and why).
# Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

venv=.venv-asan
CORVANE_SANITIZE=ON scripts/setup.sh "$venv"

# The manifest inspection tool that some tests run, built with the same
# sanitizers so that the core is checked through it as well.
tools=build/asan-tools
if [ ! -f "$tools/build.ninja" ]; then
    "$venv/bin/cmake" -S . -B "$tools" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/$venv/bin/ninja" \
        -DCORVANE_BUILD_TOOLS=ON -DCORVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCORVANE_WERROR="${CORVANE_WERROR:-OFF}" \
        -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
        -DPython_EXECUTABLE="$PWD/$venv/bin/python" >/dev/null
fi
"$venv/bin/cmake" --build "$tools" --target manifest_dump >/dev/null
export CORVANE_MANIFEST_DUMP=$PWD/$tools/manifest_dump

# The interpreter is not instrumented, so the sanitizer runtimes must be
# loaded before anything else; the interpreter's own allocator is switched
# off so that ASan sees every Python object's memory.
preload=()
for runtime in libasan.so libubsan.so; do
    path=$(g++ -print-file-name="$runtime")
    [ -e "$path" ] || { echo "error: g++ has no $runtime" >&2; exit 1; }
    preload+=("$(readlink -f "$path")")
done
export LD_PRELOAD="${preload[*]}"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1:print_summary=1:suppressions=$PWD/scripts/asan.supp"
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:print_summary=1"

"$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
