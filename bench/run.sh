#!/usr/bin/env bash
# Benchmarks: each row against its floor, measured in the same run.
# Prints one table and writes it to build/bench/results.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh >/dev/null
cmake --preset release >/dev/null
cmake --build --preset release -j2 >/dev/null
bin=build/release/bin
export NANDEMU_PRELOAD=$PWD/build/release/lib/libnandemu.so
out=build/bench
mkdir -p "$out"
runs=${RUNS:-5}

# seconds for one run of a command, from bash's clock
seconds() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}

# median min max of $runs runs
measure() {
  local i
  for ((i = 0; i < runs; i++)); do seconds "$@"; done | sort -g | awk '{v[NR]=$1} END {printf "%.4f %.4f %.4f\n", v[int((NR+1)/2)], v[1], v[NR]}'
}

row() {   # name goal measured floor
  local name=$1 goal=$2 m=$3 f=$4
  local mm=${m%% *} fm=${f%% *}
  printf "%-44s %9s %9s %9s  %9s  %7.2fx  %s\n" "$name" $m "$fm" "$(echo "$mm / $fm" | bc -l)" "$goal"
}

board=$out/board
rm -rf "$board"
create=$(measure bash -c "rm -rf $board && $bin/simboard create $board")
$bin/simboard create "$board" >/dev/null 2>&1 || true
# a partition with data in it, so the direct read is a real read
head -c $((720 * 131072)) /dev/urandom > "$out/app.img"
$bin/simboard load "$board" mtd5 "$out/app.img"
cat "$board/mtd5.data" > /dev/null
emu=$(measure "$bin/simboard" run "$board" -- dd if=/dev/mtd5 of=/dev/null bs=2048)
direct=$(measure dd if="$board/mtd5.data" of=/dev/null bs=2048)

{
  printf "%-44s %9s %9s %9s  %9s  %8s  %s\n" "row" "median" "min" "max" "floor" "ratio" "goal"
  printf "%-44s %9s %9s %9s\n" "create the 512m board (s)" $create
  row "read mtd5 (720 blocks) through the emulator" "-" "$emu" "$direct"
} | tee "$out/results.txt"
