// The flash map: the board drawn as an SVG picture, block by block.
#include "records.h"

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace nandemu {

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
