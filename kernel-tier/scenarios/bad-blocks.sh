# bad: mtd9:0 mtd10:2 mtd3:0 mtd2:1 mtd8:0 mtd12:5
# needs: tolvane nandwrite flash_eraseall
# Bad blocks in the flag and the table partitions (their first blocks
# included) and in image partitions, at other places in the two sets: the
# records move to the next good block, sums and copies step over bad blocks.
. ./lib.sh
images ""
images ".other"
load_set low ""
load_set high ""
run tolvane -o
run tolvane -l
run tolvane -h
run tolvane -o
load /dev/mtd2 "$KT_TMP/kernel.other"
run tolvane -m
run tolvane -m
