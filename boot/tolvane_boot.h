/*
 * tolvane_boot.h: the boot side's reading of the boot-set records, for a
 * boot loader to compile in.
 *
 * The boot-set manager keeps a 12-byte flag record on /dev/mtd3 and a
 * 28-byte table record twice, table copy 1 on /dev/mtd9 and copy 2 on
 * /dev/mtd10, each at the start of the first page of the first good block
 * of its partition (tolvane(5)). Given those three pages, this header
 * decodes them and says which record the boot side takes and which boot set
 * that record lets it boot.
 *
 * C99, freestanding: it uses only <stdint.h> and <stddef.h>, calls no
 * library function, allocates nothing and keeps no state; every function is
 * static inline. Records are decoded byte by byte, little-endian, so the
 * host's byte order and alignment do not matter. A page pointer may be NULL:
 * the page could not be read.
 */
#ifndef TOLVANE_BOOT_H
#define TOLVANE_BOOT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TOLVANE_RECORD_SIZE 28u          /* the table record */
#define TOLVANE_FLAG_SIZE 12u            /* the flag record */
#define TOLVANE_TABLE_MARKER 0xAAAAAAAAu /* headerMarker of every valid table record */
#define TOLVANE_FLAG_MARKER 0x55555555u  /* headerMarker of a valid flag record */
#define TOLVANE_SUM_FIRST 10u            /* addSum covers bytes 10 to 27 */
#define TOLVANE_IMAGES 4

/* The order of the sums in the record. */
enum tolvane_image { TOLVANE_S1L, TOLVANE_UBOOT, TOLVANE_KERNEL, TOLVANE_APP };

/* The boot sets. */
#define TOLVANE_SET_DEFAULT 0 /* the record vouches for no set: the boot loader's own default */
#define TOLVANE_SET_LOW 1     /* the low set, slot 1: the primary */
#define TOLVANE_SET_HIGH 2    /* the high set, slot 2 */

/* One table record, field by field as stored (offsets in tolvane(5)). */
struct tolvane_record {
    uint32_t headerMarker;                 /* 0 */
    uint32_t addSum;                       /* 4: the stored checksum */
    uint16_t length;                       /* 8: never examined */
    uint8_t highPartitionUpdating;         /* 10 */
    uint8_t lowPartitionUpdating;          /* 11 */
    uint32_t sums[TOLVANE_IMAGES];         /* 12, 16, 20, 24: s1lSum, ubootSum, kernelSum, appSum */
    uint32_t computed;                     /* the checksum of bytes 10 to 27 as read */
};

enum tolvane_copy_state {
    TOLVANE_VALID,          /* marker and checksum right */
    TOLVANE_ERASED,         /* all 28 bytes 0xFF */
    TOLVANE_WRONG_MARKER,   /* not erased, headerMarker is not 0xAAAAAAAA */
    TOLVANE_WRONG_CHECKSUM, /* the marker, but addSum is not the sum of bytes 10 to 27 */
    TOLVANE_UNREADABLE      /* the page could not be read */
};

struct tolvane_copy {
    enum tolvane_copy_state state;
    struct tolvane_record record; /* as decoded; all zero when unreadable */
};

struct tolvane_flag {
    int readable;           /* the page could be read */
    int valid;              /* headerMarker is 0x55555555 */
    uint32_t headerMarker;  /* 0 */
    uint32_t bootReference; /* 4 */
    uint32_t endMarker;     /* 8: never examined */
    int names;              /* the copy the boot side tries first: 2 when valid and bootReference is 2, else 1 */
};

/* Which set the record marks as being updated. */
enum tolvane_updating {
    TOLVANE_UPDATING_NONE,  /* both updating bytes 0 */
    TOLVANE_UPDATING_LOW,   /* lowPartitionUpdating only */
    TOLVANE_UPDATING_HIGH,  /* highPartitionUpdating only */
    TOLVANE_UPDATING_MIXED  /* both non-zero: no command writes this */
};

/* Why the reader took the copy it took. */
enum tolvane_reason {
    TOLVANE_NAMED_VALID, /* the copy the flag names is valid */
    TOLVANE_OTHER_VALID, /* the copy the flag names is not, the other is */
    TOLVANE_NONE_VALID   /* neither copy is valid: no record */
};

struct tolvane_reader {
    int copy;                            /* 1 or 2; 0 when no copy is valid */
    enum tolvane_reason reason;
    const struct tolvane_record* record; /* the copy's record, inside the copies given; NULL with no copy */
    enum tolvane_updating updating;      /* of that record; NONE when there is none */
    int set;                             /* TOLVANE_SET_LOW, TOLVANE_SET_HIGH or TOLVANE_SET_DEFAULT */
};

/* Everything the boot side reads. reader.record points into copies: use the
 * view where tolvane_read filled it in. */
struct tolvane_view {
    struct tolvane_flag flag;
    struct tolvane_copy copies[2];
    struct tolvane_reader reader;
};

static inline uint32_t tolvane_le32(const uint8_t* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

/* The flag record at the start of page (NULL: unreadable, which names copy 1). */
static inline void tolvane_decode_flag(const uint8_t* page, struct tolvane_flag* out) {
    out->readable = page != NULL;
    out->headerMarker = page ? tolvane_le32(page) : 0;
    out->bootReference = page ? tolvane_le32(page + 4) : 0;
    out->endMarker = page ? tolvane_le32(page + 8) : 0;
    out->valid = out->readable && out->headerMarker == TOLVANE_FLAG_MARKER;
    out->names = out->valid && out->bootReference == 2 ? 2 : 1;
}

/* The table record at the start of page, and its state. */
static inline void tolvane_decode_copy(const uint8_t* page, struct tolvane_copy* out) {
    struct tolvane_record* r = &out->record;
    unsigned i;
    int erased = 1;
    if (page == NULL) {
        r->headerMarker = r->addSum = r->computed = 0;
        r->length = 0;
        r->highPartitionUpdating = r->lowPartitionUpdating = 0;
        for (i = 0; i < TOLVANE_IMAGES; ++i)
            r->sums[i] = 0;
        out->state = TOLVANE_UNREADABLE;
        return;
    }
    r->computed = 0;
    r->headerMarker = tolvane_le32(page);
    r->addSum = tolvane_le32(page + 4);
    r->length = (uint16_t)(page[8] | page[9] << 8);
    r->highPartitionUpdating = page[10];
    r->lowPartitionUpdating = page[11];
    for (i = 0; i < TOLVANE_IMAGES; ++i)
        r->sums[i] = tolvane_le32(page + 12 + 4 * i);
    for (i = TOLVANE_SUM_FIRST; i < TOLVANE_RECORD_SIZE; ++i)
        r->computed += page[i];
    for (i = 0; i < TOLVANE_RECORD_SIZE; ++i)
        erased = erased && page[i] == 0xFF;
    if (r->headerMarker == TOLVANE_TABLE_MARKER)
        out->state = r->addSum == r->computed ? TOLVANE_VALID : TOLVANE_WRONG_CHECKSUM;
    else
        out->state = erased ? TOLVANE_ERASED : TOLVANE_WRONG_MARKER;
}

static inline enum tolvane_updating tolvane_updating_of(const struct tolvane_record* r) {
    const int high = r->highPartitionUpdating != 0, low = r->lowPartitionUpdating != 0;
    if (high && low)
        return TOLVANE_UPDATING_MIXED;
    return high ? TOLVANE_UPDATING_HIGH : low ? TOLVANE_UPDATING_LOW : TOLVANE_UPDATING_NONE;
}

/* The set a record lets the boot side boot: the one it does not mark as
 * being updated, the low set when it marks neither; none (the boot loader's
 * own default) when it marks both or there is no record. */
static inline int tolvane_set_of(const struct tolvane_record* r) {
    if (r == NULL)
        return TOLVANE_SET_DEFAULT;
    switch (tolvane_updating_of(r)) {
    case TOLVANE_UPDATING_NONE: return TOLVANE_SET_LOW;
    case TOLVANE_UPDATING_LOW: return TOLVANE_SET_HIGH;
    case TOLVANE_UPDATING_HIGH: return TOLVANE_SET_LOW;
    default: return TOLVANE_SET_DEFAULT;
    }
}

/* The boot side's rule: the copy the flag names if it is valid, else the
 * other if it is valid, else none. */
static inline void tolvane_choose(const struct tolvane_flag* flag, const struct tolvane_copy copies[2],
                                  struct tolvane_reader* out) {
    const int named = flag->names == 2 ? 2 : 1, other = 3 - named;
    if (copies[named - 1].state == TOLVANE_VALID) {
        out->copy = named;
        out->reason = TOLVANE_NAMED_VALID;
    } else if (copies[other - 1].state == TOLVANE_VALID) {
        out->copy = other;
        out->reason = TOLVANE_OTHER_VALID;
    } else {
        out->copy = 0;
        out->reason = TOLVANE_NONE_VALID;
    }
    out->record = out->copy ? &copies[out->copy - 1].record : NULL;
    out->updating = out->record ? tolvane_updating_of(out->record) : TOLVANE_UPDATING_NONE;
    out->set = tolvane_set_of(out->record);
}

/* Decodes the three first pages and chooses. */
static inline void tolvane_read(const uint8_t* flagPage, const uint8_t* copy1Page, const uint8_t* copy2Page,
                                struct tolvane_view* out) {
    tolvane_decode_flag(flagPage, &out->flag);
    tolvane_decode_copy(copy1Page, &out->copies[0]);
    tolvane_decode_copy(copy2Page, &out->copies[1]);
    tolvane_choose(&out->flag, out->copies, &out->reader);
}

static inline const char* tolvane_state_text(enum tolvane_copy_state s) {
    switch (s) {
    case TOLVANE_VALID: return "valid";
    case TOLVANE_ERASED: return "erased";
    case TOLVANE_WRONG_MARKER: return "wrong marker";
    case TOLVANE_WRONG_CHECKSUM: return "wrong checksum";
    default: return "unreadable";
    }
}

static inline const char* tolvane_updating_text(enum tolvane_updating u) {
    switch (u) {
    case TOLVANE_UPDATING_NONE: return "none";
    case TOLVANE_UPDATING_LOW: return "low";
    case TOLVANE_UPDATING_HIGH: return "high";
    default: return "mixed";
    }
}

static inline const char* tolvane_reason_text(enum tolvane_reason r) {
    switch (r) {
    case TOLVANE_NAMED_VALID: return "the copy the flag names is valid";
    case TOLVANE_OTHER_VALID: return "the copy the flag names is not valid, the other is";
    default: return "neither copy is valid";
    }
}

#ifdef __cplusplus
}
#endif

#endif /* TOLVANE_BOOT_H */
