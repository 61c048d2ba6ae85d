#!/bin/sh
# run-vm.sh KERNELDIR INITRAMFS OUTDIR
# Boots the kernel on the initramfs (TCG, or KVM with KT_ACCEL=kvm), waits
# for the power-off, and unpacks each scenario's results into OUTDIR/NAME.
# OUTDIR/console.log is the kernel's console; OUTDIR/serial.txt the raw
# results stream.
set -eu
kernel=${1:?usage: run-vm.sh KERNELDIR INITRAMFS OUTDIR}
initramfs=$2
out=$3
limit=${KT_VM_TIMEOUT:-240}
mkdir -p "$out"
rm -rf "${out:?}"/*

# TCG unless KT_ACCEL=kvm: the scenarios finish in under a minute under TCG,
# and KVM inside a virtual machine (as on the build machines) may be there
# and still fail at boot (an emulation failure, an MSR it cannot set).
accel="-accel tcg"
if [ "${KT_ACCEL:-tcg}" = kvm ] && [ -r /dev/kvm ] && [ -w /dev/kvm ]; then
    accel="-accel kvm -accel tcg"
fi
status=0
# shellcheck disable=SC2086
timeout "$limit" qemu-system-x86_64 $accel -m 1536 -smp 1 -nodefaults -display none -no-reboot \
    -serial "file:$out/console.log" -serial "file:$out/serial.txt" \
    -kernel "$kernel/vmlinux" -initrd "$initramfs" \
    -append "console=ttyS0 loglevel=4 panic=-1" </dev/null >"$out/qemu.log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
    echo "run-vm: qemu ended with status $status (124: no power-off within ${limit}s)" >&2
    cat "$out/qemu.log" >&2
fi

# Each scenario's results arrive as a base64 tar between @@begin and @@end.
tr -d '\r' <"$out/serial.txt" | awk -v dir="$out" '
    /^@@begin / { name = $2; file = dir "/" name ".b64"; printf "" > file; next }
    /^@@end /   { close(file); name = ""; next }
    name != ""  { print >> file }'
for b in "$out"/*.b64; do
    [ -f "$b" ] || continue
    base64 -d "$b" | tar -x -C "$out" && rm "$b"
done
grep -q '^@@done' "$out/serial.txt" || { echo "run-vm: the VM did not finish its scenarios" >&2; exit 1; }
exit "$status"
