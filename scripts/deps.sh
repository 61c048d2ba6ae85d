#!/bin/sh
# Installs what the build and the native tests need, when it is missing.
set -eu
need=""
command -v cmake >/dev/null || need="$need cmake"
command -v g++ >/dev/null || need="$need g++"
command -v make >/dev/null || need="$need make"
# Ninja builds every preset: it starts fewer processes than make, which is
# most of a clean build's overhead on a machine where starting one is dear.
command -v ninja >/dev/null || need="$need ninja-build"
command -v bc >/dev/null || need="$need bc"
# clang builds the sanitized preset (in half gcc's time there, and its
# sanitizers are the reference ones) and the fuzz targets; its sanitizer
# runtimes are only recommended by its package.
command -v clang++ >/dev/null || need="$need clang libclang-rt-dev"
[ -f /usr/include/gtest/gtest.h ] || need="$need libgtest-dev"
[ -f /usr/include/mtd/mtd-user.h ] || need="$need linux-libc-dev"
# Debian's MTD tools, which the differential tests hold the stand-ins against.
[ -x /usr/sbin/mtdinfo ] || need="$need mtd-utils"
# qemu-x86_64: the file checksum's tests on a processor without AVX2.
command -v qemu-x86_64 >/dev/null || need="$need qemu-user"
# BusyBox's ash, the shell quillet's tools are also tested under: the static
# BusyBox, which the kernel tier needs too (its applets cpio and depmod), so
# that the kernel tier's set-up, which runs beside the tests, never swaps it.
/bin/busybox cpio --help >/dev/null 2>&1 && /bin/busybox depmod --help >/dev/null 2>&1 ||
    need="$need busybox-static"
# shellcheck disable=SC2086
[ -z "$need" ] || sh "$(dirname "$0")/apt-install.sh" deps $need
