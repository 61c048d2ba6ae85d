# bad:
# needs: tolvane
# A fresh board: the first -o builds the table from the blank images, then
# an update of the low and the high set, then a maintenance pass that finds
# everything good (the time of a full scan of the 512 MiB board).
. ./lib.sh
run tolvane -o
run tolvane -l
run tolvane -h
run tolvane -o
run tolvane -m
