#!/usr/bin/env bash
# The main job on a simulated 512 MiB board: an A/B update of the boot
# images by tolvane-update, cut by a power failure, the reboot and the
# update finished; then a worn-out block and a corrupted image, and the
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
    cmake --build --preset default -j2 --target simboard nandemu tolvane quillet tolvane-status \
      tolvane-update nanddump nandwrite flash_eraseall; } >build/story-build.log 2>&1 ||
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
    simboard sd "$board" "${names[$i]}" "$out/images/${names[$i]}-1.img"
  done
}
check_factory() {
  expect_set 1 "no table" 1 "the low set should hold release 1"
  expect_set 2 "no table" 1 "the high set should hold release 1"
  backup_holds 1 "the SD card's backup folder should hold release 1"
  ok "both sets and the SD card's backups hold release 1 ($(image_sizes)); no table yet"
}

# backup_holds REL WHAT: /mnt/sd/backup holds release REL's images.
backup_holds() {
  local name
  for name in "${names[@]}"; do
    cmp -s "$board/sd/backup/$name.bak" "$out/images/$name-$1.img" || fail "$2: backup/$name.bak differs"
  done
}

sd_card() {
  make_images 2
  local name
  for name in "${names[@]}"; do
    simboard sd "$board" "$name" "$out/images/$name-2.img" update
  done
}
check_sd_card() {
  local i f
  for i in 0 1 2 3; do
    f=$board/sd/update/${names[$i]}
    cmp -s "$f.bak" "$out/images/${names[$i]}-2.img" || fail "no image of ${names[$i]} in the update folder"
    [ -f "$f.as1" ] && [ -f "$f.as2" ] && [ "$(stat -c %s "$f.as1")" = 32 ] && cmp -s "$f.as1" "$f.as2" ||
      fail "the checksum files of ${names[$i]} are missing or disagree"
    printf '      sd/update/%-10s %9d bytes, checksum %s\n' "${names[$i]}.bak" "${sizes[$i]}" "$(cat "$f.as1")"
  done
  ok "/mnt/sd/update holds release 2 and its checksum files (.as1, .as2)"
}

# What PROGRAM says about its own steps in the last run's output (tolvane
# ends some lines of its own without a line end, so they start anywhere).
own_lines() {   # own_lines PROGRAM
  as_lines "$out/last.out" | grep -o "$1: .*" | grep -v "^$1: running " || true
}
show_own_lines() { own_lines "$1" | sed 's/^/      /'; }

# The power fails half-way through the high kernel's nandwrite. Before it
# come the record commands (-l with the flag's first write on this board: 8
# flash operations; -h: 6), each partition of the low set erased whole and
# its image's pages programmed, then the high S1L and U-Boot the same way
# and the high kernel's partition erased. The record commands are few
# against the kernel's pages, and the check reads where the cut fell.
cut_at=0
kernel_cut_at() {
  local parts i ops=14
  read -r -a parts < <(sed -n 's/^parts //p' "$board/board.conf")
  for i in 0 1 2 3; do ops=$((ops + parts[low[i]] + sizes[i] / 2048)); done
  for i in 0 1; do ops=$((ops + parts[high[i]] + sizes[i] / 2048)); done
  echo $((ops + parts[high[2]] + sizes[2] / 2048 / 2))
}
cut_status=0
update_cut() {
  cut_at=$(kernel_cut_at)
  simboard fault "$board" "cut=$cut_at:torn"
  cut_status=0
  run_on_board tolvane-update || cut_status=$?
  simboard fault "$board" clear
  show_own_lines tolvane-update
}
check_update_cut() {
  [ "$cut_status" = 137 ] || fail "tolvane-update should have been killed by the power cut (status $cut_status)"
  local where
  where=$(simboard log "$board" | awk '$4 == "powercut" { w = $2 " " $3 } END { print w }')
  [ "$where" = "nandwrite mtd8" ] || fail "the cut should have hit nandwrite on mtd8, not ${where:-nothing}"
  expect_tables high "both table copies should mark the high set as being updated"
  expect_set 1 match 2 "the low set should hold release 2, as the table says"
  expect "S1L 2" " match +[^ ]+ v2\.0\$" "the high S1L should hold release 2"
  expect "kernel 2" " DIFFERS +[^ ]+ v2\.0\$" "the high kernel should be half written"
  expect "app 2" " DIFFERS +[^ ]+ v1\.0\$" "the high application image should still hold release 1"
  backup_holds 1 "the backups should still be release 1"
  ok "cut at flash operation $cut_at, in the high kernel's nandwrite: the table holds release 2's sums," \
    "the low set (which boots) release 2, the backups release 1"
}

reboot() {
  run_on_board fwintegrity-boot || fail "fwintegrity-boot ended with status $?"
  show_own_lines fwintegrity-boot
}
check_reboot() {
  expect_tables high "the table should still mark the high set as being updated"
  expect_set 1 match 2 "the low set should hold release 2"
  expect_set 2 match 2 "tolvane -m should have copied the low set's kernel and application image over the high set's"
  own_lines fwintegrity-boot | grep -q '^fwintegrity-boot: no complete record marking no update in progress' ||
    fail "the boot script should have left quillet out while the update is in progress"
  backup_holds 1 "the backups should still be release 1"
  ok "tolvane -m repaired the high set from the low set; quillet left out: the backups are still release 1"
}

update_again() {
  on_board tolvane-update
  show_own_lines tolvane-update
}
check_update_again() {
  own_lines tolvane-update | grep -q ': the update goes on at step 4$' ||
    fail "tolvane-update should have gone on at step 4, the high set's write"
  expect_tables none "both table copies should mark no set as being updated"
  expect_set 1 match 2 "the low set should match the table"
  expect_set 2 match 2 "the high set should match the table"
  backup_holds 2 "the backups should be release 2"
  ok "the update is finished: both sets, the table and the backups hold release 2"
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
  ok "the high kernel and the low application image are repaired"
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
step "factory programming: release 1 into both sets and the SD card's backups" factory check_factory
step "release 2 into /mnt/sd/update with its checksum files" sd_card check_sd_card
step "tolvane-update, and the power fails while it writes the high set" update_cut check_update_cut
step "reboot: the boot script (tolvane -m, and quillet when no update is in progress)" reboot check_reboot
step "tolvane-update again: it finds where the update stands and finishes it" update_again check_update_again
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
