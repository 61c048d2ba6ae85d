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
# nandsim's ECC, software Hamming: 1 bit corrected in each 256-byte step.
# The simulated boards are made with the same.
KT_ECC_STEP=256
KT_ECC_STRENGTH=1
SD=/mnt/sd
BACKUP=$SD/backup
# The partitions whose bytes are compared after a scenario: images, flag, tables.
KT_COMPARED="0 1 2 3 5 6 7 8 9 10 12"

kt_now() { cut -d' ' -f1 /proc/uptime; }

# show PREFIX FILE: the file's lines behind PREFIX, the temporary folder
# named $TMP (it differs between the boards), and a note when the last line
# has no line end (tools disagree on adding one).
show() {
    awk -v p="$1" -v tmp="$KT_TMP" '
        { while ((i = index($0, tmp)) > 0) $0 = substr($0, 1, i - 1) "$TMP" substr($0, i + length(tmp))
          print p "| " $0 }' "$2"
    if [ -s "$2" ] && [ "$(tail -c 1 "$2" | wc -l)" -eq 0 ]; then
        echo "$1\\ no newline at end"
    fi
}

# run CMD [ARGS...]: the command line, its standard output and standard error
# (each marked), its exit status. Durations go to KT_TIMES, not the transcript.
run() {
    echo "$*" >"$KT_TMP/run.cmd"
    show '$' "$KT_TMP/run.cmd"
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

# load DEV FILE: erases the partition and writes FILE into it, bad blocks
# skipped, through the MTD tools; prints a line only when that fails.
load() {
    { flash_eraseall "$1" && nandwrite -p "$1" "$2"; } >"$KT_TMP/load.out" 2>&1 ||
        { echo "load $1 $2 failed:"; show '!' "$KT_TMP/load.out"; }
}

# The four images and their sizes in bytes.
KT_IMAGES="s1l:65536 uboot:262144 kernel:524288 appfs:524288"
image_size() {
    for kt_i in $KT_IMAGES; do
        [ "${kt_i%%:*}" = "$1" ] && echo "${kt_i#*:}"
    done
}

# images SUFFIX: the four images in KT_TMP, named and seeded NAME SUFFIX, so
# another SUFFIX gives other contents.
images() {
    for kt_i in $KT_IMAGES; do
        mkimage "$KT_TMP/${kt_i%%:*}$1" "${kt_i#*:}" "${kt_i%%:*}$1"
    done
}

# load_set low|high SUFFIX: the four images SUFFIX into one set's partitions.
load_set() {
    if [ "$1" = low ]; then set -- "0 1 2 5" "$2"; else set -- "6 7 8 12" "$2"; fi
    set -- $1 "$2"
    load /dev/mtd$1 "$KT_TMP/s1l$5"
    load /dev/mtd$2 "$KT_TMP/uboot$5"
    load /dev/mtd$3 "$KT_TMP/kernel$5"
    load /dev/mtd$4 "$KT_TMP/appfs$5"
}

# bitflip DEV OFFSET BIT: from now on reads find that bit of the partition's
# byte flipped, as the ECC sees a bit that changed in the cells. In the VM
# mtdprobe clears it in a raw write, which leaves the page's ECC bytes as
# they were; so the bit must be 1, and a rewrite cures it. On the simulated
# board a flip fault is added (KT_SIMBOARD is the board tool).
bitflip() {
    if [ -n "${NANDEMU_BOARD:-}" ]; then
        env -u LD_PRELOAD "$KT_SIMBOARD" fault "$NANDEMU_BOARD" --add "flip=${1#/dev/}:$2:$3"
    else
        mtdprobe clear-bit "$1" "$2" "$3"
    fi
}

# zero DEV PAGE: programs a page of zeros (over an erased page it changes
# the content; over a programmed one it clears it, NAND ANDs).
zero() {
    head -c $PAGE /dev/zero >"$KT_TMP/zero.page"
    put "$1" "$KT_TMP/zero.page" "$2"
}

# image_sum SIZE SEED: the verifier's file checksum, as its 32-character
# text, of the image mkimage makes from SIZE and SEED, worked out from the
# repeated line (BusyBox's od and awk take seconds per 100 KiB in the VM).
# Images stay below 1,000,000,000 / 255 bytes, where the checksum is the
# plain byte sum.
image_sum() {
    kt_line="image $2 $2$2 $2$2$2"
    kt_len=$((${#kt_line} + 1))
    kt_sum() { od -An -v -tu1 | awk '{ for (i = 1; i <= NF; i++) s += $i } END { print s + 0 }'; }
    kt_whole=$(echo "$kt_line" | kt_sum)
    kt_part=$(echo "$kt_line" | head -c $(($1 % kt_len)) | kt_sum)
    printf '%032d' $(($1 / kt_len * kt_whole + kt_part))
}

# backup NAME [SUFFIX]: image NAME (made by images SUFFIX) as the SD card's
# backup NAME, with both checksum files.
backup() {
    # Not mkdir -p: it walks with chdir and relative names, which the
    # simulated board's SD mapping does not see.
    [ -d "$BACKUP" ] || mkdir "$BACKUP"
    cat "$KT_TMP/$1${2:-}" >"$BACKUP/$1.bak"
    image_sum "$(image_size "$1")" "$1${2:-}" >"$BACKUP/$1.as1"
    cp "$BACKUP/$1.as1" "$BACKUP/$1.as2"
}

# flash_digest: one line per compared partition, "mtdN DIGEST BYTES"
# (mtdprobe digest). The program opens the device itself: on the simulated
# board a descriptor that the shell opened does not reach the MTD in a child.
flash_digest() {
    for n in $KT_COMPARED; do
        echo "mtd$n $(mtdprobe digest /dev/mtd$n)"
    done
}

# sd_digest DIR: the SD card's files under DIR, "MD5 SIZE PATH", sorted.
sd_digest() {
    (cd "$1" && find . -type f | sort | while read -r f; do
        echo "$(md5sum <"$f" | cut -d' ' -f1) $(wc -c <"$f" | tr -d ' ') $f"
    done)
}
