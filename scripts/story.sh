#!/usr/bin/env bash
# The main job on a simulated 512 MiB board: an A/B update of the boot
# images, then a power cut, a worn-out block and a corrupted image, and the
# tools bringing the board back. After each step the story shows what
# changed on the flash and checks that the step did what it says; it stops
# at the first step that did not.
#
#   bash scripts/story.sh [-v]      -v: the programs' own output here as well
#
# Builds the programs in build/default first. BUILD=DIR takes the programs
# of an existing build instead (nothing is built); STORY_DIR=DIR (default
# build/story) receives the board, the log and the two pictures.
# STORY_SABOTAGE=N leaves out the action of step N, to see the story stop;
# STORY_IMAGES=small makes every image smaller, for quick runs of the steps.
set -Eeuo pipefail
cd "$(dirname "$0")/.."

verbose=false
case "${1:-}" in
  -v) verbose=true ;;
  '') ;;
  *) echo "usage: bash scripts/story.sh [-v]" >&2; exit 2 ;;
esac

out=${STORY_DIR:-build/story}
if [ -z "${BUILD:-}" ]; then
  bash scripts/deps.sh >/dev/null
  echo "building the programs in build/default ..."
  mkdir -p build
  { cmake --preset default -DFW_WERROR=ON &&
    cmake --build --preset default -j2 --target simboard nandemu tolvane quillet nanddump nandwrite \
      flash_eraseall; } >build/story-build.log 2>&1 ||
    { tail -20 build/story-build.log; echo "the build failed: build/story-build.log" >&2; exit 1; }
  BUILD=build/default
fi
bin=$BUILD/bin
[ -x "$bin/simboard" ] || { echo "no programs in $bin: build them first" >&2; exit 1; }
# Sanitized builds: the emulator is preloaded ahead of the sanitizer runtime.
export ASAN_OPTIONS=${ASAN_OPTIONS:-verify_asan_link_order=0:detect_leaks=0}

case "$out" in '' | /) echo "STORY_DIR must name a folder of its own" >&2; exit 2 ;; esac
rm -rf "$out"
mkdir -p "$out/images"
out=$(cd "$out" && pwd)   # paths to open in a browser
board=$out/board
log=$out/story.log
state=$out/state
before_svg=$out/flash-before-repair.svg
after_svg=$out/flash-after-repair.svg
: >"$log"
: >"$state"
started=$SECONDS

# The four images in table order: name on the SD card, partitions of the
# low and the high set, size (whole 2 KiB pages, as the verifier needs),
# and the name an image carries at its start.
names=(s1l uboot kernel appfs)
low=(0 1 2 5)
high=(6 7 8 12)
KiB=1024
MiB=$((1024 * KiB))
if [ "${STORY_IMAGES:-}" = small ]; then
  sizes=($((8 * KiB)) $((128 * KiB)) $((1536 * KiB)) $((2 * MiB)))
else
  sizes=($((24 * KiB)) $((384 * KiB)) $((3584 * KiB)) $((48 * MiB)))
fi
labels=("S1L" "U-Boot" "kernel" "appfs")
roles=("S1L" "U-Boot" "kernel" "app")

simboard() { "$bin/simboard" "$@"; }

# ---------------------------------------------------------------- running

n=0
title=
fail() {
  trap - ERR
  printf '\nSTORY STOPPED at step %d (%s):\n  %s\n' "$n" "$title" "$*" >&2
  printf 'the board: %s   the programs'"'"' output: %s\n' "$board" "$log" >&2
  exit 1
}
trap 'fail "a command failed: $BASH_COMMAND"' ERR

# A program's output as lines: a progress line redrawn with carriage returns
# shows its last state on a line of its own, and the output ends with a line end.
as_lines() {
  awk '{ n = split($0, part, "\r"); last = ""
         for (i = 1; i < n; i++) if (part[i] != "") last = part[i]
         if (last != "") print last
         if (part[n] != "" || n == 1) print part[n] }' "$1"
}

# Runs a program on the board, its output into the log (and here with -v);
# the output of the last program is kept in $out/last.out. Returns its status.
run_on_board() {
  printf '\n$ %s\n' "$*" >>"$log"
  local rc=0
  simboard run "$board" -- "$@" >"$out/last.out" 2>&1 || rc=$?
  as_lines "$out/last.out" >>"$log"
  if $verbose; then as_lines "$out/last.out" | sed 's/^/      | /'; fi
  return $rc
}

# The same for a program that must end with status 0.
on_board() {
  run_on_board "$@" || fail "'$*' ended with status $? (its output is in $log)"
}

# The lines of the board's summary that differ from the previous step's.
show_changes() {
  simboard show "$board" --brief >"$state.new"
  if ! awk 'FILENAME == ARGV[1] { old[$0]; next } !($0 in old) { print "      " $0; shown = 1 } END { exit !shown }' \
      "$state" "$state.new"; then
    echo "      (the flash did not change)"
  fi
  mv "$state.new" "$state"
}

# step TITLE ACTION CHECK: one step of the story.
step() {
  n=$((n + 1))
  title=$1
  printf '\n%2d. %s\n' "$n" "$title"
  printf '\n=== step %d: %s\n' "$n" "$title" >>"$log"
  step_started=$SECONDS
  if [ "${STORY_SABOTAGE:-}" = "$n" ]; then
    echo "      (left out: STORY_SABOTAGE=$n)"
  else
    "$2"
  fi
  show_changes
  "$3"
  printf '=== step %d took %d s\n' "$n" $((SECONDS - step_started)) >>"$log"
}

ok() { echo "    ok: $*"; }

# ---------------------------------------------------------------- checks

# The summary line of one partition or record ("table 1", "kernel 2", ...).
line_of() { grep -m1 "^$1 " "$state" || true; }

expect() {   # expect NAME REGEX WHAT: the line of NAME matches REGEX
  local line
  line=$(line_of "$1")
  [[ $line =~ $2 ]] || fail "$3; the board shows: ${line:-no line for $1}"
}

# Each image of a set (1 low, 2 high) is judged JUDGEMENT and carries release REL.
expect_set() {   # expect_set SET JUDGEMENT REL WHAT
  local role
  for role in "${roles[@]}"; do
    expect "$role $1" "^$role $1 +mtd[0-9]+ +[0-9a-f]{8} $2 +[^ ]+ v$3\.0\$" "$4"
  done
}

# Both table copies valid, marking UPDATING, with the same reference sums.
expect_tables() {   # expect_tables UPDATING WHAT
  expect "table 1" "valid +updating $1 " "$2"
  expect "table 2" "valid +updating $1 " "$2"
  [ "$(line_of 'table 1' | sed 's/.*sums //')" = "$(line_of 'table 2' | sed 's/.*sums //')" ] ||
    fail "the two table copies hold different sums"
  expect flag "valid +names table [12]\$" "the flag does not name a table copy"
}

# ---------------------------------------------------------------- the steps

size_text() {   # size_text BYTES: in KiB, or MiB from 1 MiB on
  if [ "$1" -ge $MiB ]; then
    awk -v b="$1" -v m=$MiB 'BEGIN { printf "%g MiB", b / m }'
  else
    echo "$(($1 / KiB)) KiB"
  fi
}
image_sizes() {
  local i text=
  for i in 0 1 2 3; do text+="${text:+, }${labels[$i]} $(size_text "${sizes[$i]}")"; done
  echo "$text"
}

make_images() {   # make_images RELEASE: the four images of a release
  local i
  for i in 0 1 2 3; do
    { printf '%s v%s.0\n' "${labels[$i]}" "$1"
      yes "${labels[$i]} v$1.0: ${names[$i]} image of release $1" || true; } |
      head -c "${sizes[$i]}" >"$out/images/${names[$i]}-$1.img"
  done
}

create() { simboard create "$board" --layout 512m; }
check_create() {
  expect flag "invalid +erased" "a fresh board should have an erased flag"
  expect "table 1" "invalid +erased" "a fresh board should have erased tables"
  expect "bad blocks" "none\$" "a fresh board should have no bad blocks"
  ok "13 partitions, 4096 blocks of 128 KiB; nothing written yet"
}

factory() {
  make_images 1
  local i
  for i in 0 1 2 3; do
    simboard load "$board" "mtd${low[$i]}" "$out/images/${names[$i]}-1.img"
    simboard load "$board" "mtd${high[$i]}" "$out/images/${names[$i]}-1.img"
  done
}
check_factory() {
  expect_set 1 "no table" 1 "the low set should hold release 1"
  expect_set 2 "no table" 1 "the high set should hold release 1"
  ok "both sets hold release 1 ($(image_sizes)); no table yet"
}

sd_card() {
  make_images 2
  local name
  for name in "${names[@]}"; do
    simboard sd "$board" "$name" "$out/images/$name-2.img"
  done
}
check_sd_card() {
  local i f
  for i in 0 1 2 3; do
    f=$board/sd/backup/${names[$i]}
    [ -f "$f.bak" ] && [ "$(stat -c %s "$f.bak")" = "${sizes[$i]}" ] || fail "no backup of ${names[$i]} on the SD card"
    [ -f "$f.as1" ] && [ -f "$f.as2" ] && [ "$(stat -c %s "$f.as1")" = 32 ] && cmp -s "$f.as1" "$f.as2" ||
      fail "the checksum files of ${names[$i]} are missing or disagree"
    printf '      sd/backup/%-10s %9d bytes, checksum %s\n' "${names[$i]}.bak" "${sizes[$i]}" "$(cat "$f.as1")"
  done
  ok "the SD card holds release 2 and its checksum files (.as1, .as2)"
}

tolvane_low() { on_board tolvane -l; }
check_tolvane_low() {
  expect_tables low "both table copies should mark the low set as being updated"
  expect_set 1 match 1 "the table should hold the sums of the low set"
  ok "the low set is marked as being updated; the table holds release 1's sums"
}

update_set() {   # update_set 1|2: write release 2 from the SD card into the set
  local i parts
  if [ "$1" = 1 ]; then parts=("${low[@]}"); else parts=("${high[@]}"); fi
  for i in 0 1 2 3; do
    on_board flash_eraseall "/dev/mtd${parts[$i]}"
    on_board nandwrite -p "/dev/mtd${parts[$i]}" "/mnt/sd/backup/${names[$i]}.bak"
  done
}
update_low() { update_set 1; }
check_update_low() {
  expect_set 1 DIFFERS 2 "the low set should hold release 2, unlike the table"
  expect_set 2 match 1 "the high set should still hold release 1"
  ok "the low set holds release 2; the table still holds release 1's sums"
}

tolvane_high() { on_board tolvane -h; }
check_tolvane_high() {
  expect_tables high "both table copies should mark the high set as being updated"
  expect_set 1 match 2 "the table should hold the sums of release 2 in the low set"
  expect_set 2 DIFFERS 1 "the high set should still hold release 1"
  ok "the table holds release 2's sums; the high set is marked as being updated"
}

update_high() { update_set 2; }
check_update_high() {
  expect_set 2 match 2 "the high set should hold release 2"
  ok "both sets hold release 2"
}

ok_ops=0
tolvane_ok() {
  simboard fault "$board" clear   # counts the flash operations from here
  on_board tolvane -o
  ok_ops=$(simboard counter "$board")
}
check_tolvane_ok() {
  expect_tables none "both table copies should mark no set as being updated"
  expect_set 1 match 2 "the low set should match the table"
  expect_set 2 match 2 "the high set should match the table"
  [ "$ok_ops" -gt 0 ] || fail "tolvane -o did not write the records"
  ok "the update is finished ($ok_ops flash operations)"
}

cut_status=0
power_cut() {
  # The last of those operations programs the second table copy's page:
  # the power goes off half-way through it.
  simboard fault "$board" "cut=$ok_ops:torn"
  cut_status=0
  run_on_board tolvane -o || cut_status=$?
  simboard fault "$board" clear
}
check_power_cut() {
  [ "$cut_status" = 137 ] || fail "tolvane -o should have been killed by the power cut (status $cut_status)"
  local named other
  named=$(line_of flag | sed -n 's/.*names table \([12]\)$/\1/p')
  [ -n "$named" ] || fail "the flag should still name a table copy"
  other=$((3 - named))
  expect "table $named" "valid +updating none " "the copy the flag names should hold the complete record"
  expect "table $other" "invalid" "the copy being written at the cut should be torn"
  ok "tolvane -o was cut while writing table $other; the flag names table $named, which is complete"
}

kernel_bad_block=9   # inside the kernel image, so the image loses a block of its data
bad_block() { simboard bad "$board" mtd8 "$kernel_bad_block"; }
check_bad_block() {
  expect "bad blocks" "mtd8:$kernel_bad_block\$" "block $kernel_bad_block of mtd8 should be bad"
  expect "kernel 2" " DIFFERS " "the high kernel should no longer match"
  expect "kernel 1" " match " "the low kernel should still match"
  ok "block $kernel_bad_block of the high kernel is bad: its data is gone, the image reads short"
}

app_flip_offset=$((sizes[3] / 3 + 7))
bit_flip() { simboard flip "$board" mtd5 "$app_flip_offset" 5; }
check_bit_flip() {
  expect "app 1" " DIFFERS " "the low application image should no longer match"
  expect "app 2" " match " "the high application image should still match"
  ok "bit 5 of byte $(printf '0x%x' "$app_flip_offset") of the low application image flipped"
}

repair() {
  simboard map "$board" "$before_svg" "before the repair"
  on_board tolvane -m
  simboard map "$board" "$after_svg" "after the repair"
}
check_repair() {
  expect_tables none "both table copies should be valid again"
  expect_set 1 match 2 "every image of the low set should match again"
  expect_set 2 match 2 "every image of the high set should match again"
  expect "bad blocks" "mtd8:$kernel_bad_block\$" "the bad block stays bad"
  [ -s "$before_svg" ] && [ -s "$after_svg" ] || fail "the pictures of the flash are missing"
  echo "      pictures: $before_svg"
  echo "                $after_svg"
  ok "the torn table copy, the high kernel and the low application image are repaired"
}

verify() { on_board quillet; }
check_verify() {
  local good
  good=$(grep -c '^Need no any action\.$' "$out/last.out" || true)
  [ "$good" = 8 ] || fail "quillet should find all 8 images good, found $good"
  ! grep -q 'NG !!!' "$out/last.out" || fail "quillet found a bad backup or image"
  expect_set 1 match 2 "the low set should be unchanged"
  expect_set 2 match 2 "the high set should be unchanged"
  ok "all 8 images match the SD card's backups; nothing rewritten"
}

# ---------------------------------------------------------------- the story

echo "An A/B update of the boot images on a simulated 512 MiB board"
echo "  board: $board   programs' output: $log"
$verbose || echo "  (bash scripts/story.sh -v shows the programs' output here too)"

step "create a fresh 512 MiB board" create check_create
step "factory programming: release 1 into both sets" factory check_factory
step "SD card: release 2 as backups with their checksum files" sd_card check_sd_card
step "tolvane -l: the update of the low set begins" tolvane_low check_tolvane_low
step "update the low set from the SD card (flash_eraseall, nandwrite -p)" update_low check_update_low
step "tolvane -h: record the low set's sums, the update of the high set begins" tolvane_high check_tolvane_high
step "update the high set from the SD card" update_high check_update_high
step "tolvane -o: the update is finished" tolvane_ok check_tolvane_ok
step "power cut in the middle of tolvane -o" power_cut check_power_cut
step "block $kernel_bad_block of the high kernel (mtd8) goes bad" bad_block check_bad_block
step "a bit flips in the low application image (mtd5)" bit_flip check_bit_flip
step "tolvane -m: the maintenance pass repairs the board" repair check_repair
step "quillet: both sets checked against the SD card" verify check_verify

trap - ERR
cat <<EOF

The story ran to its end in $((SECONDS - started)) s; every step did what it says.
  pictures of the flash:  $before_svg
                          $after_svg
  the programs' output:   $log
EOF
