#!/bin/sh
# tier.sh BINDIR WORKDIR SCENARIO...
# The kernel tier's run: takes the kernel, builds the initramfs with the
# build's static programs, then runs every scenario in the VM on nandsim and,
# meanwhile, on the simulated board with BINDIR's programs. Results in
# WORKDIR/vm/NAME and WORKDIR/emu/NAME, for compare.sh. Fails when either
# platform fails to run.
set -eu
bin=${1:?usage: tier.sh BINDIR WORKDIR SCENARIO...}
work=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$work"
work=$(cd "$work" && pwd)

for tool in qemu-system-x86_64 xz apt-get dpkg; do
    command -v $tool >/dev/null 2>&1 || { echo "tier: $tool is missing: run scripts/kernel-setup.sh as root" >&2; exit 1; }
done
busybox=${KT_BUSYBOX:-/bin/busybox}
"$busybox" cpio --help >/dev/null 2>&1 && "$busybox" depmod --help >/dev/null 2>&1 ||
    { echo "tier: $busybox (busybox-static) is missing: run scripts/kernel-setup.sh as root" >&2; exit 1; }

stamp() { echo "tier: $* ($(cut -d' ' -f1 /proc/uptime))"; }
start=$(cut -d' ' -f1 /proc/uptime)
stamp "kernel"
sh "$here/fetch-kernel.sh" "$work/kernel"
# The build links them beside its own programs (tests/kernel/CMakeLists.txt).
[ -f "$work/static/bin/programs" ] || { echo "tier: no static programs in $work/static: build kernel_tier_programs" >&2; exit 1; }
stamp "initramfs"
sh "$here/mkinitramfs.sh" "$work/initramfs.cpio" "$work/kernel" "$work/static/bin" "$@"

stamp "VM and simulated board"
sh "$here/run-vm.sh" "$work/kernel" "$work/initramfs.cpio" "$work/vm" &
vm=$!
emu=0
sh "$here/run-emulator.sh" "$bin" "$work/emu" "$@" || emu=$?
vmstatus=0
wait $vm || vmstatus=$?
stamp "done"
for s in "$@"; do
    printf 'tier: %-24s kernel %6ss  simulated board %6ss\n' "$s" \
        "$(cat "$work/vm/$s/seconds" 2>/dev/null || echo -)" "$(cat "$work/emu/$s/seconds" 2>/dev/null || echo -)"
done
if [ -n "$(cat "$work"/vm/*/times 2>/dev/null)" ]; then
    echo "tier: slowest commands in the VM:"
    cat "$work"/vm/*/times | sort -rn | head -n 5 | sed 's/^/tier:   /'
fi
echo "$start $(cut -d' ' -f1 /proc/uptime)" | awk '{ printf "tier: wall time %.1f s\n", $2 - $1 }'
[ "$vmstatus" -eq 0 ] || { echo "tier: the VM run failed ($vmstatus); console: $work/vm/console.log" >&2; exit 1; }
[ "$emu" -eq 0 ] || { echo "tier: the simulated board run failed ($emu)" >&2; exit 1; }
