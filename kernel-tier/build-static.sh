#!/bin/sh
# build-static.sh SRC OUT
# Statically linked x86_64 builds of the programs, the MTD tools and the probe
# for the initramfs (which has no C library): the programs and the probe in
# OUT/bin (listed in OUT/bin/programs), the MTD tools where they lie from
# there once installed, OUT/libexec/fwintegrity. Only the programs whose
# folders exist yet are built; never sanitized (the sanitizers do not link
# statically).
set -eu
src=${1:?usage: build-static.sh SRC OUT}
out=${2:?usage: build-static.sh SRC OUT}
jobs=${KT_JOBS:-2}
mkdir -p "$out/bin"

targets=""
[ -f "$src/tolvane/CMakeLists.txt" ] && targets="$targets tolvane"
[ -f "$src/quillet/CMakeLists.txt" ] && targets="$targets quillet"
[ -f "$src/mtd-tools/CMakeLists.txt" ] && targets="$targets nanddump nandwrite flash_eraseall"

if [ -n "$targets" ]; then
    cmake -S "$src" -B "$out/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFW_TESTS=OFF -DFW_SANITIZE=OFF \
        -DFW_WERROR=ON -DCMAKE_EXE_LINKER_FLAGS=-static >"$out/configure.log" 2>&1 ||
        { cat "$out/configure.log" >&2; exit 1; }
    # shellcheck disable=SC2086
    cmake --build "$out/build" -j "$jobs" --target $targets >"$out/build.log" 2>&1 ||
        { cat "$out/build.log" >&2; exit 1; }
fi
: >"$out/bin/programs"
# NAME FOLDER PAGE FILE: each board program's folder as installed, its build.
for t in $targets; do
    # shellcheck disable=SC2046
    set -- $(grep "^$t " "$out/build/board-programs")
    case $2 in
        sbin) dest=$out/bin; echo "$t" >>"$out/bin/programs" ;;
        *) dest=$out/$2 ;;
    esac
    mkdir -p "$dest"
    cp "$4" "$dest/$t"
done
${CXX:-c++} -std=c++17 -O2 -Wall -Wextra -Werror -static -o "$out/bin/mtdprobe" "$src/kernel-tier/mtdprobe.cpp"
echo mtdprobe >>"$out/bin/programs"
