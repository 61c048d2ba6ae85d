#!/usr/bin/env bash
# The whole test suite, as CI runs it on a fresh machine: installs what it
# needs, builds the native and the sanitized builds with warnings as errors,
# and runs every test tier. Each phase ends with a line giving its seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
phase_started=$SECONDS
phase() {
  echo "test: $1 took $((SECONDS - phase_started)) s"
  phase_started=$SECONDS
}

# The tests' boards are sparse files, punched and rewritten thousands of
# times: they live in memory when the machine has a tmpfs with room to spare
# (a container's small /dev/shm is left alone), with the compilers' files.
if [ -z "${TMPDIR:-}" ] && [ "$(stat -f -c %T /dev/shm 2>/dev/null)" = tmpfs ] && [ -w /dev/shm ] &&
  [ "$(df -P -k /dev/shm | awk 'NR == 2 { print $4 }')" -gt $((4 * 1024 * 1024)) ]; then
  TMPDIR=$(mktemp -d /dev/shm/fwintegrity-tests.XXXXXX)
  export TMPDIR
  trap 'rm -rf "$TMPDIR"' EXIT
fi

# Every set-up script's packages install in one apt run: one update of the
# lists, one unpacking and one run of the triggers. Beside the builds the
# installs had slowed the default build and tests by two minutes, more than
# their 80 s alone. The set-up scripts then find everything there.
mkdir -p build
packages=build/setup-packages
rm -f "$packages"
setups="scripts/deps.sh scripts/crash-setup.sh scripts/arm-setup.sh scripts/kernel-setup.sh"
for s in $setups; do APT_COLLECT=$packages sh "$s"; done
# shellcheck disable=SC2046
[ ! -e "$packages" ] || sh scripts/apt-install.sh setup $(cat "$packages")
# The fuzz check comes before the builds: they build the fuzz targets only when clang can.
for s in $setups; do sh "$s"; done
phase "installing"
# The kernel the kernel tier boots downloads and unpacks beside the default build.
fetch_log=build/fetch-kernel.log
sh kernel-tier/fetch-kernel.sh build/default/tests/kernel/work/kernel >"$fetch_log" 2>&1 &
fetch=$!
# The everyday build holds the kernel tier's programs too and is the arm
# tier's native half, so that each is built once.
echo "=== default build"
bash scripts/build.sh default -DFW_KERNEL_TIER=ON
phase "the default build"
echo "=== default tests"
ctest --preset default -j2
phase "the default tests"
# The sanitized build follows the tests rather than running beside them:
# the tests keep both processors busy, and beside them the build slowed the
# tests from 164 s to 288 s and itself from 47 s to 187 s.
echo "=== asan build"
bash scripts/build.sh asan
phase "the asan build"
echo "=== asan tests"
ctest --preset asan -j2
phase "the asan tests"
wait "$fetch" || { cat "$fetch_log"; echo "test: the kernel could not be fetched" >&2; exit 1; }

# The kernel tier's VM keeps one processor busy for about a minute: it runs
# beside the arm tier, which never writes the everyday build it reads, and
# its output is shown after the arm tier's.
kernel_log=build/kernel-tier.log
echo "=== kernel tier, beside the arm tier ($kernel_log)"
KERNEL_BUILD=build/default bash scripts/kernel-tests.sh >"$kernel_log" 2>&1 &
kernel=$!
echo "=== arm tier"
arm=0
ARM_HOST_BUILD=build/default bash scripts/arm-tests.sh || arm=$?
phase "the arm tier"
kernel_status=0
wait "$kernel" || kernel_status=$?
phase "the kernel tier after the arm tier"
echo "=== kernel tier"
cat "$kernel_log"
[ "$arm" -eq 0 ] || { echo "test: the arm tier failed" >&2; exit 1; }
[ "$kernel_status" -eq 0 ] || { echo "test: the kernel tier failed" >&2; exit 1; }
echo "test: every tier passed in $((SECONDS - started)) s"
