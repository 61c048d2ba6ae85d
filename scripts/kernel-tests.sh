#!/usr/bin/env bash
# The kernel tier: the scenarios on the Linux kernel's nandsim in a VM and on
# the simulated board, compared. Installs what it needs (as root), builds
# build/kernel and runs the tests labelled kernel; non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
sh scripts/kernel-setup.sh
cmake -S . -B build/kernel -DFW_WERROR=ON -DFW_KERNEL_TIER=ON >/dev/null
cmake --build build/kernel -j2 --target kernel_tier_programs
ctest --test-dir build/kernel -L kernel --output-on-failure
