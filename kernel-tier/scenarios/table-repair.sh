# bad:
# needs: tolvane flash_eraseall
# The maintenance pass repairs a table copy in each direction: an erased
# copy 2 from copy 1, then an erased copy 1 from copy 2.
. ./lib.sh
run tolvane -o
run tolvane -h
run flash_eraseall /dev/mtd10
run tolvane -m
run flash_eraseall /dev/mtd9
run tolvane -m
run tolvane -o
run flash_eraseall /dev/mtd10
run tolvane -m
