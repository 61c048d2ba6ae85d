#include "flash_layout.h"

#include <cstdio>

namespace testboard {

const std::array<Image, 4> kImages = {{
    {"s1l", 0, 6, 1},
    {"uboot", 1, 7, 4},
    {"kernel", 2, 8, 128},
    {"appfs", 5, 12, 680},
}};

void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t get32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

uint32_t checksumOf(const Record& r) {
    uint32_t s = 0;
    for (size_t i = 10; i < r.size(); ++i)
        s += r[i];
    return s;
}

Record makeRecord(const Fields& f, uint32_t marker, int32_t sumError) {
    Record r{};
    put32(&r[0], marker);
    r[8] = static_cast<uint8_t>(f.length);
    r[9] = static_cast<uint8_t>(f.length >> 8);
    r[10] = f.high;
    r[11] = f.low;
    for (int i = 0; i < 4; ++i)
        put32(&r[12 + 4 * i], f.sums[i]);
    put32(&r[4], checksumOf(r) + static_cast<uint32_t>(sumError));
    return r;
}

Fields fieldsOf(const Record& r) {
    Fields f;
    f.length = static_cast<uint16_t>(r[8] | r[9] << 8);
    f.high = r[10];
    f.low = r[11];
    for (int i = 0; i < 4; ++i)
        f.sums[i] = get32(&r[12 + 4 * i]);
    return f;
}

bool verifies(const Record& r) { return get32(&r[0]) == kTableMarker && get32(&r[4]) == checksumOf(r); }

Flag makeFlag(uint32_t reference, uint32_t marker, uint32_t end) {
    Flag f{};
    put32(&f[0], marker);
    put32(&f[4], reference);
    put32(&f[8], end);
    return f;
}

std::string hexBytes(const uint8_t* bytes, size_t n) {
    std::string s;
    char cell[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(cell, sizeof cell, "%02x", bytes[i]);
        s += cell;
    }
    return s;
}

}  // namespace testboard
