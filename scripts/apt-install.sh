#!/bin/sh
# Installs Debian packages for the set-up scripts: apt-install.sh NAME [PACKAGE...]
# NAME starts the messages. As root, or through sudo when it is there. The
# package lists are updated first (with no package named, that is all it
# does); another apt run's lock is waited for, not failed on.
set -eu
name=$1
shift
# APT_COLLECT=FILE: only note the packages (a line each call, maybe empty)
# for one later run of this script that installs them all.
if [ -n "${APT_COLLECT:-}" ]; then
    echo "$*" >>"$APT_COLLECT"
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then
        SUDO=sudo
    else
        echo "$name: need root to install: $*" >&2
        exit 1
    fi
else
    SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
# A mirror in the middle of a sync serves an index of the wrong size for a
# while: the update is tried again, then the install goes on with the lists
# it has (it fails by itself if a package is not in them).
update() { $SUDO apt-get update -o DPkg::Lock::Timeout=600; }
update || { sleep 20; update; } || echo "$name: the package lists are not all up to date; going on" >&2
if [ $# -gt 0 ]; then
    echo "$name: installing $*"
    # dpkg syncs each file it unpacks by default: for the tiers' 350 packages
    # the install took 103 s so, 83 s unsynced. Unsynced, a crash of the
    # machine mid-install could leave a package's files short, as after any crash.
    $SUDO apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=600 \
        -o Dpkg::Options::=--force-unsafe-io "$@"
fi
