#!/bin/sh
# Installs what the kernel tier needs: QEMU for x86_64, static BusyBox for the
# initramfs, xz for the kernel image, and an apt package list that knows
# Debian's kernel package (the tier downloads it, never installs it). Safe to
# run again: with everything present apt is not touched.
set -eu

need=""
have() { command -v "$1" >/dev/null 2>&1; }

have qemu-system-x86_64 || need="$need qemu-system-x86"
/bin/busybox cpio --help >/dev/null 2>&1 && /bin/busybox depmod --help >/dev/null 2>&1 &&
    file -L /bin/busybox 2>/dev/null | grep -q 'statically linked' || need="$need busybox-static"
have xz || need="$need xz-utils"
have file || need="$need file"
knows_kernel() { apt-cache depends linux-image-amd64 2>/dev/null | grep -q 'Depends: linux-image-'; }

[ -z "$need" ] && knows_kernel && exit 0

# shellcheck disable=SC2086
sh "$(dirname "$0")/apt-install.sh" kernel-setup $need
[ -z "${APT_COLLECT:-}" ] || exit 0
knows_kernel || { echo "kernel-setup: apt knows no linux-image-amd64" >&2; exit 1; }
