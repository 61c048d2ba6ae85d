# bad:
# needs: mtdprobe nanddump nandwrite flash_eraseall
# nandsim's ECC against a board made with its step and strength: one flipped
# bit in a 256-byte step is corrected and counted, two are read as the cells
# hold them and counted as one failure, on every read that covers the step,
# a whole page or a part of one.
. ./lib.sh
sys=/sys/class/mtd/mtd4
ecc_counts() { run cat $sys/corrected_bits $sys/ecc_failures; }
run cat $sys/ecc_strength $sys/ecc_step_size $sys/bitflip_threshold $sys/uevent ${sys}ro/uevent
mkimage "$KT_TMP/img" 8192 ecc
load /dev/mtd4 "$KT_TMP/img"
# Bit 5 is 1 in every byte of the image but its line ends (every 27th).
bitflip /dev/mtd4 100 5
bitflip /dev/mtd4 2400 5
bitflip /dev/mtd4 2410 6
ecc_counts
run nanddump -o -b -f $SD/ecc.bin -l 8192 /dev/mtd4
ecc_counts
run md5sum "$KT_TMP/img" $SD/ecc.bin
run sh -c "dd if=/dev/mtd4 bs=16 skip=150 count=1 2>/dev/null | md5sum"
run sh -c "dd if=/dev/mtd4 bs=1 skip=100 count=1 2>/dev/null | md5sum"
ecc_counts
