#!/bin/sh
# fetch-kernel.sh OUT
# Takes Debian's current amd64 kernel package without installing it and
# leaves in OUT what the tier boots: vmlinux (the uncompressed kernel, booted
# through its PVH entry, twice as fast as the compressed image under TCG),
# modules/ with nandsim and everything it needs, and modules/order, the
# insmod order. Idempotent: a second run with the same package does nothing.
set -eu
out=${1:?usage: fetch-kernel.sh OUT}
meta=${KERNEL_TIER_META:-linux-image-amd64}

die() { echo "fetch-kernel: $*" >&2; exit 1; }

# The metapackage depends on exactly one versioned image package.
pkg=$(apt-cache depends "$meta" 2>/dev/null | awk '/Depends: linux-image-/ { print $2; exit }')
[ -n "$pkg" ] || die "apt knows no $meta (run scripts/kernel-setup.sh)"
if [ -f "$out/stamp" ] && [ "$(cat "$out/stamp")" = "$pkg" ] &&
   [ -f "$out/vmlinux" ] && [ -f "$out/modules/order" ]; then
    exit 0
fi

mkdir -p "$out"
work="$out/unpack"
rm -rf "$work" "$out/modules" "$out/vmlinux" "$out/stamp"
mkdir -p "$work"
(cd "$work" && apt-get download -q "$pkg" >/dev/null 2>&1) || die "apt-get download $pkg failed"
dpkg -x "$work"/*.deb "$work/root"

vmlinuz=$(ls "$work"/root/boot/vmlinuz-* | head -n 1)
kver=${vmlinuz##*/vmlinuz-}
moddir="$work/root/lib/modules/$kver"

# vmlinuz is a decompressor stub followed by one XZ stream holding the ELF image.
xzoff=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$vmlinuz" | head -n 1 | cut -d: -f1)
[ -n "$xzoff" ] || die "no XZ stream in $vmlinuz"
tail -c +$((xzoff + 1)) "$vmlinuz" | xz -dc --single-stream > "$out/vmlinux.tmp"
mv "$out/vmlinux.tmp" "$out/vmlinux"

# The package ships no modules.dep: build one, then take nandsim's line,
# which lists its dependencies transitively, those needed first last.
[ -f "$moddir/modules.dep" ] || busybox depmod -b "$work/root" "$kver"
deps=$(awk -F': *' '$1 ~ /\/nandsim\.ko(\.[a-z]+)?$/ { print $1 " " $2; exit }' "$moddir/modules.dep")
[ -n "$deps" ] || die "nandsim is not in $moddir/modules.dep"

mkdir -p "$out/modules"
order=""
for rel in $deps; do
    name=${rel##*/}
    case $name in
        *.ko.xz)  xz -dc "$moddir/$rel" > "$out/modules/${name%.xz}" ;;
        *.ko.gz)  gzip -dc "$moddir/$rel" > "$out/modules/${name%.gz}" ;;
        *.ko.zst) zstd -qdc "$moddir/$rel" > "$out/modules/${name%.zst}" ;;
        *.ko)     cp "$moddir/$rel" "$out/modules/$name" ;;
        *)        die "unexpected module $rel" ;;
    esac
    name=${name%.ko*}.ko
    order="$name $order"    # reverse: dependencies before their users
done
# nandsim itself came first in the list and so ends up last in the order.
echo $order | tr ' ' '\n' > "$out/modules/order"
echo "$kver" > "$out/version"
rm -rf "$work"
echo "$pkg" > "$out/stamp"
