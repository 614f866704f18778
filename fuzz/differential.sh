#!/usr/bin/env bash
# The fast path's differential check over the fixed corpus: conformance
# texts, generated manifests and edge cases (fuzz/differential_corpus.py),
# each read by manifest_fuzzer, which compares the fast path's events with
# libyaml's for every text the fast path takes. Expects the targets built
# (fuzz/build.sh). Exits non-zero on a disagreement; the text is left in
# build/fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."

corpus=build/fuzz/differential-corpus
rm -rf "$corpus"
python3 fuzz/differential_corpus.py "$corpus" >/dev/null
mkdir -p build/fuzz/artifacts
log=build/fuzz/differential.log
if build/fuzz/manifest_fuzzer -runs=0 -artifact_prefix=build/fuzz/artifacts/differential- \
    "$corpus" >"$log" 2>&1; then
    echo "fast path differential: $(ls "$corpus" | wc -l) fixed texts, no disagreement"
else
    echo "fast path differential: DISAGREEMENT (log: $log)"
    tail -n 20 "$log"
    exit 1
fi
