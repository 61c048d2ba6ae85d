#!/bin/sh
# Installs what the ARM build and its test tier need: the Debian cross
# compilers for armel and armhf, qemu-user, and the tools the tier checks the
# programs and packages with. Safe to run again: when all of it is there, apt
# is not touched at all.
set -eu

need=""
have() { command -v "$1" >/dev/null 2>&1; }

have arm-linux-gnueabi-g++   || need="$need g++-arm-linux-gnueabi"
have arm-linux-gnueabihf-g++ || need="$need g++-arm-linux-gnueabihf"
have qemu-arm                || need="$need qemu-user"
have file                    || need="$need file"
have dpkg-deb                || need="$need dpkg"
# The native package's dependencies are read from its programs.
have dpkg-shlibdeps          || need="$need dpkg-dev"
[ -f /usr/src/googletest/CMakeLists.txt ] || need="$need googletest"

# shellcheck disable=SC2086
[ -z "$need" ] || sh "$(dirname "$0")/apt-install.sh" arm-setup $need
