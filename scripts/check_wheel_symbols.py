"""Checks what a repaired wheel promises against what its shared objects need.

For each wheel given: the module is the stable-ABI file
`corvane_config.abi3.so`; no shared object in the wheel (the module and the
bundled libyaml) needs a GLIBC symbol version above the glibc of the wheel's
manylinux tag, nor any GLIBCXX or CXXABI version (the wheel's C++ runtime is
linked into the module). Prints one line per wheel; exits 1 on any fault.
Needs objdump (binutils). Usage: python scripts/check_wheel_symbols.py WHEEL...
"""

import pathlib
import re
import subprocess
import sys
import tempfile
import zipfile

OLD_TAGS = {"manylinux1": (2, 5), "manylinux2010": (2, 12), "manylinux2014": (2, 17)}


def tag_glibc(wheel):
    """The highest glibc the wheel's platform tags allow (a wheel may carry several)."""
    platforms = wheel.stem.split("-")[-1].split(".")
    floors = []
    for platform in platforms:
        if found := re.fullmatch(r"manylinux_(\d+)_(\d+)_x86_64", platform):
            floors.append((int(found[1]), int(found[2])))
        elif (name := platform.removesuffix("_x86_64")) in OLD_TAGS:
            floors.append(OLD_TAGS[name])
    if not floors:
        raise SystemExit(f"{wheel.name}: no x86_64 manylinux tag")
    return min(floors)


def needed_versions(shared_object):
    dump = subprocess.run(["objdump", "-T", str(shared_object)], check=True,
                          capture_output=True, text=True).stdout
    return set(re.findall(r"\b((?:GLIBC|GLIBCXX|CXXABI)_[0-9.]+)\b", dump))


def check(wheel):
    faults = []
    glibc = tag_glibc(wheel)
    highest = (2, 0)
    with tempfile.TemporaryDirectory() as unpacked, zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        if "corvane_config.abi3.so" not in names:
            faults.append("no corvane_config.abi3.so at the top of the wheel")
        for name in names:
            if not re.search(r"\.so(\.[0-9.]+)?$", name):
                continue
            path = pathlib.Path(archive.extract(name, unpacked))
            for version in sorted(needed_versions(path)):
                kind, _, number = version.partition("_")
                parts = tuple(int(part) for part in number.split("."))
                if kind != "GLIBC":
                    faults.append(f"{name} needs {version}")
                elif parts > glibc:
                    faults.append(f"{name} needs {version}, above glibc {glibc[0]}.{glibc[1]} of the tag")
                else:
                    highest = max(highest, parts)
    for fault in faults:
        print(f"{wheel.name}: {fault}", file=sys.stderr)
    if not faults:
        print(f"{wheel.name}: highest symbol version GLIBC_{highest[0]}.{highest[1]},"
              f" within glibc {glibc[0]}.{glibc[1]}; no GLIBCXX or CXXABI")
    return not faults


def main():
    wheels = [pathlib.Path(argument) for argument in sys.argv[1:]]
    if not wheels:
        raise SystemExit("usage: python scripts/check_wheel_symbols.py WHEEL...")
    return 0 if all([check(wheel) for wheel in wheels]) else 1


if __name__ == "__main__":
    sys.exit(main())
