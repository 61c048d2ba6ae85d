#!/bin/sh
# mkinitramfs.sh OUT.cpio KERNELDIR STATICBIN SCENARIO...
# The tier's initramfs: static BusyBox, the static programs of STATICBIN in
# /bin and the MTD tools beside it (STATICBIN/../libexec) in /libexec, the
# modules of KERNELDIR/modules in their load order, /init, and the scenarios
# (kernel-tier/scenarios/NAME.sh) in the order given. Uncompressed: under
# TCG the kernel unpacks a plain archive faster than it inflates one.
set -eu
out=${1:?usage: mkinitramfs.sh OUT.cpio KERNELDIR STATICBIN SCENARIO...}
kernel=$2
bin=$3
shift 3
here=$(cd "$(dirname "$0")" && pwd)
case $out in /*) ;; *) out=$PWD/$out ;; esac
busybox=${KT_BUSYBOX:-/bin/busybox}

root="$out.root"
rm -rf "$root"
mkdir -p "$root/bin" "$root/dev" "$root/proc" "$root/sys" "$root/tmp" "$root/mnt/sd" \
    "$root/lib/modules" "$root/scenarios"
cp "$busybox" "$root/bin/busybox"
ln -s busybox "$root/bin/sh"
for p in $(cat "$bin/programs"); do
    cp "$bin/$p" "$root/bin/$p"
done
[ ! -d "$bin/../libexec" ] || cp -R "$bin/../libexec" "$root/libexec"
cp "$kernel"/modules/*.ko "$kernel/modules/order" "$root/lib/modules/"
cp "$here/init" "$root/init"
cp "$here/scenarios/lib.sh" "$root/scenarios/"
for s in "$@"; do
    cp "$here/scenarios/$s.sh" "$root/scenarios/"
    echo "$s" >>"$root/scenarios/list"
done
(cd "$root" && find . | sort | "$busybox" cpio -o -H newc >"$out.tmp" 2>/dev/null)
mv "$out.tmp" "$out"
rm -rf "$root"
