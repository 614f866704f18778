#!/usr/bin/env bash
# Builds the source distribution into dist/, then a wheel from that sdist
# alone in a fresh virtual environment with build isolation, so that the sdist
# is shown to build on its own; checks what both archives hold.
# Usage: scripts/build_dist.sh [PYTHON]
set -euo pipefail
cd "$(dirname "$0")/.."
python=${1:-$(scripts/find_python.sh --first)}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$python" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q --upgrade pip build
mkdir -p dist
"$work/venv/bin/python" -m build --sdist --outdir dist . >/dev/null
version=$("$work/venv/bin/python" -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')
sdist=dist/corvane_config-$version.tar.gz

missing=0
listing=$(tar tzf "$sdist")
for needed in CMakeLists.txt pyproject.toml README.md LICENSE src/module.cpp tools/ \
              stubs/corvane_config-stubs/__init__.pyi; do
    grep -q "^corvane_config-$version/$needed" <<<"$listing" || { echo "sdist lacks $needed" >&2; missing=1; }
done

# The sdist unpacked away from this tree, so nothing can be taken from it.
"$work/venv/bin/python" -m pip wheel -q --no-deps --wheel-dir dist "$sdist"
wheel=$(ls -t dist/corvane_config-"$version"-*.whl | head -1)
contents=$("$work/venv/bin/python" -m zipfile -l "$wheel")
for needed in "corvane_config-stubs/__init__.pyi" "corvane_config.cpython-" \
              "dist-info/licenses/LICENSE"; do
    grep -q "$needed" <<<"$contents" || { echo "wheel lacks $needed" >&2; missing=1; }
done
[ "$missing" -eq 0 ] || exit 1
echo "sdist: $sdist"
echo "wheel: $wheel"
