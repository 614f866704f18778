#!/usr/bin/env bash
# Runs the aarch64 wheel on emulated aarch64: qemu-user-static, registered
# with binfmt_misc (registered here where it is not), runs the programs of a
# minimal arm64 root of Debian sid (CPython 3.14), built with debootstrap
# into build/arm64-root anew on every run. Emulation is about 100 times
# slower than the machine, so inside the root (chroot, in a private mount
# namespace, with an empty environment) only a smoke set runs, picked for
# what differs on aarch64 (docs/development.md says why each):
#  - the example read with the installed wheel (import, libyaml bundled: the
#    root has no libyaml of its own);
#  - the tests marked aarch64_smoke (pytest -m aarch64_smoke): an add and a
#    read back, every conformance case's lookup, the fast path's texts and its
#    events against libyaml's through the portable reading, a few write-fault
#    rows through tests/fault_inject.c cross-compiled for aarch64;
#  - scripts/daemon_exit_check.py, three times;
#  - the fast path's fixed differential corpus (fuzz/differential_corpus.py)
#    through the module's portable reading, every text's events counted with
#    the fast path and with libyaml alone.
# The tests run from SDIST unpacked inside the root. pip inside gets no
# package index: pytest is downloaded here first.
# Usage: scripts/test_aarch64_emulated.sh WHEEL SDIST
set -euo pipefail
cd "$(dirname "$0")/.."
wheel=$(readlink -f "${1:?usage: scripts/test_aarch64_emulated.sh WHEEL SDIST}")
sdist=$(readlink -f "${2:?usage: scripts/test_aarch64_emulated.sh WHEEL SDIST}")
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
version=3.14
root=$PWD/build/arm64-root

[ "$(id -u)" -eq 0 ] || { echo "error: registering binfmt and entering the root need root" >&2; exit 1; }
for tool in debootstrap qemu-aarch64-static update-binfmts aarch64-linux-gnu-gcc; do
    command -v "$tool" >/dev/null || { echo "error: $tool is not installed" >&2; exit 1; }
done

# binfmt_misc: aarch64 programs run through qemu-aarch64-static, also in a chroot.
binfmt=/proc/sys/fs/binfmt_misc
[ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
grep -qx enabled "$binfmt/qemu-aarch64" 2>/dev/null || update-binfmts --enable qemu-aarch64
grep -qx enabled "$binfmt/qemu-aarch64" || { echo "error: qemu-aarch64 is not registered" >&2; exit 1; }

rm -rf "$root"
mkdir -p build
started=$SECONDS
debootstrap --arch=arm64 --variant=minbase --include="python$version,python$version-venv,binutils" \
    sid "$root" "$mirror" >build/arm64-debootstrap.log 2>&1 ||
    { tail -n 20 build/arm64-debootstrap.log >&2; exit 1; }
echo "arm64 root of Debian sid built in $((SECONDS - started)) s (emulated):" \
     "$(chroot "$root" uname -m), $(chroot "$root" "python$version" -V)," \
     "libyaml in the root: $(chroot "$root" ldconfig -p | grep -c libyaml || true)"

tools=build/dist-tools
[ -x "$tools/bin/python" ] || "$(scripts/find_python.sh --first)" -m venv "$tools"
mkdir -p "$root/work/wheelhouse" "$root/work/source"
"$tools/bin/python" -m pip download -q --python-version "$version" --platform manylinux2014_aarch64 \
    --only-binary=:all: -d "$root/work/wheelhouse" pip "pytest>=7" 2>&1 |
    { grep -v "is ignored: it is neither a file nor a directory" || true; }
cp "$wheel" "$root/work/"
# Not under a directory named after the module: the fault injector finds the
# module as the loaded object whose path holds its name.
tar xzf "$sdist" -C "$root/work/source" --strip-components=1
mkdir -p "$root/work/source/build"
aarch64-linux-gnu-gcc -shared -fPIC -O2 -Wall -Wextra -Werror -o "$root/work/source/build/fault_inject.so" \
    tests/fault_inject.c -ldl

started=$SECONDS
set +e
unshare -m --propagation private bash -euo pipefail -c '
    root=$1 version=$2 wheel=$3
    mount --bind /proc "$root/proc"
    mount --rbind /dev "$root/dev"
    chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
        PIP_NO_INDEX=1 PIP_FIND_LINKS=/work/wheelhouse PIP_DISABLE_PIP_VERSION_CHECK=1 \
        bash -euo pipefail -c "
        python$version -m venv /work/venv
        /work/venv/bin/python -m pip install -q /work/$wheel pytest
        cd /work/source
        echo \"the example, with the wheel installed:\"
        /work/venv/bin/python examples/read_reader.py examples/manifest.yaml reader-a
        /work/venv/bin/python -m pytest -q -p no:cacheprovider -m aarch64_smoke tests
        for run in 1 2 3; do
            output=\$(/work/venv/bin/python scripts/daemon_exit_check.py 2>&1) && [ -z \"\$output\" ] ||
                { echo \"daemon thread at exit, run \$run: \${output:-non-zero exit status}\" >&2; exit 1; }
        done
        echo \"daemon thread inside the module at exit: 3 of 3 runs exited cleanly\"
        /work/venv/bin/python - <<DIFFERENTIAL
import sys
sys.path.insert(0, \"fuzz\")
import corvane_config, differential_corpus as corpus
texts = [*corpus.edge_cases(), *map(corpus.padded, corpus.edge_cases()),
         *(corpus.padded(corpus.shifted(text)) for text in corpus.edge_cases()),
         *corpus.manifests(), *corpus.conformance()]
taken = sum(map(corvane_config._yaml_fast_path, texts))
differ = [text for text in texts if corvane_config._yaml_events(text, True) != corvane_config._yaml_events(text, False)]
print(f\"fast path differential (portable reading): {len(texts)} fixed texts, {taken} taken, {len(differ)} disagreeing\")
sys.exit(1 if differ or not taken else 0)
DIFFERENTIAL
    "
' bash "$root" "$version" "$(basename "$wheel")" 2>&1 | tee build/arm64-smoke.log
status=${PIPESTATUS[0]}
set -e
echo "aarch64 smoke set, emulated: $(grep -E '^[0-9]+ (passed|failed)' build/arm64-smoke.log | tail -1)" \
     "($((SECONDS - started)) s, status $status)"
exit "$status"
