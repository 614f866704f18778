#!/usr/bin/env bash
# Builds the libFuzzer targets over the C++ core (no interpreter involved)
# with AddressSanitizer and UndefinedBehaviorSanitizer into build/fuzz/.
# Needs clang and its runtime libraries from Debian (installed when missing).
# CORVANE_WERROR=ON (set by CI) makes compiler warnings errors.
set -euo pipefail
cd "$(dirname "$0")/.."

need_apt=()
command -v clang++ >/dev/null || need_apt+=(clang)
dpkg-query -W -f='${Status}' libclang-rt-14-dev 2>/dev/null | grep -q "install ok installed" ||
    need_apt+=(libclang-rt-14-dev)
pkg-config --exists yaml-0.1 2>/dev/null || need_apt+=(libyaml-dev pkg-config)
if [ ${#need_apt[@]} -gt 0 ]; then
    echo "installing ${need_apt[*]} from Debian"
    if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

out=build/fuzz
mkdir -p "$out/obj"
flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer -Isrc $(pkg-config --cflags yaml-0.1)
       -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
       -Wall -Wextra)
if [ "${CORVANE_WERROR:-OFF}" = ON ]; then flags+=(-Werror); fi

# The core, as CMakeLists.txt lists it, compiled once for both targets; only
# changed sources are rebuilt.
sources=$(sed -n '/^set(CORE_SOURCES$/,/^)$/s/^ *\(src\/.*\.cpp\)$/\1/p' CMakeLists.txt)
[ -n "$sources" ] || { echo "error: no CORE_SOURCES list in CMakeLists.txt" >&2; exit 1; }
objects=()
for source in $sources; do
    object="$out/obj/$(echo "${source%.cpp}" | tr / _).o"
    objects+=("$object")
    if [ ! -f "$object" ] || [ "$source" -nt "$object" ] ||
        [ -n "$(find src \( -name '*.hpp' -o -name '*.inc' \) -newer "$object" | head -n 1)" ]; then
        clang++ "${flags[@]}" -c "$source" -o "$object"
    fi
done
# A source file that no longer exists must not linger in the link.
for object in "$out"/obj/*.o; do
    case " ${objects[*]} " in *" $object "*) ;; *) rm -f "$object" ;; esac
done

for target in manifest_fuzzer text_fuzzer; do
    clang++ "${flags[@]}" -fsanitize=fuzzer "fuzz/$target.cpp" "${objects[@]}" \
        $(pkg-config --libs yaml-0.1) -o "$out/$target"
done
echo "fuzz targets built in $out"
