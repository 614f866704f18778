#!/usr/bin/env bash
# Tests the distribution with the interpreters and the compiler of Debian's
# development suite (sid): CPython 3.14 and 3.15, GCC 16, its glibc. Builds a
# minimal root of the suite with debootstrap into build/sid-root (anew on
# every run), then, inside it (chroot, in a private mount namespace, with an
# empty environment):
#  - runs the suite against WHEEL installed on CPython 3.14 and on 3.15
#    (scripts/test_wheel.sh: the system libyaml hidden, mypy and pyright
#    installed so the stub checks run); the test tools are downloaded here
#    first (pip download), as pip inside the root gets no package index;
#  - builds a wheel from SDIST with the suite's GCC, warnings as errors, and
#    reads the example with it.
# The tests run from SDIST unpacked inside the root, so it is checked to carry
# them too. Prints each pytest summary line last; fails if any run failed.
# Usage: scripts/test_debian_sid.sh WHEEL SDIST
set -euo pipefail
cd "$(dirname "$0")/.."
wheel=$(readlink -f "${1:?usage: scripts/test_debian_sid.sh WHEEL SDIST}")
sdist=$(readlink -f "${2:?usage: scripts/test_debian_sid.sh WHEEL SDIST}")
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
interpreters=(3.14 3.15)
root=$PWD/build/sid-root

command -v debootstrap >/dev/null || { echo "error: debootstrap is not installed" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "error: building and entering the root needs root" >&2; exit 1; }

rm -rf "$root"
mkdir -p build
packages=g++,gcc,libyaml-dev,pkg-config,nodejs,cmake,make
for version in "${interpreters[@]}"; do packages+=",python$version,python$version-venv,python$version-dev"; done
started=$SECONDS
debootstrap --variant=minbase --include="$packages" sid "$root" "$mirror" >build/sid-debootstrap.log 2>&1 ||
    { tail -n 20 build/sid-debootstrap.log >&2; exit 1; }
echo "root of Debian sid built in $((SECONDS - started)) s:" \
     "$(chroot "$root" ldd --version | head -n 1), $(chroot "$root" g++ --version | head -n 1)"

# What pip inside needs: the test extra, pip itself, the inspection tool's
# build tools (scripts/test_wheel.sh) and the sdist's build backend.
tools=build/dist-tools
[ -x "$tools/bin/python" ] || "$(scripts/find_python.sh --first)" -m venv "$tools"
mkdir -p "$root/work/wheelhouse"
for version in "${interpreters[@]}"; do
    "$tools/bin/python" -m pip download -q --python-version "$version" --only-binary=:all: \
        -d "$root/work/wheelhouse" pip "pytest>=7" "mypy>=1.10" "pyright>=1.1.400" \
        "cmake>=3.26" ninja "scikit-build-core>=0.11" 2>&1 |
        { grep -v "is ignored: it is neither a file nor a directory" || true; }
done

cp "$wheel" "$sdist" "$root/work/"
# Not under a directory named after the module: the fault injector finds the
# module as the loaded object whose path holds its name.
mkdir -p "$root/work/source"
tar xzf "$sdist" -C "$root/work/source" --strip-components=1
source_dir=/work/source

inside() {
    chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
        PIP_NO_INDEX=1 PIP_FIND_LINKS=/work/wheelhouse PIP_DISABLE_PIP_VERSION_CHECK=1 \
        CORVANE_WERROR=ON "$@"
}
export -f inside
export root source_dir
status=0
summaries=()
for version in "${interpreters[@]}"; do
    # /proc and /dev for the tests (mount namespaces, /dev/shm); the mounts
    # end with the namespace.
    unshare -m --propagation private bash -euo pipefail -c '
        mount --bind /proc "$root/proc"
        mount --rbind /dev "$root/dev"
        inside bash -c "cd $source_dir && scripts/test_wheel.sh --python $1 /work/$2"
    ' bash "$version" "$(basename "$wheel")" 2>&1 | tee build/sid-wheel-test.log || status=1
    summaries+=("$(tail -n 1 build/sid-wheel-test.log)")
done

echo "a wheel built from the sdist with $(chroot "$root" g++ --version | head -n 1), warnings as errors:"
if ! inside bash -euo pipefail -c "
    python${interpreters[0]} -m venv /work/sdist-venv
    /work/sdist-venv/bin/python -m pip wheel -q --no-deps --wheel-dir /work/sdist-wheel /work/$(basename "$sdist")
    /work/sdist-venv/bin/python -m pip install -q /work/sdist-wheel/*.whl
    cd $source_dir && /work/sdist-venv/bin/python examples/read_reader.py examples/manifest.yaml reader-a
"; then
    echo "the wheel built from the sdist with GCC in Debian sid failed" >&2
    status=1
fi
printf '%s\n' "${summaries[@]}"
exit "$status"
