#!/bin/sh
# compile.sh CC FOLDER OUT [FLAGS...]: builds freestanding.c with CC at each
# optimisation level a boot loader may use, as a program of its own with no
# library and entry() as its start.
set -eu
cc=$1 include=$2 out=$3
shift 3
for level in -O0 -O2 -Os; do
  "$cc" -std=c99 -ffreestanding -nostdlib -static -Wall -Wextra -pedantic -Werror "$level" "$@" \
    -I"$include" -e entry "$(dirname "$0")/freestanding.c" -o "$out$level"
done
