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

std::string hex8(uint32_t v) {
    char buf[16];
    snprintf(buf, sizeof buf, "%08x", v);
    return buf;
}

struct ImageRow {
    const char* name;
    uint32_t blocks;
    int low, high;
};
const ImageRow kImages[] = {{"S1L", 1, 0, 6}, {"U-Boot", 4, 1, 7}, {"kernel", 128, 2, 8}, {"app", 680, 5, 12}};

}  // namespace

bool loadImage(Board& board, int part, const std::vector<uint8_t>& image) {
    const Geometry& g = board.geometry();
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
    return at >= image.size();
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

bool partitionSum(const Board& board, int part, uint32_t blocks, uint32_t* sum) {
    const Geometry& g = board.geometry();
    uint64_t left = static_cast<uint64_t>(blocks) * kSumBlock;
    std::vector<uint8_t> buf(g.block);
    uint32_t total = 0;
    for (uint32_t b = 0; b < g.parts[part] && left; ++b) {
        if (board.isBad(part, b))
            continue;
        size_t n = static_cast<size_t>(std::min<uint64_t>(left, g.block));
        board.read(part, static_cast<uint64_t>(b) * g.block, buf.data(), n);
        for (size_t i = 0; i < n; ++i)
            total += buf[i];
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

namespace {

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

namespace {

// How an image partition stands against the current table.
enum class Judgement { Matches, Differs, Unreadable, NoTable };

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

// The map's style class for each judgement.
const char* judgementClass(Judgement j) {
    static const char* const classes[] = {"match", "differs", "unreadable", "notable"};
    return classes[static_cast<int>(j)];
}

bool erasedRecord(const TableRecord& t) {
    return t.marker == 0xFFFFFFFF && t.addSum == 0xFFFFFFFF && t.sums[0] == 0xFFFFFFFF;
}

const char* updatingWord(const TableRecord& t) {
    return t.high && t.low ? "both" : t.high ? "high" : t.low ? "low" : "none";
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

// Calls visit(image, partition, read, sum, index in the table) for each
// partition of each image that the board has, low set first.
template <typename Visit>
void forEachImagePartition(const Board& board, Visit visit) {
    int index = 0;
    for (const ImageState& s : readImages(board)) {
        if (board.hasPartition(s.low))
            visit(s, s.low, s.lowRead, s.lowSum, index);
        if (board.hasPartition(s.high))
            visit(s, s.high, s.highRead, s.highSum, index);
        ++index;
    }
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

namespace {

// What the map shows of one partition: the style class of the blocks its
// content occupies (an image's summed blocks, a record's block), how many
// good blocks that is (0: the whole partition is drawn alike), and a status.
struct PartitionView {
    std::string cls = "other";
    uint32_t occupied = 0;
    std::string status;
};

std::vector<PartitionView> viewPartitions(const Board& board, int* reference) {
    std::vector<PartitionView> views(board.partitions());
    *reference = 0;
    if (!isSystemBoard(board))
        return views;
    FlagRecord flag = readFlag(board);
    TableRecord t1 = readTable(board, SystemLayout::kTable1), t2 = readTable(board, SystemLayout::kTable2);
    const TableRecord* ref = currentTable(t1, t2, flag);
    *reference = !ref ? 0 : ref == &t1 ? 1 : 2;
    forEachImagePartition(board, [&](const ImageState& s, int part, bool read, uint32_t sum, int index) {
        Judgement j = judge(read, sum, ref, index);
        const char* words[] = {"matches", "differs", "too few good blocks", "no valid table"};
        views[part] = {judgementClass(j), s.blocks,
                       std::string(words[static_cast<int>(j)]) + (read ? " " + hex8(sum) : "")};
    });
    views[SystemLayout::kFlag] = {flag.valid() ? "valid" : "invalid", 1,
                                  flag.valid() ? "names table " + std::to_string(flag.names()) : "invalid"};
    int copy = 1;
    for (const TableRecord* t : {&t1, &t2}) {
        views[copy == 1 ? SystemLayout::kTable1 : SystemLayout::kTable2] = {
            t->valid() ? "valid" : "invalid", 1,
            t->valid() ? std::string("valid, updating ") + updatingWord(*t) : "invalid"};
        ++copy;
    }
    return views;
}

std::string xmlEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

// Picture geometry: a label column, then rows of kMapColumns blocks; each
// partition starts a band of its own.
constexpr int kMapColumns = 128, kCell = 8, kLabelWidth = 330, kMargin = 10, kBandGap = 5, kMinBand = 12;
constexpr int kMapTop = 58;

const char kMapStyle[] =
    "<style>\n"
    "  text { font-family: monospace; font-size: 11px; fill: #222 }\n"
    "  .title { font-size: 16px; font-weight: bold }\n"
    "  .match { fill: #43a047 } .differs { fill: #e53935 } .unreadable { fill: #8e24aa }\n"
    "  .notable { fill: #fbc02d } .valid { fill: #1e88e5 } .invalid { fill: #fb8c00 }\n"
    "  .free { fill: #e4e4e4 } .other { fill: #b0b0b0 } .bad { fill: #000000 }\n"
    "  text.differs, text.unreadable, text.invalid { fill: #c62828; font-weight: bold }\n"
    "  text.match, text.valid, text.notable, text.other, text.free { fill: #222 }\n"
    "</style>\n";

struct LegendEntry {
    const char* cls;
    const char* text;
};
const LegendEntry kLegend[] = {{"match", "image matches the table"}, {"differs", "image differs"},
                               {"unreadable", "too few good blocks"},  {"notable", "no valid table"},
                               {"valid", "record valid"},              {"invalid", "record invalid"},
                               {"free", "beyond the image or record"}, {"other", "other partition"},
                               {"bad", "bad block"}};

int bandHeight(uint32_t blocks) {
    int rows = static_cast<int>((blocks + kMapColumns - 1) / kMapColumns);
    return std::max(rows * kCell, kMinBand);
}

std::string blockClass(const Board& board, int part, uint32_t block, const PartitionView& view, uint32_t* goodSeen) {
    if (board.isBad(part, block))
        return "bad";
    if (view.occupied == 0)
        return view.cls;
    return (*goodSeen)++ < view.occupied ? view.cls : "free";
}

}  // namespace

std::string flashMapSvg(const Board& board, const std::string& title) {
    const Geometry& g = board.geometry();
    bool system = isSystemBoard(board);
    int reference = 0;
    std::vector<PartitionView> views = viewPartitions(board, &reference);
    uint32_t total = 0;
    int bandsHeight = 0;
    for (uint32_t p : g.parts) {
        total += p;
        bandsHeight += bandHeight(p) + kBandGap;
    }
    const int width = kMargin * 2 + kLabelWidth + kMapColumns * kCell;
    const int legendTop = kMapTop + bandsHeight + 14;
    const int legendRows = (static_cast<int>(sizeof kLegend / sizeof kLegend[0]) + 4) / 5;
    const int height = legendTop + legendRows * 18 + kMargin;
    std::ostringstream svg;
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height << "\">\n"
        << kMapStyle << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
        << "<text class=\"title\" x=\"" << kMargin << "\" y=\"22\">Flash map"
        << (title.empty() ? "" : ": " + xmlEscape(title)) << "</text>\n"
        << "<text x=\"" << kMargin << "\" y=\"42\">" << xmlEscape(board.dir()) << ": " << total << " blocks of "
        << g.block / 1024 << " KiB in partition order, one square a block"
        << (!system ? "" : reference ? ", images judged against table " + std::to_string(reference)
                                     : ", no valid table")
        << "</text>\n";
    int top = kMapTop;
    for (int p = 0; p < board.partitions(); ++p) {
        const PartitionView& view = views[p];
        std::string bad = badList(board, p);
        svg << "<text class=\"label\" x=\"" << kMargin << "\" y=\"" << top + 9 << "\">mtd" << p << " "
            << (system ? SystemLayout::role(p) : "") << "</text>\n"
            << "<text class=\"status " << view.cls << "\" x=\"" << kMargin + 100 << "\" y=\"" << top + 9 << "\">"
            << xmlEscape(view.status) << (bad == "-" ? "" : (view.status.empty() ? "bad " : ", bad ") + bad)
            << "</text>\n";
        uint32_t goodSeen = 0;
        for (uint32_t b = 0; b < g.parts[p]; ++b) {
            int x = kMargin + kLabelWidth + static_cast<int>(b % kMapColumns) * kCell;
            int y = top + static_cast<int>(b / kMapColumns) * kCell;
            svg << "<rect class=\"" << blockClass(board, p, b, view, &goodSeen) << "\" x=\"" << x << "\" y=\"" << y
                << "\" width=\"" << kCell - 1 << "\" height=\"" << kCell - 1 << "\"><title>mtd" << p << " block " << b
                << (board.isBad(p, b) ? " (bad)" : "") << "</title></rect>\n";
        }
        top += bandHeight(g.parts[p]) + kBandGap;
    }
    int i = 0;
    for (const LegendEntry& e : kLegend) {
        int x = kMargin + (i % 5) * 250, y = legendTop + (i / 5) * 18;
        svg << "<rect class=\"swatch " << e.cls << "\" x=\"" << x << "\" y=\"" << y << "\" width=\"10\" height=\"10\"/>"
            << "<text x=\"" << x + 16 << "\" y=\"" << y + 9 << "\">" << e.text << "</text>\n";
        ++i;
    }
    svg << "</svg>\n";
    return svg.str();
}

}  // namespace nandemu
