#!/bin/sh
# Installs what the crash tier's fuzz runs need: clang with libFuzzer and its
# sanitizer runtimes. Run it before configuring the build, so the build finds
# clang and builds the fuzz targets. Safe to run again: when clang can already
# link a libFuzzer target, apt is not touched.
set -eu

fuzzer_links() {
    command -v clang++ >/dev/null 2>&1 || return 1
    dir=$(mktemp -d)
    printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
        'extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }' >"$dir/t.cpp"
    ok=0
    clang++ -fsanitize=fuzzer,address,undefined "$dir/t.cpp" -o "$dir/t" >/dev/null 2>&1 || ok=1
    rm -rf "$dir"
    return $ok
}

fuzzer_links && exit 0

sh "$(dirname "$0")/apt-install.sh" crash-setup clang libclang-rt-dev
[ -z "${APT_COLLECT:-}" ] || exit 0
fuzzer_links || { echo "crash-setup: clang still cannot link a libFuzzer target" >&2; exit 1; }
