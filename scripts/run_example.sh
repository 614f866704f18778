#!/usr/bin/env bash
# Sets up (if needed) and reads reader "reader-a" out of the example manifest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh .venv >/dev/null
exec .venv/bin/python examples/read_reader.py examples/manifest.yaml "${1:-reader-a}"
