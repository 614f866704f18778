"""Checks what a repaired wheel promises against what its shared objects need.

For each wheel given (x86_64 or aarch64): the module is the stable-ABI file
`corvane_config.abi3.so` and exports `PyInit_corvane_config` alone (the C++
runtime linked into it stays private); no shared object in the wheel (the
module and the bundled libyaml) needs a GLIBC symbol version above the glibc
of the wheel's manylinux tag, nor any GLIBCXX or CXXABI version. Prints one
line per wheel; exits 1 on any fault. Needs readelf (binutils), which reads
the objects of every processor. Usage: python scripts/check_wheel_symbols.py WHEEL...
"""

import pathlib
import re
import subprocess
import sys
import tempfile
import zipfile

OLD_TAGS = {"manylinux1": (2, 5), "manylinux2010": (2, 12), "manylinux2014": (2, 17)}
ARCHITECTURES = ("x86_64", "aarch64")
MODULE = "corvane_config.abi3.so"
ENTRY_POINT = "PyInit_corvane_config"


def tag_glibc(wheel):
    """The highest glibc the wheel's platform tags allow (a wheel may carry several)."""
    platforms = wheel.stem.split("-")[-1].split(".")
    floors = []
    for platform in platforms:
        name = next((platform.removesuffix("_" + arch) for arch in ARCHITECTURES
                     if platform.endswith("_" + arch)), None)
        if name is None:
            continue
        if found := re.fullmatch(r"manylinux_(\d+)_(\d+)", name):
            floors.append((int(found[1]), int(found[2])))
        elif name in OLD_TAGS:
            floors.append(OLD_TAGS[name])
    if not floors:
        raise SystemExit(f"{wheel.name}: no manylinux tag for {' or '.join(ARCHITECTURES)}")
    return min(floors)


def dynamic_symbols(shared_object):
    """(name with version, defined) of each dynamic symbol."""
    dump = subprocess.run(["readelf", "--dyn-syms", "--wide", str(shared_object)], check=True,
                          capture_output=True, text=True).stdout
    symbols = []
    for line in dump.splitlines():
        fields = line.split()
        # Num: Value Size Type Bind Vis Ndx Name [(version index)]
        if len(fields) >= 8 and fields[0].endswith(":") and fields[0][:-1].isdigit():
            symbols.append((fields[7], fields[6] != "UND", fields[4]))
    return symbols


def needed_versions(shared_object):
    names = " ".join(name for name, _, _ in dynamic_symbols(shared_object))
    return set(re.findall(r"\b((?:GLIBC|GLIBCXX|CXXABI)_[0-9.]+)\b", names))


def exports(shared_object):
    return sorted(name for name, defined, bind in dynamic_symbols(shared_object)
                  if defined and bind in ("GLOBAL", "WEAK", "UNIQUE"))


def check(wheel):
    faults = []
    glibc = tag_glibc(wheel)
    highest = (2, 0)
    with tempfile.TemporaryDirectory() as unpacked, zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        if MODULE not in names:
            faults.append(f"no {MODULE} at the top of the wheel")
        elif (shown := exports(archive.extract(MODULE, unpacked))) != [ENTRY_POINT]:
            faults.append(f"{MODULE} exports {shown}, not {ENTRY_POINT} alone")
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
              f" within glibc {glibc[0]}.{glibc[1]}; no GLIBCXX or CXXABI; exports {ENTRY_POINT} alone")
    return not faults


def main():
    wheels = [pathlib.Path(argument) for argument in sys.argv[1:]]
    if not wheels:
        raise SystemExit("usage: python scripts/check_wheel_symbols.py WHEEL...")
    return 0 if all([check(wheel) for wheel in wheels]) else 1


if __name__ == "__main__":
    sys.exit(main())
