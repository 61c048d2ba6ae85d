#!/usr/bin/env bash
# The whole test suite, as CI runs it on a fresh machine: installs what it
# needs, builds the native and the sanitized builds with warnings as errors,
# and runs every test tier.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
# Before the builds: they build the fuzz targets only when clang can.
sh scripts/crash-setup.sh
for preset in default asan; do
  echo "=== $preset build"
  bash scripts/build.sh "$preset"
  echo "=== $preset tests"
  ctest --preset "$preset" -j2
done
for tier in arm kernel; do
  if [ -f "scripts/$tier-tests.sh" ]; then
    echo "=== $tier tier"
    bash "scripts/$tier-setup.sh"
    bash "scripts/$tier-tests.sh"
  fi
done
