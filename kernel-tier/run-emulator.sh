#!/bin/sh
# run-emulator.sh BINDIR OUTDIR SCENARIO...
# Runs each scenario on a fresh simulated board with the VM's partitions and
# the scenario's bad blocks, through BINDIR's simboard and programs, and
# leaves in OUTDIR/NAME the same results as the VM: transcript, status,
# seconds, times, flash and sd.
set -eu
bin=${1:?usage: run-emulator.sh BINDIR OUTDIR SCENARIO...}
out=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
bin=$(cd "$bin" && pwd)
mkdir -p "$out"
out=$(cd "$out" && pwd)
cd "$here/scenarios"
. ./lib.sh
simboard="$bin/simboard"
export KT_SIMBOARD="$simboard"   # for lib.sh's bitflip
# Sanitized builds run under a preloaded library: let their runtime accept it.
export ASAN_OPTIONS=${ASAN_OPTIONS:-verify_asan_link_order=0:detect_leaks=0}

for s in "$@"; do
    res="$out/$s"
    board="$out/boards/$s"
    rm -rf "$res" "$board"
    mkdir -p "$res" "$out/boards" "$out/tmp/$s"
    "$simboard" create "$board" --parts "$(echo $KT_PARTS | tr ' ' ',')" \
        --ecc-step "$KT_ECC_STEP" --ecc-strength "$KT_ECC_STRENGTH" >/dev/null
    for entry in $(sed -n 's/^# bad: *//p' "$s.sh"); do
        "$simboard" bad "$board" "${entry%%:*}" "${entry#*:}"
    done
    t0=$(kt_now)
    status=0
    KT_TMP="$out/tmp/$s" KT_TIMES="$res/times" "$simboard" run "$board" -- sh "./$s.sh" \
        >"$res/transcript" 2>&1 </dev/null || status=$?
    echo "$status" >"$res/status"
    echo "$t0 $(kt_now)" | awk '{ printf "%.2f\n", $2 - $1 }' >"$res/seconds"
    "$simboard" run "$board" -- sh -c '. ./lib.sh; flash_digest' >"$res/flash"
    sd_digest "$board/sd" >"$res/sd"
done
