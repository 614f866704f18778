#!/usr/bin/env bash
# Runs the test suite against an installed wheel, as a user would get it:
# a fresh virtual environment on the matching CPython, `pip install
# WHEEL[test]`, and, where the machine allows a private mount namespace, the
# system's libyaml hidden (its files masked by empty ones), so that the
# wheel must bring its own. The manifest inspection tool the tests use is
# built with libyaml linked in statically for the same reason.
# Then a daemon thread is left inside the module's calls while the
# interpreter exits, ten times: each run must exit with status 0 (the thread
# is ended by a forced unwind through the module's C++ frames).
# Prints pytest's summary line last. Extra arguments go to pytest.
# The interpreter is the CPython of the wheel's tag (cp312 -> 3.12), or the
# one --python names (an abi3 wheel installs on every later CPython too).
# Usage: scripts/test_wheel.sh [--python X.Y] WHEEL [PYTEST_ARGS...]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
want=""
if [ "${1:-}" = "--python" ]; then
    want=$2
    shift 2
fi
wheel=$(readlink -f "${1:?usage: scripts/test_wheel.sh [--python X.Y] WHEEL [PYTEST_ARGS...]}")
shift

if [ -z "$want" ]; then
    tag=$(basename "$wheel" | cut -d- -f3)
    want="${tag:2:1}.${tag:3}"
fi
python=""
for candidate in $(scripts/find_python.sh); do
    version=$("$candidate" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    [ "$version" = "$want" ] && { python=$candidate; break; }
done
[ -n "$python" ] || { echo "error: no CPython $want on this machine for $wheel" >&2; exit 1; }

venv=build/wheel-test/$want
rm -rf "$venv"
"$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q "$wheel[test]"

# The inspection tool, with libyaml linked in.
tools=build/dist-tools
[ -x "$tools/bin/python" ] || "$python" -m venv "$tools"
"$tools/bin/python" -m pip install -q "cmake>=3.26" ninja
tool_build=build/tools-static
if [ ! -f "$tool_build/build.ninja" ]; then
    "$tools/bin/cmake" -S . -B "$tool_build" -G Ninja -DCMAKE_MAKE_PROGRAM="$root/$tools/bin/ninja" \
        -DCORVANE_BUILD_TOOLS=ON -DCORVANE_STATIC_LIBYAML=ON -DCMAKE_BUILD_TYPE=Release \
        -DCORVANE_WERROR="${CORVANE_WERROR:-OFF}" \
        -DPython_EXECUTABLE="$root/$venv/bin/python" >/dev/null
fi
"$tools/bin/cmake" --build "$tool_build" --target manifest_dump >/dev/null
export CORVANE_MANIFEST_DUMP=$root/$tool_build/manifest_dump

log=$(mktemp)
trap 'rm -f "$log"' EXIT
run_suite() {
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
}

set +e # the run's status is reported below, after its summary line
if unshare -m --propagation private true 2>/dev/null; then
    # Every file the dynamic linker could load libyaml from.
    libraries=$(ldconfig -p | awk '/libyaml/ {print $NF}' | xargs -r readlink -f | sort -u)
    export -f run_suite
    export venv libraries
    unshare -m --propagation private bash -euo pipefail -c '
        for library in $libraries; do mount --bind /dev/null "$library"; done
        if "$venv/bin/python" -c "import ctypes; ctypes.CDLL(\"libyaml-0.so.2\")" 2>/dev/null; then
            echo "error: the system libyaml is still loadable" >&2; exit 1
        fi
        echo "system libyaml hidden: $(echo $libraries)"
        run_suite "$@"
    ' bash "$@" 2>&1 | tee "$log"
    status=${PIPESTATUS[0]}
else
    echo "cannot make a private mount namespace here (unshare -m refused):" \
         "the system libyaml stays visible for this run"
    run_suite "$@" 2>&1 | tee "$log"
    status=${PIPESTATUS[0]}
fi
set -e

# The forced unwind of a daemon thread at exit, against the installed module.
unwind_failures=0
for run in $(seq 10); do
    if ! output=$("$venv/bin/python" scripts/daemon_exit_check.py 2>&1) || [ -n "$output" ]; then
        unwind_failures=$((unwind_failures + 1))
        echo "daemon thread at exit, run $run: ${output:-non-zero exit status}" >&2
    fi
done
echo "daemon thread inside the module at exit: $((10 - unwind_failures)) of 10 runs exited cleanly"
[ "$unwind_failures" -eq 0 ] || status=1
summary=$(grep -E '^(=+ )?[0-9]+ (passed|failed|error|skipped|deselected)|no tests ran' "$log" | tail -1)
echo "wheel $(basename "$wheel") on CPython $want: ${summary//=/}"
exit "$status"
