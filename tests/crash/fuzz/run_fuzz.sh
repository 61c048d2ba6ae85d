#!/usr/bin/env bash
# One fixed-time fuzz run, as the crash tier runs it:
#   run_fuzz.sh FUZZER SEEDS SECONDS ARTIFACTS SIMBOARD PRELOAD [board]
# SEEDS is the corpus kept in the repository (read, never written); new
# inputs go to a scratch folder. With "board" the target runs on a fresh
# simulated board with the emulator preloaded. A finding is kept under
# ARTIFACTS for replay (FUZZER FILE, with the same environment).
# Exit 77 (skipped) only when the fuzzer could not be built here.
set -euo pipefail
fuzzer=$1 seeds=$2 seconds=$3 artifacts=$4 simboard=$5 preload=$6 board=${7:-}
name=$(basename "$fuzzer")
if [ ! -x "$fuzzer" ]; then
  echo "$name: not built, clang with libFuzzer is missing (scripts/crash-setup.sh installs it)"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus" "$artifacts"
env=(FW_FUZZ_WORK="$work" UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1)
if [ "$board" = board ]; then
  # Real sleeps: the fuzzer's own threads sleep, and an intercepted sleep
  # returns at once.
  "$simboard" create "$work/board" --real-sleep >/dev/null
  env+=(NANDEMU_BOARD="$work/board" LD_PRELOAD="$preload")
fi
status=0
env "${env[@]}" "$fuzzer" -max_total_time="$seconds" -close_fd_mask=3 -print_final_stats=1 -error_exitcode=1 \
  -artifact_prefix="$artifacts/$name-" "$work/corpus" "$seeds" >"$work/output" 2>&1 || status=$?
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/output")
if [ "$status" -ne 0 ] || [ -z "$runs" ]; then
  tail -n 60 "$work/output"
  echo "$name: FAILED (status $status); the input is kept under $artifacts"
  exit 1
fi
corpus=$(find "$work/corpus" -type f | wc -l)
echo "[crash] fuzz $name: $runs executions in $seconds s, $corpus new inputs, no finding"
