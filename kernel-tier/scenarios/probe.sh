# bad: mtd4:2
# needs: mtdprobe
# The differential probe: every MTD call the programs and tools make, at the
# edges, on a partition with a bad block and on the chip's last partition.
. ./lib.sh
run mtdprobe /dev/mtd4 /dev/mtd12
