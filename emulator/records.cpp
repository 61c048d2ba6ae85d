#include "records.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <tuple>

namespace nandemu {

namespace {

constexpr uint32_t kSumBlock = 131072;   // the unit of every image block count
constexpr uint32_t kChecksumWrap = 1000000000;

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

// The first page of the first good block: where a record lives.
bool recordPage(const Board& board, int part, std::vector<uint8_t>* page) {
    if (!board.hasPartition(part))
        return false;
    for (uint32_t b = 0; b < board.geometry().parts[part]; ++b)
        if (!board.isBad(part, b)) {
            page->resize(board.geometry().page);
            board.read(part, static_cast<uint64_t>(b) * board.geometry().block, page->data(), page->size());
            return true;
        }
    return false;
}

struct ImageRow {
    const char* name;
    uint32_t blocks;
    int low, high;
};
const ImageRow kImages[] = {{"S1L", 1, 0, 6}, {"U-Boot", 4, 1, 7}, {"kernel", 128, 2, 8}, {"app", 680, 5, 12}};

}  // namespace

std::string hex8(uint32_t v) {
    char buf[16];
    snprintf(buf, sizeof buf, "%08x", v);
    return buf;
}

bool loadImage(Board& board, int part, const std::vector<uint8_t>& image) {
    const Geometry& g = board.geometry();
    uint64_t room = 0;
    for (uint32_t b = 0; b < g.parts[part]; ++b)
        room += board.isBad(part, b) ? 0 : g.block;
    if (image.size() > room)
        return false;
    for (uint32_t b = 0; b < g.parts[part]; ++b)
        if (!board.isBad(part, b))
            board.eraseBlock(part, b);
    std::vector<uint8_t> page(g.page);
    size_t at = 0;
    for (uint32_t b = 0; b < g.parts[part] && at < image.size(); ++b) {
        if (board.isBad(part, b))
            continue;
        for (uint32_t p = 0; p < board.pagesPerBlock() && at < image.size(); ++p, at += g.page) {
            size_t n = std::min<size_t>(g.page, image.size() - at);
            std::fill(page.begin(), page.end(), 0xFF);
            memcpy(page.data(), image.data() + at, n);
            board.programPages(part, static_cast<uint64_t>(b) * g.block + static_cast<uint64_t>(p) * g.page,
                               page.data(), g.page);
        }
    }
    return true;
}

void flipStoredBit(Board& board, int part, uint64_t offset, int bit) {
    // Changing a stored bit either way needs the page rewritten: keep its
    // bytes and its programmed state, erase it and program it again.
    const Geometry& g = board.geometry();
    uint32_t page = static_cast<uint32_t>(offset / g.page);
    uint64_t pageStart = static_cast<uint64_t>(page) * g.page;
    std::vector<uint8_t> bytes(g.page);
    board.read(part, pageStart, bytes.data(), bytes.size());
    bool programmed = board.pageProgrammed(part, page);
    bytes[offset - pageStart] ^= static_cast<uint8_t>(1u << bit);
    board.erasePage(part, page);
    board.programPages(part, pageStart, bytes.data(), bytes.size());
    board.setPageProgrammed(part, page, programmed);
}

namespace {

// The byte sum in runs of 64 bytes, whose 32-bit partial sums the compiler
// vectorizes at -O2 (a plain byte loop it leaves scalar): the sweeps sum
// whole, mostly erased image sets after nearly every run. Kept apart from
// flashread's like one on purpose: this is the oracle that the programs
// built on flashread are checked against.
uint32_t byteSum(const uint8_t* bytes, size_t n) {
    constexpr size_t kRun = 64;
    uint32_t sum = 0;
    size_t i = 0;
    for (; n - i >= kRun; i += kRun) {
        uint32_t run = 0;
        for (size_t k = 0; k < kRun; ++k)
            run += bytes[i + k];
        sum += run;
    }
    for (; i < n; ++i)
        sum += bytes[i];
    return sum;
}

}  // namespace

bool partitionSum(const Board& board, int part, uint32_t blocks, uint32_t* sum) {
    const Geometry& g = board.geometry();
    uint64_t left = static_cast<uint64_t>(blocks) * kSumBlock;
    std::vector<uint8_t> buf(g.block);
    uint32_t total = 0;
    uint64_t storedFrom = 0;   // the first stored byte at or after the last look
    for (uint32_t b = 0; b < g.parts[part] && left; ++b) {
        if (board.isBad(part, b))
            continue;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(left, g.block));
        const uint64_t at = static_cast<uint64_t>(b) * g.block;
        if (at >= storedFrom)
            storedFrom = board.storedFrom(part, at);
        // An image fills a few blocks of its partition: the erased rest sums unread.
        if (at + n <= storedFrom) {
            total += 0xFFu * static_cast<uint32_t>(n);
        } else {
            board.read(part, at, buf.data(), n);
            total += byteSum(buf.data(), n);
        }
        left -= n;
    }
    *sum = total;
    return left == 0;
}

int32_t fileChecksum(const std::vector<uint8_t>& data) {
    uint64_t total = 0;
    for (uint8_t b : data)
        total += b;
    if (total == 0)
        return 0;
    return static_cast<int32_t>((total - 1) % kChecksumWrap + 1);
}

std::string checksumText(int32_t value) {
    std::string digits = std::to_string(value);
    return std::string(32 - digits.size(), '0') + digits;
}

const char* SystemLayout::role(int part) {
    static const char* const roles[] = {"S1L 1",   "U-Boot 1", "kernel 1", "flag",    "spare",    "app 1", "S1L 2",
                                        "U-Boot 2", "kernel 2", "table 1", "table 2", "data",     "app 2"};
    return part >= 0 && part < 13 ? roles[part] : "-";
}

bool isSystemBoard(const Board& board) {
    const auto& parts = board.geometry().parts;
    return parts == layoutParts("512m") || parts == layoutParts("small");
}

TableRecord readTable(const Board& board, int part) {
    TableRecord r;
    std::vector<uint8_t> p;
    if (!recordPage(board, part, &p) || p.size() < 28)
        return r;
    r.readable = true;
    r.marker = le32(&p[0]);
    r.addSum = le32(&p[4]);
    r.length = static_cast<uint16_t>(p[8] | p[9] << 8);
    r.high = p[10];
    r.low = p[11];
    for (int i = 0; i < 4; ++i)
        r.sums[i] = le32(&p[12 + 4 * i]);
    for (int i = 10; i < 28; ++i)
        r.computed += p[i];
    return r;
}

FlagRecord readFlag(const Board& board) {
    FlagRecord f;
    std::vector<uint8_t> p;
    if (!recordPage(board, SystemLayout::kFlag, &p) || p.size() < 12)
        return f;
    f.readable = true;
    f.marker = le32(&p[0]);
    f.reference = le32(&p[4]);
    f.end = le32(&p[8]);
    return f;
}

const TableRecord* currentTable(const TableRecord& t1, const TableRecord& t2, const FlagRecord& flag) {
    const TableRecord* named = flag.valid() && flag.names() == 2 ? &t2 : &t1;
    const TableRecord* other = named == &t1 ? &t2 : &t1;
    if (named->valid())
        return named;
    return other->valid() ? other : nullptr;
}

std::vector<ImageState> readImages(const Board& board) {
    std::vector<ImageState> out;
    for (const ImageRow& row : kImages) {
        ImageState s{row.name, row.blocks, row.low, row.high, false, false, 0, 0};
        s.lowRead = board.hasPartition(row.low) && partitionSum(board, row.low, row.blocks, &s.lowSum);
        s.highRead = board.hasPartition(row.high) && partitionSum(board, row.high, row.blocks, &s.highSum);
        out.push_back(s);
    }
    return out;
}

std::string badList(const Board& board, int part) {
    std::vector<uint32_t> bad = board.badBlocks(part);   // in the order they went bad
    if (bad.empty())
        return "-";
    std::sort(bad.begin(), bad.end());
    std::string s;
    for (uint32_t b : bad)
        s += (s.empty() ? "" : ",") + std::to_string(b);
    return s;
}

namespace {

std::string describeTable(const char* name, int part, const TableRecord& t) {
    char line[256];
    if (!t.readable)
        snprintf(line, sizeof line, "%-8s mtd%-3d unreadable (no good block)\n", name, part);
    else if (t.marker != 0xAAAAAAAA)
        snprintf(line, sizeof line, "%-8s mtd%-3d invalid  no marker (%08x)\n", name, part, t.marker);
    else
        snprintf(line, sizeof line,
                 "%-8s mtd%-3d %-8s updating high %u low %u  sums %08x %08x %08x %08x  checksum %08x, computed %08x"
                 "  length %u\n",
                 name, part, t.valid() ? "valid" : "invalid", t.high, t.low, t.sums[0], t.sums[1], t.sums[2],
                 t.sums[3], t.addSum, t.computed, t.length);
    return line;
}

std::string sumCell(bool read, uint32_t sum, const TableRecord* ref, int index) {
    if (!read)
        return "unreadable      ";
    char cell[32];
    snprintf(cell, sizeof cell, "%08x %-7s", sum, !ref ? "" : ref->sums[index] == sum ? "match" : "DIFFERS");
    return cell;
}

}  // namespace

std::string describeBoard(const Board& board) {
    const Geometry& g = board.geometry();
    std::ostringstream out;
    uint64_t blocks = 0;
    for (uint32_t p : g.parts)
        blocks += p;
    out << "board " << board.dir() << ": " << g.parts.size() << " partitions, " << blocks << " blocks of "
        << g.block / 1024 << " KiB, " << g.page << "-byte pages, " << g.oob << "-byte OOB"
        << (g.strict ? ", strict" : "") << "\n";
    char line[256];
    snprintf(line, sizeof line, "%-6s %-9s %7s %11s  %s\n", "part", "role", "blocks", "bytes", "bad blocks");
    out << line;
    bool system = isSystemBoard(board);
    for (int p = 0; p < board.partitions(); ++p) {
        snprintf(line, sizeof line, "%-6s %-9s %7u %11llu  %s\n", ("mtd" + std::to_string(p)).c_str(),
                 system ? SystemLayout::role(p) : "-", g.parts[p],
                 static_cast<unsigned long long>(board.partitionSize(p)), badList(board, p).c_str());
        out << line;
    }
    if (!system)
        return out.str();
    FlagRecord flag = readFlag(board);
    TableRecord t1 = readTable(board, SystemLayout::kTable1), t2 = readTable(board, SystemLayout::kTable2);
    if (!flag.readable)
        snprintf(line, sizeof line, "%-8s mtd%-3d unreadable\n", "flag", SystemLayout::kFlag);
    else
        snprintf(line, sizeof line, "%-8s mtd%-3d %-8s names table %d  (%08x %08x %08x)\n", "flag", SystemLayout::kFlag,
                 flag.valid() ? "valid" : "invalid", flag.valid() ? flag.names() : 1, flag.marker, flag.reference,
                 flag.end);
    out << "\n" << line << describeTable("table 1", SystemLayout::kTable1, t1)
        << describeTable("table 2", SystemLayout::kTable2, t2);
    const TableRecord* ref = currentTable(t1, t2, flag);
    snprintf(line, sizeof line, "\n%-7s %6s  %-22s %-22s %s\n", "image", "blocks", "low set", "high set", "reference");
    out << line;
    int index = 0;
    for (const ImageState& s : readImages(board)) {
        snprintf(line, sizeof line, "%-7s %6u  mtd%-2d %s  mtd%-2d %s  %s\n", s.name, s.blocks, s.low,
                 sumCell(s.lowRead, s.lowSum, ref, index).c_str(), s.high,
                 board.hasPartition(s.high) ? sumCell(s.highRead, s.highSum, ref, index).c_str() : "absent          ",
                 ref ? hex8(ref->sums[index]).c_str() : "no valid table");
        out << line;
        ++index;
    }
    return out.str();
}

Judgement judge(bool read, uint32_t sum, const TableRecord* ref, int index) {
    if (!read)
        return Judgement::Unreadable;
    if (!ref)
        return Judgement::NoTable;
    return ref->sums[index] == sum ? Judgement::Matches : Judgement::Differs;
}

const char* judgementWord(Judgement j) {
    static const char* const words[] = {"match", "DIFFERS", "unreadable", "no table"};
    return words[static_cast<int>(j)];
}

const char* judgementClass(Judgement j) {
    static const char* const classes[] = {"match", "differs", "unreadable", "notable"};
    return classes[static_cast<int>(j)];
}

const char* updatingWord(const TableRecord& t) {
    return t.high && t.low ? "both" : t.high ? "high" : t.low ? "low" : "none";
}

namespace {

bool erasedRecord(const TableRecord& t) {
    return t.marker == 0xFFFFFFFF && t.addSum == 0xFFFFFFFF && t.sums[0] == 0xFFFFFFFF;
}

std::string tableState(const TableRecord& t) {
    if (!t.readable)
        return "unreadable (no good block)";
    if (t.valid())
        return "valid    updating " + std::string(updatingWord(t)) + std::string(5 - strlen(updatingWord(t)), ' ') +
               "sums " + hex8(t.sums[0]) + " " + hex8(t.sums[1]) + " " + hex8(t.sums[2]) + " " + hex8(t.sums[3]);
    if (erasedRecord(t))
        return "invalid  erased";
    if (t.marker != 0xAAAAAAAA)
        return "invalid  marker " + hex8(t.marker);
    return "invalid  checksum " + hex8(t.addSum) + ", computed " + hex8(t.computed);
}

std::string flagState(const FlagRecord& f) {
    if (!f.readable)
        return "unreadable (no good block)";
    if (f.valid())
        return "valid    names table " + std::to_string(f.names());
    if (f.marker == 0xFFFFFFFF && f.reference == 0xFFFFFFFF)
        return "invalid  erased";
    return "invalid  marker " + hex8(f.marker);
}

std::string summaryLine(const std::string& name, int part, const std::string& state) {
    char line[256];
    snprintf(line, sizeof line, "%-10s mtd%-3d %s\n", name.c_str(), part, state.c_str());
    return line;
}

std::string allBadBlocks(const Board& board) {
    std::string s;
    for (int p = 0; p < board.partitions(); ++p)
        if (!board.badBlocks(p).empty())
            s += (s.empty() ? "mtd" : " mtd") + std::to_string(p) + ":" + badList(board, p);
    return s.empty() ? "none" : s;
}

}  // namespace

std::string contentTag(const Board& board, int part) {
    std::vector<uint8_t> page;
    if (!recordPage(board, part, &page))
        return "-";
    if (std::all_of(page.begin(), page.end(), [](uint8_t b) { return b == 0xFF; }))
        return "erased";
    std::string tag;
    for (size_t i = 0; i < page.size() && tag.size() < kContentTagLength && page[i] >= 0x20 && page[i] < 0x7F; ++i)
        tag += static_cast<char>(page[i]);
    return tag.empty() ? "-" : tag;
}

std::string summarizeBoard(const Board& board) {
    std::string out;
    if (isSystemBoard(board)) {
        FlagRecord flag = readFlag(board);
        TableRecord t1 = readTable(board, SystemLayout::kTable1), t2 = readTable(board, SystemLayout::kTable2);
        const TableRecord* ref = currentTable(t1, t2, flag);
        out += summaryLine("flag", SystemLayout::kFlag, flagState(flag));
        out += summaryLine("table 1", SystemLayout::kTable1, tableState(t1));
        out += summaryLine("table 2", SystemLayout::kTable2, tableState(t2));
        forEachImagePartition(board, [&](const ImageState&, int part, bool read, uint32_t sum, int index) {
            char state[96];
            snprintf(state, sizeof state, "%s %-10s %s", read ? hex8(sum).c_str() : "--------",
                     judgementWord(judge(read, sum, ref, index)), contentTag(board, part).c_str());
            out += summaryLine(SystemLayout::role(part), part, state);
        });
    }
    char line[64];
    snprintf(line, sizeof line, "%-10s ", "bad blocks");
    return out + line + allBadBlocks(board) + "\n";
}

}  // namespace nandemu
