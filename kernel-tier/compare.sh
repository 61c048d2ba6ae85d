#!/bin/sh
# compare.sh VMDIR EMUDIR NAME
# Compares one scenario's outcome on the kernel (VMDIR/NAME) and on the
# simulated board (EMUDIR/NAME): transcript, exit status, partition bytes and
# SD card. Only what must differ is normalised (the build banner's time).
# Prints every difference; exit status 1 when there is one.
set -eu
vm=${1:?usage: compare.sh VMDIR EMUDIR NAME}/$3
emu=$2/$3
name=$3
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

[ -f "$vm/status" ] || { echo "$name: no result from the kernel"; cat "$vm/error" 2>/dev/null; exit 1; }
[ -f "$emu/status" ] || { echo "$name: no result from the simulated board"; exit 1; }

# The probe's driver-dependent cases are set aside, and shown.
dependent=$(awk '!/^#/ && NF { print $1 }' "$here/driver-dependent" | tr '\n' '|' | sed 's/|$//')
setaside() {
    if [ "$name" = probe ]; then grep -Ev "^1\| ($dependent): " || true; else cat; fi
}
normalise() {
    sed -E 's/(compiler time : )[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}/\1DATE TIME/' "$1" |
        setaside
}

differ=0
for part in transcript status flash sd; do
    normalise "$vm/$part" >"$tmp/kernel"
    normalise "$emu/$part" >"$tmp/emulator"
    if ! diff -u --label "kernel/$name/$part" --label "emulator/$name/$part" \
        "$tmp/kernel" "$tmp/emulator" >"$tmp/diff"; then
        cat "$tmp/diff"
        differ=1
    fi
done
if [ "$name" = probe ]; then
    grep -E "^1\| ($dependent): " "$vm/transcript" >"$tmp/kernel" || true
    grep -E "^1\| ($dependent): " "$emu/transcript" >"$tmp/emulator" || true
    paste -d'\n' "$tmp/kernel" "$tmp/emulator" | sed 's/^1| //' |
        awk 'NR % 2 { k = $0; next } k != $0 { print "driver-dependent, not compared: kernel " k "; emulator " $0 }'
fi
exit $differ
