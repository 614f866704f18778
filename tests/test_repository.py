"""Checks on the repository itself: the build lists exactly the sources there
are, and the files speak of the system, not of documents outside it."""

import pathlib
import re
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
CMAKE = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")


def listed(variable):
    block = re.search(rf"^set\({variable}\n(.*?)^\)", CMAKE, re.MULTILINE | re.DOTALL)
    assert block, f"CMakeLists.txt has no set({variable} ...) block"
    return block.group(1).split()


def test_cmake_lists_every_source_once_and_nothing_else():
    core, python = listed("CORE_SOURCES"), listed("PYTHON_SOURCES")
    in_lists = core + python + listed("WHEEL_SOURCES")
    assert len(in_lists) == len(set(in_lists)), "a source is listed twice"
    on_disk = sorted(path.relative_to(ROOT).as_posix() for path in (ROOT / "src").rglob("*.cpp"))
    assert sorted(in_lists) == on_disk
    # The core links without the interpreter (fuzzer, tools), so the Python
    # layer's sources stay out of it.
    assert not [source for source in core if source.startswith("src/python/")]
    assert "src/module.cpp" in python


def test_fuzz_build_compiles_the_cmake_core_list():
    script = (ROOT / "fuzz" / "build.sh").read_text(encoding="utf-8")
    command = re.search(r"^sources=\$\((.*)\)$", script, re.MULTILINE)
    assert command, "fuzz/build.sh no longer reads the source list from CMakeLists.txt"
    out = subprocess.run(["bash", "-c", command.group(1)], cwd=ROOT, check=True,
                         capture_output=True, text=True).stdout.split()
    assert out == listed("CORE_SOURCES")


def tracked_files():
    git = shutil.which("git")
    if git is None or not (ROOT / ".git").exists():
        pytest.skip("not a git checkout: the tracked files are unknown")
    names = subprocess.run([git, "ls-files", "-z"], cwd=ROOT, check=True,
                           capture_output=True).stdout.split(b"\0")
    return [ROOT / name.decode() for name in names if name]


# Words that point at documents outside the repository; the short form only
# as a word of its own (find_spec, PyType_Spec and timespec are fine).
OUTSIDE_DOCUMENTS = re.compile(
    r"(?<![\w.])s[p]ec(ification)?s?\b(?!_)|\bPart \d+\.\d|closing notes?\b", re.IGNORECASE)


def test_no_file_speaks_of_documents_outside_the_repository():
    this_file = pathlib.Path(__file__).resolve()
    found = []
    for path in tracked_files():
        if path == this_file or not path.is_file():
            continue
        text = path.read_bytes().decode("utf-8", errors="replace")
        for number, line in enumerate(text.splitlines(), 1):
            if OUTSIDE_DOCUMENTS.search(line):
                found.append(f"{path.relative_to(ROOT)}:{number}: {line.strip()[:100]}")
    assert found == []
