#!/usr/bin/env bash
# Sets up (if needed) and runs the test suite. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh .venv
exec .venv/bin/python -m pytest -q "$@"
