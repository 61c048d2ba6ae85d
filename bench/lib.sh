# Shared by the benchmark runner and its self-test: timing, statistics,
# table lines, the measuring tools and the simulated boards they run on.
# Sourced from the repository's top folder.

runs=${RUNS:-5}
clock=${BENCH_CLOCK:-cpu}          # cpu: user + system time; wall: elapsed time
bin=${BENCH_BIN:-build/release/bin}
lib=${BENCH_LIB:-build/release/lib}
tools=${BENCH_TOOLS:-build/release/bench}
export NANDEMU_PRELOAD=$PWD/$lib/libnandemu.so

readonly PAGE=2048 BLOCK=131072
# The four images: name, blocks summed or copied, low and high partition.
readonly IMAGES=("s1l 1 0 6" "uboot 4 1 7" "kernel 128 2 8" "appfs 680 5 12")

die() {
  echo "bench: $*" >&2
  exit 1
}

# The release build, with the measuring tools (targets of bench/CMakeLists.txt
# in build/release/bench): the floor's page mover, the file checksum on its
# own (the verifier's library, as the program links it) and the peak-memory
# reporter.
build_release() {
  cmake --preset release -DFW_WERROR=ON >/dev/null
  cmake --build --preset release -j2 >/dev/null
}

# Numbers one a line in; "median min max" out (the lower median for an
# even count). Fails on no input.
stats() {
  sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) exit 1; printf "%.4f %.4f %.4f\n", v[int((NR + 1) / 2)], v[1], v[NR] }'
}

# The largest of the numbers one a line in.
largest() {
  sort -g | tail -n 1
}

# The cost of one run of CMD in seconds by $clock. CPU time counts CMD and
# everything it waited for (the shell and tools a program starts), and not
# the time spent waiting for a core on a busy machine.
seconds() {
  local TIMEFORMAT='%3R %3U %3S' t
  t=$( { time "$@" >/dev/null 2>&1; } 2>&1 ) || { echo "bench: failed: $*" >&2; return 1; }
  set -- $t
  if [ "$clock" = wall ]; then echo "$1"; else echo "$2 + $3" | bc -l; fi
}

none() { :; }

# measure SETUP CMD...: "median min max" of $runs runs of CMD, SETUP run
# untimed before each.
measure() {
  local setup=$1 i
  shift
  for ((i = 0; i < runs; i++)); do
    "$setup" >/dev/null 2>&1 || { echo "bench: setup $setup failed" >&2; return 1; }
    seconds "$@" || return 1
  done | stats
}

# pair SETUP_A A SETUP_B B: $runs runs of A and of B taken in turn, so a
# change in the machine's load falls on both alike; "median min max" of A,
# then of B, one line each. A, B and the setups are commands without
# arguments (functions); each setup runs untimed before its command.
pair() {
  local i ta tb ok=1
  ta=$(mktemp) tb=$(mktemp)
  for ((i = 0; i < runs && ok; i++)); do
    "$1" >/dev/null 2>&1 && seconds "$2" >>"$ta" && "$3" >/dev/null 2>&1 && seconds "$4" >>"$tb" || ok=0
  done
  [ "$ok" -eq 1 ] && stats <"$ta" && stats <"$tb" || ok=0
  rm -f "$ta" "$tb"
  [ "$ok" -eq 1 ]
}

# timed VAR_A VAR_B SETUP_A A SETUP_B B: pair's two lines into two variables.
timed() {
  local result
  result=$(pair "${@:3}") || die "timing $4 against $6 failed"
  printf -v "$1" '%s' "$(sed -n 1p <<<"$result")"
  printf -v "$2" '%s' "$(sed -n 2p <<<"$result")"
}

ratio() { echo "$1 / $2" | bc -l; }

# meets VALUE OP LIMIT: "ok" or "MISS", OP one of <= >= < ==.
meets() {
  awk -v v="$1" -v op="$2" -v l="$3" 'BEGIN {
    ok = (op == "<=") ? v <= l : (op == ">=") ? v >= l : (op == "<") ? v < l : (op == "==") ? v == l : 0
    print ok ? "ok" : "MISS" }'
}

readonly ROW_FORMAT="%-52s %8s %8s %8s %8s %7s  %-8s %s\n"
readonly FIGURE_FORMAT="%-70s %10s  %-8s %s\n"

row_header() { printf "$ROW_FORMAT" "row (seconds)" median min max floor ratio goal result; }
figure_header() { printf "$FIGURE_FORMAT" "figure" value goal result; }

# row NAME "median min max" FLOOR_MEDIAN RATIO [OP LIMIT]: one table line;
# without a goal the result column shows "-".
row() {
  local name=$1 m=$2 f=$3 r=$4 op=${5:-} limit=${6:-}
  local goal=- result=-
  if [ -n "$op" ]; then goal="$op $limit"; result=$(meets "$r" "$op" "$limit"); fi
  printf "$ROW_FORMAT" "$name" $m "$f" "$(printf '%.2fx' "$r")" "$goal" "$result"
}

# figure NAME VALUE [OP LIMIT]
figure() {
  local name=$1 value=$2 op=${3:-} limit=${4:-}
  local goal=- result=-
  if [ -n "$op" ]; then goal="$op $limit"; result=$(meets "$value" "$op" "$limit"); fi
  printf "$FIGURE_FORMAT" "$name" "$value" "$goal" "$result"
}

# heap_allocs BOARD|- PROG ARGS...: the heap allocations of one run of PROG,
# counted by valgrind, on the board or (with -) directly.
heap_allocs() {
  local board=$1 log
  shift
  log=$(mktemp)
  local vg=(valgrind --log-file="$log" "$@")
  if [ "$board" = - ]; then "${vg[@]}"; else "$bin/simboard" run "$board" -- "${vg[@]}"; fi >/dev/null 2>&1 || true
  sed -n 's/.*total heap usage: \([0-9,]*\) allocs.*/\1/p' "$log" | tr -d , | head -n 1
  rm -f "$log"
}

# Peak resident memory (KiB) of the process named PROG in one run of CMD.
peak_kib() {
  local prog=$1 file
  shift
  file=$(mktemp)
  BENCH_PEAK_PROG=$prog BENCH_PEAK_FILE=$file NANDEMU_PRELOAD="$NANDEMU_PRELOAD:$PWD/$tools/peakmem.so" \
    LD_PRELOAD=${LD_PRELOAD:+$LD_PRELOAD:}$PWD/$tools/peakmem.so "$@" >/dev/null 2>&1 || true
  awk -v p="$prog" '$1 == p { print $2 }' "$file"
  rm -f "$file"
}

# random_file PATH BYTES: random bytes, kept from an earlier run when the
# file already has that length.
random_file() {
  [ "$(stat -c %s "$1" 2>/dev/null || echo 0)" -eq "$2" ] || head -c "$2" /dev/urandom >"$1"
}

# make_images DIR APP_BLOCKS: one random image per boot image; the
# application image APP_BLOCKS blocks long, the others their full length.
make_images() {
  local dir=$1 app=$2 entry name blocks
  mkdir -p "$dir"
  for entry in "${IMAGES[@]}"; do
    set -- $entry
    name=$1 blocks=$2
    [ "$name" = appfs ] && blocks=$app
    random_file "$dir/$name.img" $((blocks * BLOCK))
  done
}

# flash_board BOARD IMAGES [simboard create options]: a board as it leaves
# an update: both sets flashed with the images, the backups and their
# checksum files on the SD card, and the table and flag written by the
# boot-set manager itself (low set updating, then the update finished).
flash_board() {
  local board=$1 images=$2 entry
  shift 2
  rm -rf "$board"
  "$bin/simboard" create "$board" "$@" >/dev/null
  for entry in "${IMAGES[@]}"; do
    set -- $entry
    "$bin/simboard" load "$board" "mtd$3" "$images/$1.img"
    "$bin/simboard" load "$board" "mtd$4" "$images/$1.img"
    "$bin/simboard" sd "$board" "$1" "$images/$1.img"
  done
  "$bin/simboard" run "$board" -- tolvane -l >/dev/null 2>&1 || die "tolvane -l failed on $board"
  "$bin/simboard" run "$board" -- tolvane -o >/dev/null 2>&1 || die "tolvane -o failed on $board"
  "$bin/simboard" log "$board" --clear
}
