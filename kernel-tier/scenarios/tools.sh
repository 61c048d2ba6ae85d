# bad: mtd7:1 mtd1:0
# needs: nanddump nandwrite flash_eraseall
# The MTD tools the verifier starts, around bad blocks: erase, padded write,
# dumps short by a bad block, and their refusals.
. ./lib.sh
mkimage "$KT_TMP/img" 300000 tools
run flash_eraseall /dev/mtd7
run nandwrite -p /dev/mtd7 "$KT_TMP/img"
run nanddump -o -b -f $SD/three.bin -l 393216 /dev/mtd7
run nanddump -o -b -f $SD/all.bin /dev/mtd7
run nandwrite /dev/mtd1 "$KT_TMP/img"
head -c 1048576 /dev/zero >"$KT_TMP/big"
run nandwrite -p /dev/mtd1 "$KT_TMP/big"
run nanddump -o -b -f $SD/past.bin -l 2097152 /dev/mtd7
run nanddump -o -b -f $SD/odd.bin -l 1000 /dev/mtd7
run flash_eraseall /dev/mtd1
head -c 131072 "$KT_TMP/img" >"$KT_TMP/block"
run nandwrite /dev/mtd1 "$KT_TMP/block"
run nanddump -o -b -f $SD/one.bin -l 262144 /dev/mtd1
run flash_eraseall /dev/mtd13
note "checksum of the image: $(image_sum 300000 tools)"
