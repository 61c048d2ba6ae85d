#!/bin/sh
# Installs what the ARM build and its test tier need: the Debian cross
# compilers for armel and armhf, qemu-user, the tools the tier checks the
# programs and packages with (file, dpkg-dev, lintian, mandoc), and the
# target's own C and C++ libraries as foreign-architecture packages, from
# which dpkg-shlibdeps computes the ARM packages' dependencies. Safe to run
# again: when all of it is there, apt is not touched at all.
set -eu

arches="armel armhf"
need=""
have() { command -v "$1" >/dev/null 2>&1; }
installed() { dpkg-query -W -f '${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }

have arm-linux-gnueabi-g++   || need="$need g++-arm-linux-gnueabi"
have arm-linux-gnueabihf-g++ || need="$need g++-arm-linux-gnueabihf"
have qemu-arm                || need="$need qemu-user"
have file                    || need="$need file"
have dpkg-deb                || need="$need dpkg"
have dpkg-shlibdeps          || need="$need dpkg-dev"
have lintian                 || need="$need lintian"
have mandoc                  || need="$need mandoc"
[ -f /usr/src/googletest/CMakeLists.txt ] || need="$need googletest"
for arch in $arches; do
    # libgtest-dev: GoogleTest built for the architecture, for the test builds.
    for lib in libc6 libstdc++6 libatomic1 libgtest-dev; do
        installed "$lib:$arch" || need="$need $lib:$arch"
    done
done

[ -z "$need" ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
for arch in $arches; do
    dpkg --print-foreign-architectures | grep -qx "$arch" || $sudo dpkg --add-architecture "$arch"
done
# shellcheck disable=SC2086
sh "$(dirname "$0")/apt-install.sh" arm-setup $need
