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

# The set-up scripts' packages install in two apt runs, each one update of
# the lists, one unpacking and one run of the triggers: first what the native
# build and its tests need, then, beside the default build, the tiers' (cross
# compilers, the ARM libraries, qemu-system, lintian). The tests wait for
# them: beside the unpacking the record-state exploration shards took 46 s
# instead of 28, even with the unpacking at SCHED_IDLE. Beside the build the
# unpacking costs about its own processor time; what the overlap saves is the
# wait on the downloads.
mkdir -p build
# install_for NAME SETUP...: one apt run for the packages the set-up scripts
# are missing, then each script again, which checks that it finds them.
install_for() {
  local list=build/$1-packages s
  shift
  rm -f "$list"
  for s in "$@"; do APT_COLLECT=$list sh "$s"; done
  # shellcheck disable=SC2046
  [ ! -e "$list" ] || sh scripts/apt-install.sh "setup" $(cat "$list")
  for s in "$@"; do sh "$s"; done
}
# The fuzz check comes before the builds: they build the fuzz targets only when clang can.
install_for native scripts/deps.sh scripts/crash-setup.sh
phase "installing the native build's packages"
tiers_log=build/tier-setup.log
install_for tiers scripts/arm-setup.sh scripts/kernel-setup.sh >"$tiers_log" 2>&1 &
tiers=$!
echo "=== default build"
bash scripts/build.sh default -DFW_KERNEL_TIER=ON
phase "the default build"
wait "$tiers" || { cat "$tiers_log"; echo "test: the tiers could not be set up" >&2; exit 1; }
phase "the tiers' set-up after the default build"
# The kernel the kernel tier boots downloads beside the tests: mostly a wait
# on the network (its unpacking is a few seconds).
fetch_log=build/fetch-kernel.log
sh kernel-tier/fetch-kernel.sh build/default/tests/kernel/work/kernel >"$fetch_log" 2>&1 &
fetch=$!
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
