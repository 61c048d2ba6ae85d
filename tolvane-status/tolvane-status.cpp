// tolvane-status: where the boot sets stand, as the flash says it: the flag,
// both table copies, the record the boot side takes, each image's sums in
// both sets against that record, the bad blocks and the sets that can boot.
// Read-only: every device is opened O_RDONLY and nothing is written.
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include <getopt.h>

#include "flashread.h"
#include "tolvane_boot.h"

namespace {

const char USAGE[] = "tolvane-status [--json]";
constexpr int EXIT_USAGE = 2;
const char* const SET_NAMES[2] = {"low", "high"};

// What was read of one partition, and its bad blocks.
struct Part {
    const char* path = nullptr;
    int err = 0;      // of the read: 0, -errno or flashread::kNoRoom
    int badErr = 0;   // of the bad-block list
    std::vector<uint32_t> bad;
    std::vector<uint8_t> page;   // a record partition's first good page
    uint32_t sum = 0;            // an image partition's sum
};

enum Judgement { MATCH, DIFFERS, UNREADABLE, NO_RECORD };
const char* const JUDGEMENT_TEXT[] = {"match", "differs", "unreadable", "no record"};

struct Status {
    Part flag, copies[2], images[4][2];   // images[i][0] low, [1] high
    tolvane_view view;
};

template <typename Read>
void look(Part* p, const char* path, Read read) {
    p->path = path;
    flashread::Partition part;
    p->err = p->badErr = flashread::openPartition(path, &part);
    if (p->err)
        return;
    p->badErr = flashread::badBlocks(part, &p->bad);
    p->err = read(part);
    flashread::closePartition(&part);
}

void lookAtRecord(Part* p, const char* path) {
    look(p, path, [&](const flashread::Partition& part) { return flashread::firstGoodPage(part, &p->page); });
}

const uint8_t* pageOf(const Part& p) { return p.err ? nullptr : p.page.data(); }

void readBoard(Status* s) {
    lookAtRecord(&s->flag, flashread::kFlagPath);
    for (int c = 0; c < 2; ++c)
        lookAtRecord(&s->copies[c], flashread::kTablePaths[c]);
    for (int i = 0; i < 4; ++i)
        for (int set = 0; set < 2; ++set) {
            const flashread::ImagePair& im = flashread::kImages[i];
            Part* p = &s->images[i][set];
            look(p, set ? im.high : im.low,
                 [&](const flashread::Partition& part) { return flashread::partitionSum(part, im.blocks, &p->sum); });
        }
    tolvane_read(pageOf(s->flag), pageOf(s->copies[0]), pageOf(s->copies[1]), &s->view);
}

const tolvane_record* record(const Status& s) { return s.view.reader.record; }

Judgement judge(const Status& s, int image, int set) {
    const Part& p = s.images[image][set];
    if (!record(s))
        return NO_RECORD;
    if (p.err)
        return UNREADABLE;
    return p.sum == record(s)->sums[image] ? MATCH : DIFFERS;
}

// Whether the record marks the set (0 low, 1 high) as being updated.
bool marked(const tolvane_record& r, int set) {
    return (set ? r.highPartitionUpdating : r.lowPartitionUpdating) != 0;
}

// A set can boot when the record does not mark it as being updated and all
// four of its images match the record.
bool bootable(const Status& s, int set) {
    if (!record(s) || marked(*record(s), set))
        return false;
    for (int i = 0; i < 4; ++i)
        if (judge(s, i, set) != MATCH)
            return false;
    return true;
}

// A complete record that vouches for a set, and every set it vouches for
// matches it. A record marking both sets vouches for none.
bool healthy(const Status& s) {
    if (!record(s) || s.view.reader.updating == TOLVANE_UPDATING_MIXED)
        return false;
    for (int set = 0; set < 2; ++set)
        if (!marked(*record(s), set) && !bootable(s, set))
            return false;
    return true;
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    va_list ap, again;
    va_start(ap, fmt);
    va_copy(again, ap);
    const int n = vsnprintf(nullptr, 0, fmt, ap);
    std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    vsnprintf(&text[0], text.size() + 1, fmt, again);
    va_end(again);
    va_end(ap);
    return text;
}

std::string hex(uint32_t v) { return format("%08x", v); }

std::string readError(const Part& p) { return flashread::errorText(p.err); }

// ---- text ----

std::string badText(const Part& p) {
    if (p.badErr)
        return format("unknown (%s)", flashread::errorText(p.badErr));
    std::string s;
    for (uint32_t b : p.bad)
        s += (s.empty() ? "" : ",") + std::to_string(b);
    return s;
}

std::string flagText(const Status& s) {
    const tolvane_flag& f = s.view.flag;
    std::string state = !f.readable ? "unreadable (" + readError(s.flag) + ")"
                        : f.valid   ? "valid"
                                    : "invalid (marker " + hex(f.headerMarker) + ")";
    if (f.readable)
        state += format("  bootReference %u", f.bootReference);
    return format("%-11s %-11s %s  names copy %d\n", "flag", s.flag.path, state.c_str(), f.names);
}

std::string copyText(const Status& s, int c) {
    const tolvane_copy& copy = s.view.copies[c];
    const tolvane_record& r = copy.record;
    std::string line = format("copy %-6d %-11s %s", c + 1, s.copies[c].path, tolvane_state_text(copy.state));
    if (copy.state == TOLVANE_UNREADABLE)
        return line + " (" + readError(s.copies[c]) + ")\n";
    if (copy.state == TOLVANE_ERASED)
        return line + "\n";
    if (copy.state == TOLVANE_WRONG_MARKER)
        line += " (" + hex(r.headerMarker) + ")";
    line += format("  updating %s (high %u low %u)  sums", tolvane_updating_text(tolvane_updating_of(&r)),
                   r.highPartitionUpdating, r.lowPartitionUpdating);
    for (uint32_t sum : r.sums)
        line += " " + hex(sum);
    return line + "  checksum " + hex(r.addSum) + ", computed " + hex(r.computed) + "\n";
}

std::string readerText(const Status& s) {
    const tolvane_reader& r = s.view.reader;
    if (!r.record)
        return format("%-11s none        %s: no complete record\n", "reader", tolvane_reason_text(r.reason));
    const std::string boots = r.set ? std::string("the ") + SET_NAMES[r.set - 1] + " set" : "its own default";
    return format("%-11s copy %-6d %s; updating %s; the boot side boots %s\n", "reader", r.copy,
                  tolvane_reason_text(r.reason), tolvane_updating_text(r.updating), boots.c_str());
}

std::string imageText(const Status& s, int i) {
    std::string text;
    for (int set = 0; set < 2; ++set) {
        const Part& p = s.images[i][set];
        const Judgement j = judge(s, i, set);
        const std::string sum = p.err ? "-" : hex(p.sum);
        text += format("%-6s %-4s %-11s %-8s %s", flashread::kImages[i].name, SET_NAMES[set], p.path, sum.c_str(),
                       JUDGEMENT_TEXT[j]);
        text += (p.err ? " (" + readError(p) + ")" : "") + "\n";
    }
    return text;
}

std::vector<const Part*> allParts(const Status& s) {
    std::vector<const Part*> parts = {&s.flag, &s.copies[0], &s.copies[1]};
    for (const auto& image : s.images)
        for (const Part& p : image)
            parts.push_back(&p);
    return parts;
}

std::string text(const Status& s) {
    std::string out = flagText(s) + copyText(s, 0) + copyText(s, 1) + readerText(s);
    if (record(s)) {
        out += format("%-11s", "record");
        for (uint32_t sum : record(s)->sums)
            out += " " + hex(sum);
        out += "\n";
    }
    for (int i = 0; i < 4; ++i)
        out += imageText(s, i);
    std::string bad;
    // A partition that could not be read at all says why in its own line.
    for (const Part* p : allParts(s))
        if (!p->bad.empty() || (p->badErr && p->badErr != p->err))
            bad += format("%-11s %s: %s\n", "bad blocks", p->path, badText(*p).c_str());
    out += bad.empty() ? format("%-11s none found\n", "bad blocks") : bad;
    std::string sets;
    for (int set = 0; set < 2; ++set)
        if (bootable(s, set))
            sets += std::string(sets.empty() ? "" : " ") + SET_NAMES[set];
    return out + format("%-11s %s\n", "bootable", sets.empty() ? "none" : sets.c_str());
}

// ---- JSON ----

std::string quoted(const std::string& v) {
    std::string q = "\"";
    for (char c : v) {
        if (c == '"' || c == '\\')
            q += '\\';
        q += c;
    }
    return q + "\"";
}

std::string field(const char* key, const std::string& value) { return quoted(key) + ": " + value; }

std::string fields(const std::vector<std::string>& items, const char* open = "{", const char* close = "}") {
    std::string s = open;
    for (size_t i = 0; i < items.size(); ++i)
        s += (i ? ", " : "") + items[i];
    return s + close;
}

std::string list(const std::vector<std::string>& items) { return fields(items, "[", "]"); }

std::string boolean(bool v) { return v ? "true" : "false"; }

// The partition's device, its read error (when it has one) and its bad blocks.
std::vector<std::string> partFields(const Part& p) {
    std::vector<std::string> items = {field("device", quoted(p.path))};
    if (p.err)
        items.push_back(field("error", quoted(readError(p))));
    std::vector<std::string> bad;
    for (uint32_t b : p.bad)
        bad.push_back(std::to_string(b));
    items.push_back(field("badBlocks", p.badErr ? "null" : list(bad)));
    return items;
}

std::string flagJson(const Status& s) {
    const tolvane_flag& f = s.view.flag;
    std::vector<std::string> items = partFields(s.flag);
    items.push_back(field("state", quoted(!f.readable ? "unreadable" : f.valid ? "valid" : "invalid")));
    items.push_back(field("names", std::to_string(f.names)));
    if (f.readable) {
        items.push_back(field("headerMarker", quoted(hex(f.headerMarker))));
        items.push_back(field("bootReference", std::to_string(f.bootReference)));
        items.push_back(field("endMarker", quoted(hex(f.endMarker))));
    }
    return fields(items);
}

std::string copyJson(const Status& s, int c) {
    const tolvane_copy& copy = s.view.copies[c];
    const tolvane_record& r = copy.record;
    std::vector<std::string> items = {field("copy", std::to_string(c + 1))};
    for (const std::string& f : partFields(s.copies[c]))
        items.push_back(f);
    items.push_back(field("state", quoted(tolvane_state_text(copy.state))));
    if (copy.state != TOLVANE_UNREADABLE && copy.state != TOLVANE_ERASED) {
        std::vector<std::string> sums;
        for (uint32_t sum : r.sums)
            sums.push_back(quoted(hex(sum)));
        items.push_back(field("headerMarker", quoted(hex(r.headerMarker))));
        items.push_back(field("addSum", quoted(hex(r.addSum))));
        items.push_back(field("computed", quoted(hex(r.computed))));
        items.push_back(field("length", std::to_string(r.length)));
        items.push_back(field("high", std::to_string(r.highPartitionUpdating)));
        items.push_back(field("low", std::to_string(r.lowPartitionUpdating)));
        items.push_back(field("updating", quoted(tolvane_updating_text(tolvane_updating_of(&r)))));
        items.push_back(field("sums", list(sums)));
    }
    return fields(items);
}

std::string readerJson(const Status& s) {
    const tolvane_reader& r = s.view.reader;
    return fields({field("copy", r.record ? std::to_string(r.copy) : "null"),
                   field("reason", quoted(tolvane_reason_text(r.reason))),
                   field("updating", r.record ? quoted(tolvane_updating_text(r.updating)) : "null"),
                   field("set", r.set ? std::to_string(r.set) : "null")});
}

std::string imageJson(const Status& s, int i) {
    std::vector<std::string> items = {field("name", quoted(flashread::kImages[i].name)),
                                      field("blocks", std::to_string(flashread::kImages[i].blocks)),
                                      field("record", record(s) ? quoted(hex(record(s)->sums[i])) : "null")};
    for (int set = 0; set < 2; ++set) {
        const Part& p = s.images[i][set];
        std::vector<std::string> side = partFields(p);
        side.push_back(field("sum", p.err ? "null" : quoted(hex(p.sum))));
        side.push_back(field("state", quoted(JUDGEMENT_TEXT[judge(s, i, set)])));
        items.push_back(field(SET_NAMES[set], fields(side)));
    }
    return fields(items);
}

// One top-level key a line, so that a shell script can pick one out.
std::string json(const Status& s) {
    std::vector<std::string> images;
    for (int i = 0; i < 4; ++i)
        images.push_back(imageJson(s, i));
    const std::string lines[] = {
        field("flag", flagJson(s)),
        field("copies", list({copyJson(s, 0), copyJson(s, 1)})),
        field("reader", readerJson(s)),
        field("images", list(images)),
        field("bootable", fields({field("low", boolean(bootable(s, 0))), field("high", boolean(bootable(s, 1)))})),
        field("healthy", boolean(healthy(s))),
    };
    std::string out = "{\n";
    for (const std::string& line : lines)
        out += (out.size() > 2 ? ",\n  " : "  ") + line;
    return out + "\n}\n";
}

int usageError(const char* what, const char* arg) {
    fprintf(stderr, "tolvane-status: %s %s (usage: %s)\n", what, arg, USAGE);
    return EXIT_USAGE;
}

}  // namespace

int main(int argc, char** argv) {
    static const struct option options[] = {
        {"json", no_argument, nullptr, 'j'}, {"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
    bool asJson = false;
    opterr = 0;
    for (int opt; (opt = getopt_long(argc, argv, "h", options, nullptr)) != -1;) {
        if (opt == 'j') {
            asJson = true;
        } else if (opt == 'h') {
            printf("usage: %s\n", USAGE);
            return 0;
        } else {
            return usageError("unknown option", argv[optind - 1]);
        }
    }
    if (optind < argc)
        return usageError("unexpected argument", argv[optind]);
    Status s;
    readBoard(&s);
    fputs((asJson ? json(s) : text(s)).c_str(), stdout);
    return healthy(s) ? 0 : 1;
}
