#!/usr/bin/env bash
# Self-test of the benchmark's measuring tools: the statistics, the floor's
# page mover, the checksum driver, the peak-memory reporter and the
# allocation counter. Needs the release build (bench/run.sh makes it and
# runs this first); non-zero and one line per failure when a tool is wrong.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/lib.sh
[ -x "$tools/pagefloor" ] || build_release

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
expect() {   # expect WHAT ACTUAL WANTED
  if [ "$2" != "$3" ]; then
    echo "FAIL: $1: got '$2', wanted '$3'"
    failures=$((failures + 1))
  fi
}
status() { "$@" >/dev/null 2>&1 && echo 0 || echo $?; }

# -- statistics: median, min and max whatever the order; an empty set is an error
expect "median of an odd count" "$(printf '5\n1\n4\n2\n3\n' | stats)" "3.0000 1.0000 5.0000"
expect "lower median of an even count" "$(printf '0.4\n0.1\n0.3\n0.2\n' | stats)" "0.2000 0.1000 0.4000"
expect "one value" "$(echo 2.5 | stats)" "2.5000 2.5000 2.5000"
expect "no values" "$(status stats </dev/null)" 1
expect "largest, numeric order" "$(printf '9\n10\n100\n' | largest)" 100
expect "goal met at the limit" "$(meets 1.15 '<=' 1.15)" ok
expect "goal missed above it" "$(meets 1.16 '<=' 1.15)" MISS
expect "throughput goal missed" "$(meets 0.89 '>=' 0.9)" MISS
expect "difference goal" "$(meets 64 '<' 64)" MISS

# -- program and floor are timed in turn, each after its own setup
order=$work/order
mark_a() { printf a >>"$order"; }
mark_b() { printf b >>"$order"; }
quick() { :; }
slow() { sleep 0.2; }
result=$(clock=wall runs=3 pair mark_a slow mark_b quick)
expect "runs taken in turn" "$(cat "$order")" ababab
expect "one line per command" "$(wc -l <<<"$result")" 2
expect "the slower command first" "$(awk 'NR == 1 { a = $1 } NR == 2 { b = $1 } END { print (a > b + 0.1) ? "yes" : "no" }' <<<"$result")" yes
expect "a failing command fails the pair" "$(status pair none false none quick)" 1
expect "a failing setup fails the pair" "$(status pair quick quick false quick)" 1
expect "cpu time leaves out sleeping" "$(clock=cpu seconds slow | awk '{ print ($1 < 0.1) ? "yes" : "no" }')" yes

# -- the page mover reads, sums and copies exactly the pages asked for
head -c $((3 * BLOCK)) /dev/urandom >"$work/flash"
byte_sum() {   # the 32-bit wrapping sum of the first $2 bytes of $1
  head -c "$2" "$1" | od -An -v -tu1 -w4096 | awk '{ for (i = 1; i <= NF; i++) s += $i } END { printf "%x\n", s % 4294967296 }'
}
expect "sum of two blocks" "$("$tools/pagefloor" --sum "read:$work/flash:2" | awk '{ print $2 }')" \
  "$(byte_sum "$work/flash" $((2 * BLOCK)))"
expect "no output when not summing" "$("$tools/pagefloor" "read:$work/flash:3")" ""
: >"$work/copy"
"$tools/pagefloor" "copy:$work/copy:$work/flash:2"
expect "a copy holds the source's blocks" "$(cmp -s "$work/copy" <(head -c $((2 * BLOCK)) "$work/flash") && echo same)" same
expect "reading past the end fails" "$(status "$tools/pagefloor" "read:$work/flash:4")" 1
expect "erasing what is no flash fails" "$(status "$tools/pagefloor" "erase:$work/flash:1")" 1
expect "a missing file fails" "$(status "$tools/pagefloor" "read:$work/none:1")" 1
expect "an unknown step is a usage error" "$(status "$tools/pagefloor" "write:$work/flash:1")" 2
expect "a copy needs its source" "$(status "$tools/pagefloor" "copy:$work/copy:1")" 2
expect "zero blocks is a usage error" "$(status "$tools/pagefloor" "read:$work/flash:0")" 2

# -- the checksum driver gives the checksum the board tool writes beside a backup
head -c $((3 * 1048576 + 5)) /dev/urandom >"$work/backup.img"
"$bin/simboard" create "$work/board" --layout small >/dev/null
"$bin/simboard" sd "$work/board" kernel "$work/backup.img"
expect "checksum of a backup" "$("$tools/addsum" "$work/backup.img" | sed -n 's/^checksum //p')" \
  "$(sed 's/^0*//' "$work/board/sd/backup/kernel.as1")"

# -- the peak-memory reporter sees the growth the memory row guards against
# (dd fills the whole of its block buffer; the kernel's count of resident
# pages is exact only to a few hundred KiB, so the growth is megabytes) and
# reports the named program only, not the shell that starts it
head -c 4096 /dev/urandom >"$work/4k"
peak_of() { for _ in 1 2 3; do peak_kib dd dd if=/dev/zero of=/dev/null bs="$1" count=1; done | largest; }
small_peak=$(peak_of 4K) big_peak=$(peak_of 4M)
expect "a 4 MiB buffer shows in the peak" "$(meets $((big_peak - small_peak)) '>=' 2048)" ok
expect "one report for a program run by a shell" "$(peak_kib addsum sh -c "$tools/addsum $work/4k; true" | wc -l)" 1
expect "no report for a program that is not named" "$(peak_kib addsum cat "$work/4k")" ""

# -- the allocation counter sees allocations made per step of a loop
one=$(heap_allocs - "$tools/pagefloor" "read:$work/flash:1")
four=$(heap_allocs - "$tools/pagefloor" "read:$work/flash:1" "read:$work/flash:1" "read:$work/flash:1" "read:$work/flash:1")
expect "an allocation count" "$(meets "${one:-0}" '>=' 1)" ok
expect "more steps, more allocations" "$(meets "${four:-0}" '>=' $((one + 3)))" ok

if [ "$failures" -ne 0 ]; then
  echo "$failures self-test failure(s)"
  exit 1
fi
echo "self-test passed"
