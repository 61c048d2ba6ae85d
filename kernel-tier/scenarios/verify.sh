# bad: mtd2:1
# needs: quillet nanddump nandwrite flash_eraseall
# The verifier over a board whose images match their backups except the
# high kernel (rewritten from the backup), with a bad block inside the low
# kernel's range (the dump comes out short and is read again).
. ./lib.sh
images ""
images ".other"
for name in s1l uboot kernel appfs; do
    backup $name
done
load_set low ""
load_set high ""
load /dev/mtd8 "$KT_TMP/kernel.other"
run quillet
