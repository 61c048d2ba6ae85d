# bad:
# needs: tolvane nandwrite flash_eraseall
# The maintenance pass repairs an image in each direction (kernel 2 from
# kernel 1, application 1 from application 2: the 680-block copy) and
# leaves the S1L alone when both copies differ from the record.
. ./lib.sh
images ""
images ".other"
load_set low ""
run tolvane -h
load_set high ""
run tolvane -o
load /dev/mtd8 "$KT_TMP/kernel.other"
load /dev/mtd5 "$KT_TMP/appfs.other"
load /dev/mtd0 "$KT_TMP/s1l.other"
load /dev/mtd6 "$KT_TMP/s1l.other"
run tolvane -m
run tolvane -m
