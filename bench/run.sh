#!/usr/bin/env bash
# Benchmarks: what each program costs against the floor of the work it must
# do, both measured in the same run (median, min and max of RUNS runs).
# Prints one table and writes it to build/bench/results.txt.
#
#   bench/run.sh                 RUNS=5, CPU time (user + system)
#   RUNS=9 BENCH_CLOCK=wall bench/run.sh
#
# Before timing anything it checks that each floor does the same work as the
# program it is held against (same pages, same copies, same dumps) and that
# the measuring tools work (bench/selftest.sh); a failed check stops the run.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/lib.sh

# ---- build and tools ----

bash scripts/deps.sh >/dev/null
if ! command -v valgrind >/dev/null; then
  sh scripts/apt-install.sh bench valgrind >/dev/null || die "valgrind is missing and could not be installed"
fi
build_release
note() { echo "bench: [${SECONDS}s] $*" >&2; }
note "self-test of the measuring tools"
bash bench/selftest.sh >/dev/null || die "the measuring tools fail their self-test (bench/selftest.sh)"

out=build/bench
mkdir -p "$out"
sim=$bin/simboard
pf=$tools/pagefloor

# ---- boards ----

readonly APP_BLOCKS=680 SMALL_APP_BLOCKS=8   # 85 MiB and 1 MiB application images
board=$out/board            # the 512m board with every image intact
small=$out/board-1m         # the same with a 1 MiB application image
wide=$out/board-wide        # 512-byte pages, every partition twice as long
erased=$out/board-erased    # nothing flashed: scans read erased pages, as the crash tier's do
note "boards"
make_images "$out/img" $APP_BLOCKS
make_images "$out/img-1m" $SMALL_APP_BLOCKS
create=$(measure none bash -c "rm -rf $board && $sim create $board")
flash_board "$board" "$out/img"
flash_board "$small" "$out/img-1m"
flash_board "$wide" "$out/img" --page 512 --oob 16 --parts 8,16,320,8,8,1440,8,16,320,8,8,4592,1440
rm -rf "$erased" && "$sim" create "$erased" >/dev/null
"$sim" run "$erased" -- tolvane -l >/dev/null 2>&1 || die "tolvane -l failed on $erased"

# Reading the first blocks of each image partition, as the programs do.
steps() {   # steps low|high|both
  local entry
  for entry in "${IMAGES[@]}"; do
    set -- $entry
    case $SET in low | both) echo "read:/dev/mtd$3:$2" ;; esac
    case $SET in high | both) echo "read:/dev/mtd$4:$2" ;; esac
  done
}
read_both=$(SET=both steps)
read_low=$(SET=low steps)
copy_app="erase:/dev/mtd12:$APP_BLOCKS copy:/dev/mtd12:/dev/mtd5:$APP_BLOCKS"

on() { "$sim" run "$1" -- "${@:2}"; }
count() { grep -c -- "$1" || true; }
log_count() { "$sim" log "$1" | awk -v d="$2" -v o="$3" '$3 == d && $4 == o' | wc -l; }

# ---- checks: each floor does the program's work ----

note "checks: each floor does the program's work"

# Both sets: the floor reads exactly the pages the maintenance pass sums.
m_out=$(on "$board" tolvane -m 2>&1)
[ "$(count 'partition are good' <<<"$m_out")" -eq 5 ] || die "the clean board is not clean: $m_out"
sums=$(sed -n 's/^.*: addsum *\([0-9a-f]*\)$/\1/p' <<<"$m_out")
floor_sums=$(on "$board" "$pf" --sum $read_both | awk '{ print $2 }')
[ "$(sort <<<"$sums")" = "$(sort <<<"$floor_sums")" ] && [ "$(wc -l <<<"$sums")" -eq 8 ] ||
  die "the floor does not read the pages tolvane -m sums"
[ "$("$sim" log "$board" | count ' erase \| program ')" -eq 0 ] || die "tolvane -m changed a clean board"

# The low set: the high command sums the same pages as the floor reads.
h_out=$(on "$board" tolvane -h 2>&1)
[ "$(sed -n 's/^.*1: addsum *\([0-9a-f]*\)$/\1/p' <<<"$h_out")" = \
  "$(on "$board" "$pf" --sum $read_low | awk '{ print $2 }')" ] || die "the floor does not read what tolvane -h sums"

# The repair: one damaged bit in the high application image makes the pass
# copy all 680 blocks, as the floor does.
damage_app() {
  "$sim" flip "$board" mtd12 $((BLOCK * 17 + 5)) 3
  "$sim" log "$board" --clear
}
clear_log() { "$sim" log "$board" --clear; }
app_sum() { on "$board" "$pf" --sum "read:/dev/mtd$1:$APP_BLOCKS" | awk '{ print $2 }'; }
damage_app
[ "$(app_sum 12)" != "$(app_sum 5)" ] || die "the damage did not change the application image"
r_out=$(on "$board" tolvane -m 2>&1)
grep -q 'fixing app-2' <<<"$r_out" || die "tolvane -m did not repair the application image"
[ "$(app_sum 12)" = "$(app_sum 5)" ] || die "the repair did not restore the application image"
program_pages=$(log_count "$board" mtd12 program) program_erases=$(log_count "$board" mtd12 erase)
clear_log
on "$board" "$pf" $read_both $copy_app
[ "$(log_count "$board" mtd12 program)" -eq "$program_pages" ] &&
  [ "$(log_count "$board" mtd12 erase)" -eq "$program_erases" ] &&
  [ "$program_pages" -eq $((APP_BLOCKS * BLOCK / PAGE)) ] || die "the copy floor does not write what tolvane -m copies"

# The verifier: eight dumps, nothing rewritten; the floor makes the same dumps.
quillet_floor=$out/quillet-floor.sh
{
  for entry in "${IMAGES[@]}"; do
    set -- $entry
    for part in $3 $4; do
      echo "nanddump -o -b -f /mnt/sd/flash_dump.bin -l $(($2 * BLOCK)) /dev/mtd$part"
    done
  done
  printf 'cat'
  for entry in "${IMAGES[@]}"; do set -- $entry; printf ' /mnt/sd/backup/%s.bak' "$1"; done
  echo ' >/dev/null'
} >"$quillet_floor"
q_out=$(on "$board" quillet 2>&1)
[ "$(count 'Need no any action.' <<<"$q_out")" -eq 8 ] && [ "$(count 'system call:  nanddump' <<<"$q_out")" -eq 8 ] &&
  [ "$(count 'flash_eraseall' <<<"$q_out")" -eq 0 ] || die "quillet did not find eight intact images: $q_out"
rm -f "$board/sd/flash_dump.bin"
on "$board" sh "$quillet_floor"
cmp -s "$board/sd/flash_dump.bin" "$out/img/appfs.img" || die "the verifier's floor does not dump the images"

# The file checksum on its own gives the checksum the backup's files hold.
[ "$("$tools/addsum" "$board/sd/backup/appfs.bak" | sed -n 's/^checksum //p')" = \
  "$(sed 's/^0*//' "$board/sd/backup/appfs.as1")" ] || die "addsum does not give the backup's checksum"

# ---- timed rows ----

# Plain files for the emulator's own cost: the backing files read directly,
# and a copy between two scratch files the size of the application image.
direct_both=$(for entry in "${IMAGES[@]}"; do
  set -- $entry
  echo "read:$board/mtd$3.data:$2 read:$board/mtd$4.data:$2"
done)
cp "$board/mtd5.data" "$out/scratch-src" && cp "$board/mtd12.data" "$out/scratch-dst"
cat "$board"/mtd*.data "$out/scratch-src" "$out/scratch-dst" >/dev/null

# Each row's program and floor, as commands without arguments.
clean_m() { on "$board" tolvane -m; }
clean_f() { on "$board" "$pf" $read_both; }
high_m() { on "$board" tolvane -h; }
high_f() { on "$board" "$pf" $read_low; }
erased_m() { on "$erased" tolvane -h; }
erased_f() { on "$erased" "$pf" $read_low; }
repair_f() { on "$board" "$pf" $read_both $copy_app; }
big=$out/checksum-256m.bin
sum_m() { "$tools/addsum" "$big"; }
sum_f() { cat "$big"; }
quillet_m() { on "$board" quillet; }
quillet_f() { on "$board" sh "$quillet_floor"; }
emu_read() { on "$board" "$pf" $read_both; }
file_read() { "$pf" $direct_both; }
emu_copy() { on "$board" "$pf" $copy_app; }
file_copy() { "$pf" "copy:$out/scratch-dst:$out/scratch-src:$APP_BLOCKS"; }
emu_dd() { on "$board" dd if=/dev/mtd5 of=/dev/null bs=$PAGE; }
file_dd() { dd if="$board/mtd5.data" of=/dev/null bs=$PAGE; }
shells='for i in 1 2 3 4 5 6 7 8; do sh -c true; done'
emu_sh() { on "$board" sh -c "$shells"; }
plain_sh() { sh -c "$shells"; }

note "timing the boot-set manager"
timed m_clean f_clean none clean_m none clean_f
timed m_high f_high none high_m none high_f
timed m_erased f_erased none erased_m none erased_f
timed m_repair f_repair damage_app clean_m clear_log repair_f
[ "$(app_sum 12)" = "$(app_sum 5)" ] || die "a timed repair left the application image damaged"

note "timing the file checksum"
random_file "$big" $((256 << 20))
cat "$big" >/dev/null
# A short row on a noisy machine: four times the runs.
runs=$((runs * 4)) timed m_sum f_sum none sum_m none sum_f
cg=$out/callgrind.out
valgrind --tool=callgrind --callgrind-out-file="$cg" --toggle-collect='FileOperation::calFileAddsum*' \
  "$tools/addsum" "$big" >/dev/null 2>&1 || die "callgrind failed"
per_byte=$(awk -v n=$((256 << 20)) '/^summary:/ { printf "%.3f", $2 / n }' "$cg")

note "timing the verifier"
timed m_quillet f_quillet none quillet_m none quillet_f

note "timing the emulator"
timed e_read d_read none emu_read none file_read
timed e_copy d_copy clear_log emu_copy none file_copy
timed e_dd d_dd none emu_dd none file_dd
timed e_sh d_sh none emu_sh none plain_sh
clear_log

# ---- memory ----

note "memory: peak of the verifier, allocations of the high command"

peaks() {   # peaks BOARD: the largest of $runs peaks of quillet on BOARD
  local i
  for ((i = 0; i < runs; i++)); do peak_kib quillet "$sim" run "$1" -- quillet; done | largest
}
rss_small=$(peaks "$small")
rss_big=$(peaks "$board")
[ -n "$rss_small" ] && [ -n "$rss_big" ] || die "no peak memory reported for quillet"
allocs_512m=$(heap_allocs "$board" tolvane -h)
allocs_wide=$(heap_allocs "$wide" tolvane -h)
[ -n "$allocs_512m" ] && [ -n "$allocs_wide" ] || die "valgrind counted no allocations for tolvane -h"

# ---- the table ----

med() { echo "${1%% *}"; }
rows() {   # rows NAME PROGRAM FLOOR [OP LIMIT]: a row with its ratio program / floor
  row "$1" "$2" "$(med "$3")" "$(ratio "$(med "$2")" "$(med "$3")")" "${@:4}"
}
{
  echo "clock: $clock, $runs runs per figure; floor: the least work over the same pages, in the same run"
  row_header
  rows "tolvane -m, clean 512m board (both sets read)" "$m_clean" "$f_clean" "<=" 1.15
  rows "tolvane -h (low set's 813 blocks read)" "$m_high" "$f_high" "<=" 1.15
  rows "tolvane -h, erased 512m board (813 blocks read)" "$m_erased" "$f_erased"
  rows "tolvane -m repairing the app image (680 blocks)" "$m_repair" "$f_repair" "<=" 1.2
  row "calFileAddsum 256 MiB vs cat (throughput)" "$m_sum" "$(med "$f_sum")" \
    "$(ratio "$(med "$f_sum")" "$(med "$m_sum")")" ">=" 0.9
  rows "quillet, 512m board intact (8 dumps, 16 sums)" "$m_quillet" "$f_quillet" "<=" 1.2
  rows "emulator: page reads of both sets vs backing files" "$e_read" "$d_read"
  rows "emulator: app image erase+copy vs file copy" "$e_copy" "$d_copy"
  rows "emulator: dd bs=2048 of mtd5 vs its backing file" "$e_dd" "$d_dd"
  rows "emulator: 8 shell start-ups vs without it" "$e_sh" "$d_sh"
  echo
  figure_header
  figure "calFileAddsum instructions per byte (callgrind, 256 MiB)" "$per_byte" "<=" 1
  figure "quillet peak RSS, 1 MiB appfs backup (KiB, largest of $runs)" "$rss_small"
  figure "quillet peak RSS, 85 MiB appfs backup (KiB, largest of $runs)" "$rss_big"
  figure "quillet peak RSS difference (KiB)" "$((rss_big > rss_small ? rss_big - rss_small : rss_small - rss_big))" "<" 64
  figure "tolvane -h heap allocations, 512m board" "$allocs_512m"
  figure "tolvane -h heap allocations, 512-byte pages, partitions x2" "$allocs_wide"
  figure "tolvane -h allocation difference (4x the page loop passes)" "$((allocs_wide - allocs_512m))" "==" 0
  figure "simboard create, 512m board (s, median)" "$(med "$create")"
} | tee "$out/results.txt"
