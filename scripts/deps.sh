#!/usr/bin/env bash
# Installs what the build and the native tests need, when it is missing.
set -euo pipefail
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v make >/dev/null || need+=(make)
command -v bc >/dev/null || need+=(bc)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/mtd/mtd-user.h ] || need+=(linux-libc-dev)
if [ ${#need[@]} -gt 0 ]; then
  apt-get update
  apt-get install -y -o DPkg::Lock::Timeout=600 "${need[@]}"
fi
