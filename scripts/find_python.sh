#!/usr/bin/env bash
# Prints the path of every CPython >= 3.12 on this machine, best first (one per line).
# With --first, prints only the first. Exits 1 with a message when there is none.
set -u
candidates=()
for name in python3.13 python3.12 python3; do
    path=$(command -v "$name" 2>/dev/null) && candidates+=("$path")
done
pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
for dir in "$pyenv_root"/versions/3.1[2-9]* "$pyenv_root"/versions/3.[2-9][0-9]*; do
    [ -d "$dir" ] || continue
    for exe in "$dir"/bin/python3; do [ -x "$exe" ] && candidates+=("$exe"); done
done
for exe in /usr/bin/python3.1[2-9] /usr/local/bin/python3.1[2-9]; do
    [ -x "$exe" ] && candidates+=("$exe")
done

found=()
seen=""
for exe in "${candidates[@]}"; do
    # pyenv shims exist for versions that are not selected; running them fails, which filters them.
    info=$("$exe" -c 'import sys, platform
ok = sys.version_info >= (3, 12) and platform.python_implementation() == "CPython"
print(("%d.%d " % sys.version_info[:2]) + sys.executable if ok else "")' 2>/dev/null) || continue
    [ -n "$info" ] || continue
    version=${info%% *}
    case " $seen " in *" $version "*) continue ;; esac
    seen="$seen $version"
    found+=("${info#* }")
done

if [ ${#found[@]} -eq 0 ]; then
    echo "error: corvane_config needs CPython 3.12 or newer, and none was found" \
         "(looked for python3.13/python3.12/python3 on PATH and under $pyenv_root/versions)." >&2
    exit 1
fi
if [ "${1:-}" = "--first" ]; then
    # Prefer 3.12, the oldest supported interpreter, as the default build.
    for exe in "${found[@]}"; do
        "$exe" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' && { echo "$exe"; exit 0; }
    done
    echo "${found[0]}"
else
    printf '%s\n' "${found[@]}"
fi
