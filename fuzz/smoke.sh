#!/usr/bin/env bash
# Builds the fuzz targets and runs each one briefly (about a minute in all)
# from the checked-in corpus, after the fast path's differential check over
# its fixed corpus (fuzz/differential.sh). Exits non-zero when a target finds a fault
# (crash, sanitizer report, failed round trip, slow or oversized input); the
# input that caused it is left in build/fuzz/artifacts/.
# FUZZ_SECONDS scales the run: the manifest target gets two thirds of it.
set -euo pipefail
cd "$(dirname "$0")/.."

fuzz/build.sh
fuzz/differential.sh
seconds=${FUZZ_SECONDS:-60}
artifacts=build/fuzz/artifacts
mkdir -p "$artifacts"

status=0
for target in manifest text; do
    if [ "$target" = manifest ]; then budget=$((seconds * 2 / 3)); else budget=$((seconds - seconds * 2 / 3)); fi
    # New inputs go to a scratch corpus (ignored by git), seeded from the checked-in one.
    work=fuzz/corpus-run/$target
    mkdir -p "$work"
    log=build/fuzz/$target.log
    if build/fuzz/${target}_fuzzer -dict=fuzz/yaml.dict -max_total_time="$budget" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/$target-" \
        "$work" "fuzz/corpus/$target" >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        coverage=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -n 1)
        echo "fuzz smoke ${target}_fuzzer: ${runs:-?} inputs in ${budget}s, ${coverage:-no coverage line}, no fault"
    else
        status=1
        echo "fuzz smoke ${target}_fuzzer: FAULT (log: $log)"
        tail -n 60 "$log"
    fi
done
exit $status
