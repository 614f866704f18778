#!/usr/bin/env bash
# Sets up a fresh machine: libyaml, a virtual environment with the test tools,
# and the module built from this tree. Usage: scripts/setup.sh [VENV_DIR [PYTHON]]
# CORVANE_SANITIZE=ON builds the AddressSanitizer + UndefinedBehaviorSanitizer variant;
# CORVANE_WERROR=ON (set by CI) makes compiler warnings in the project's sources errors.
set -euo pipefail
cd "$(dirname "$0")/.."

need_apt=()
pkg-config --exists yaml-0.1 2>/dev/null || need_apt+=(libyaml-dev)
command -v pkg-config >/dev/null || need_apt+=(pkg-config)
command -v g++ >/dev/null || need_apt+=(g++)
if [ ${#need_apt[@]} -gt 0 ]; then
    echo "installing ${need_apt[*]} from Debian"
    if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

venv=${1:-.venv}
python=${2:-$(scripts/find_python.sh --first)}
if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q -r requirements-dev.txt
"$venv/bin/python" -m pip install -q --no-build-isolation \
    -Ccmake.define.CORVANE_SANITIZE="${CORVANE_SANITIZE:-OFF}" \
    -Ccmake.define.CORVANE_WERROR="${CORVANE_WERROR:-OFF}" \
    -Cbuild-dir="build/$(basename "$venv")" .
echo "corvane_config built into $venv ($("$venv/bin/python" -c 'import sys; print(sys.version.split()[0])'))"
