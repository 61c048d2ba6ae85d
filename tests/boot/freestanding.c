/* The boot side's reader as a boot loader builds it: freestanding C99,
 * linked with no library at all, so a call into one fails the link. */
#include "tolvane_boot.h"

int tolvane_boot_probe(const uint8_t* flag, const uint8_t* copy1, const uint8_t* copy2);
void entry(void);

int tolvane_boot_probe(const uint8_t* flag, const uint8_t* copy1, const uint8_t* copy2) {
    struct tolvane_view v;
    tolvane_read(flag, copy1, copy2, &v);
    return v.reader.set + 4 * v.reader.copy + tolvane_reason_text(v.reader.reason)[0] +
           tolvane_updating_text(v.reader.updating)[0] + tolvane_state_text(v.copies[0].state)[0];
}

void entry(void) {
    volatile int sink;
    for (;;)
        sink = tolvane_boot_probe(NULL, NULL, NULL);
    (void)sink;
}
