import os
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
CONFORMANCE = ROOT / "tests" / "data" / "yaml_cases.jsonl"


@pytest.fixture(scope="session")
def manifest_dump():
    """The manifest inspection tool, built (incrementally) from this tree.

    It shows what the core reads for settings Python cannot see, such as the
    server's. CORVANE_MANIFEST_DUMP names a prebuilt one."""
    prebuilt = os.environ.get("CORVANE_MANIFEST_DUMP")
    if prebuilt:
        return prebuilt
    build = ROOT / "build" / "tools"
    bindir = pathlib.Path(sys.executable).parent
    cmake = shutil.which("cmake", path=str(bindir)) or shutil.which("cmake")
    ninja = shutil.which("ninja", path=str(bindir)) or shutil.which("ninja")
    if cmake is None:
        pytest.fail("cmake is needed to build tools/manifest_dump")
    if not (build / "CMakeCache.txt").exists():
        generator = ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"] if ninja else []
        subprocess.run(
            [cmake, "-S", str(ROOT), "-B", str(build), *generator,
             "-DCORVANE_BUILD_TOOLS=ON", "-DCMAKE_BUILD_TYPE=Release",
             f"-DCORVANE_WERROR={os.environ.get('CORVANE_WERROR', 'OFF')}",
             f"-DPython_EXECUTABLE={sys.executable}"],
            check=True, capture_output=True)
    subprocess.run([cmake, "--build", str(build), "--target", "manifest_dump"],
                   check=True, capture_output=True)
    return str(build / "manifest_dump")
