"""Building from source on a machine without libyaml's development files (or
without pkg-config) stops at configure time with one line that says what to
install and how to use a libyaml installed elsewhere."""

import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
HINT = ("install libyaml's development files and pkg-config (Debian/Ubuntu: libyaml-dev pkg-config;"
        " Fedora/RHEL: libyaml-devel pkgconf-pkg-config), or set PKG_CONFIG_PATH to the folder"
        " holding the yaml-0.1.pc of a libyaml installed elsewhere")


def cmake():
    found = shutil.which("cmake", path=str(pathlib.Path(sys.executable).parent)) or shutil.which("cmake")
    if found is None:
        pytest.skip("cmake is not installed here")
    return found


@pytest.mark.parametrize("hide, first_words", [
    ({"env": {"PKG_CONFIG_LIBDIR": "/nonexistent"}},
     "corvane_config needs libyaml, not found by pkg-config: "),
    ({"define": "-DPKG_CONFIG_EXECUTABLE=/nonexistent"},
     "corvane_config needs pkg-config to find libyaml: "),
], ids=["no-libyaml", "no-pkg-config"])
def test_configure_without_libyaml_names_what_to_install(tmp_path, hide, first_words):
    env = {"PATH": "/usr/bin:/bin", **hide.get("env", {})}
    command = [cmake(), "-S", str(ROOT), "-B", str(tmp_path), f"-DPython_EXECUTABLE={sys.executable}"]
    if "define" in hide:
        command.append(hide["define"])
    done = subprocess.run(command, capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode != 0
    lines = [line.strip() for line in done.stderr.splitlines()]
    assert first_words + HINT in lines, done.stderr
