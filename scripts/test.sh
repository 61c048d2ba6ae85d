#!/usr/bin/env bash
# The whole test suite, as CI runs it on a fresh machine: installs what it
# needs, builds the native and the sanitized builds with warnings as errors,
# and runs every test tier.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
# Before the builds: they build the fuzz targets only when clang can.
sh scripts/crash-setup.sh
# The arm and kernel tiers' packages, and the kernel the kernel tier boots,
# download and install while the native builds run (most of it is waiting
# on the network); the tiers' own set-up runs find them there.
mkdir -p build
setup_log=build/tier-setup.log
(sh scripts/arm-setup.sh && sh scripts/kernel-setup.sh &&
  sh kernel-tier/fetch-kernel.sh build/kernel/tests/kernel/work/kernel) >"$setup_log" 2>&1 &
setup=$!
for preset in default asan; do
  echo "=== $preset build"
  bash scripts/build.sh "$preset"
  echo "=== $preset tests"
  ctest --preset "$preset" -j2
done
wait "$setup" || { cat "$setup_log"; echo "test: the tiers' set-up failed" >&2; exit 1; }
for tier in arm kernel; do
  if [ -f "scripts/$tier-tests.sh" ]; then
    echo "=== $tier tier"
    bash "scripts/$tier-setup.sh"
    bash "scripts/$tier-tests.sh"
  fi
done
