#!/usr/bin/env bash
# Builds the module and runs the test suite on every CPython >= 3.12 that
# scripts/find_python.sh finds, each in its own virtual environment
# .venv-<version>. Prints which interpreters ran and each one's pytest summary
# line; exits non-zero if any set-up or test run fails.
# Usage: scripts/test_all_interpreters.sh [--skip VERSION]... [-- PYTEST_ARGS...]
set -uo pipefail
cd "$(dirname "$0")/.."

skip=" "
while [ $# -gt 0 ]; do
    case "$1" in
        --skip) skip="$skip${2:?--skip needs a version such as 3.12} "; shift 2 ;;
        --) shift; break ;;
        *) echo "usage: $0 [--skip VERSION]... [-- PYTEST_ARGS...]" >&2; exit 2 ;;
    esac
done

interpreters=$(scripts/find_python.sh) || exit 1
results=()
failed=0
for python in $interpreters; do
    version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    case "$skip" in
        *" $version "*) results+=("$version: skipped (--skip)"); continue ;;
    esac
    venv=.venv-$version
    printf '\n---- CPython %s (%s) in %s ----\n' "$version" "$python" "$venv"
    if ! scripts/setup.sh "$venv" "$python"; then
        results+=("$version: FAILED to set up")
        failed=1
        continue
    fi
    log=$(mktemp)
    "$venv/bin/python" -m pytest -q "$@" 2>&1 | tee "$log"
    status=${PIPESTATUS[0]}
    # pytest's closing line, such as "230 passed, 2 skipped in 41.20s".
    summary=$(grep -E '^(=+ )?[0-9]+ (passed|failed|error|skipped|deselected)|no tests ran' "$log" | tail -1)
    rm -f "$log"
    summary=${summary//=/}
    summary=$(echo "$summary" | sed 's/^ *//; s/ *$//')
    if [ "$status" -ne 0 ]; then
        results+=("$version: FAILED (pytest exit $status): ${summary:-no summary}")
        failed=1
    else
        results+=("$version: ${summary}")
    fi
done

printf '\nInterpreters:\n'
printf '  %s\n' "${results[@]}"
exit "$failed"
