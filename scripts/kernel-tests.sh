#!/usr/bin/env bash
# The kernel tier: the scenarios on the Linux kernel's nandsim in a VM and on
# the simulated board, compared. Installs what it needs (as root), builds the
# tier's programs and runs the tests labelled kernel; non-zero on any failure.
# KERNEL_BUILD (default build/kernel) is the build they run in: scripts/test.sh
# gives the everyday build, whose programs are built already.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${KERNEL_BUILD:-build/kernel}
bash scripts/deps.sh
sh scripts/kernel-setup.sh
cmake -S . -B "$dir" -G Ninja -DFW_WERROR=ON -DFW_KERNEL_TIER=ON >/dev/null
cmake --build "$dir" -j2 --target kernel_tier_programs
ctest --test-dir "$dir" -L kernel --output-on-failure
