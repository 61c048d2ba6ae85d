# Sourced by every scenario and by the harness. It runs on both boards: under
# BusyBox in the VM and under the host's shell and tools on the simulated
# board, so it keeps to POSIX sh and to options both tool sets have.
#
# A scenario's first lines name its bad blocks, partition and block within it:
#   # bad: mtd9:0 mtd5:3

KT_TMP=${KT_TMP:-/tmp}
PAGE=2048
BLOCK=131072
# The default board: 512 MiB, 2048-byte pages, 64-byte OOB, 128 KiB blocks;
# partition sizes in blocks, mtd0 to mtd12 (the last takes the rest).
KT_PARTS="4 8 160 4 4 720 4 8 160 4 4 2296 720"
KT_ID_BYTES=0xec,0xdc,0x10,0x95
SD=/mnt/sd
BACKUP=$SD/backup
# The partitions whose bytes are compared after a scenario: images, flag, tables.
KT_COMPARED="0 1 2 3 5 6 7 8 9 10 12"

kt_now() { cut -d' ' -f1 /proc/uptime; }

# show PREFIX FILE: the file's lines behind PREFIX, and a note when its last
# line has no line end (tools disagree on adding one).
show() {
    awk -v p="$1" '{ print p "| " $0 }' "$2"
    if [ -s "$2" ] && [ "$(tail -c 1 "$2" | wc -l)" -eq 0 ]; then
        echo "$1\\ no newline at end"
    fi
}

# run CMD [ARGS...]: the command line, its standard output and standard error
# (each marked), its exit status. Durations go to KT_TIMES, not the transcript.
run() {
    echo "\$ $*"
    kt_t0=$(kt_now)
    "$@" >"$KT_TMP/run.out" 2>"$KT_TMP/run.err"
    kt_status=$?
    if [ -n "${KT_TIMES:-}" ]; then
        echo "$kt_t0 $(kt_now) $*" | awk '{ t = $2 - $1; $1 = ""; $2 = ""; printf "%.2f%s\n", t, $0 }' >>"$KT_TIMES"
    fi
    show 1 "$KT_TMP/run.out"
    show 2 "$KT_TMP/run.err"
    echo "? $kt_status"
}

# note TEXT...: a line of the transcript that is not a command.
note() { echo "# $*"; }

# mkimage FILE SIZE SEED: SIZE bytes that differ from seed to seed.
mkimage() {
    yes "image $3 $3$3 $3$3$3" | head -c "$2" >"$1"
}

# put DEV FILE [PAGE]: FILE's bytes onto the partition from page PAGE on,
# page by page, without skipping bad blocks.
put() {
    dd if="$2" of="$1" bs=$PAGE seek="${3:-0}" conv=notrunc 2>"$KT_TMP/dd.err" ||
        { echo "put $1 $2 failed:"; cat "$KT_TMP/dd.err"; }
}

# zero DEV PAGE: programs a page of zeros (over an erased page it changes
# the content; over a programmed one it clears it, NAND ANDs).
zero() {
    head -c $PAGE /dev/zero >"$KT_TMP/zero.page"
    put "$1" "$KT_TMP/zero.page" "$2"
}

# checksum FILE: the verifier's file checksum as its 32-character text.
checksum() {
    od -An -v -tu1 "$1" | awk '
        { for (i = 1; i <= NF; i++) { s += $i; if (s > 1000000000) s -= 1000000000 } }
        END { printf "%032d", s }'
}

# backup NAME FILE: FILE as the SD card's backup image NAME with both checksum files.
backup() {
    mkdir -p "$BACKUP"
    cat "$2" >"$BACKUP/$1.bak"
    checksum "$2" >"$BACKUP/$1.as1"
    cp "$BACKUP/$1.as1" "$BACKUP/$1.as2"
}

# flash_digest: one line per compared partition, "mtdN MD5". md5sum opens
# the device itself: on the simulated board a descriptor that the shell
# opened does not reach the MTD in a child.
flash_digest() {
    for n in $KT_COMPARED; do
        echo "mtd$n $(md5sum /dev/mtd$n | cut -d' ' -f1)"
    done
}

# sd_digest DIR: the SD card's files under DIR, "MD5 SIZE PATH", sorted.
sd_digest() {
    (cd "$1" && find . -type f | sort | while read -r f; do
        echo "$(md5sum <"$f" | cut -d' ' -f1) $(wc -c <"$f" | tr -d ' ') $f"
    done)
}
