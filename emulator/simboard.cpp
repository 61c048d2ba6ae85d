// simboard: drives a simulated board by hand and from tests.
#include <dirent.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <memory>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "nand_board.h"
#include "records.h"

using nandemu::Board;

namespace {

constexpr int kUsage = 2;

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

const char kUsageText[] =
    "usage: simboard COMMAND DIR ...\n"
    "  create DIR [--layout 512m|small] [--page N] [--oob N] [--block N] [--parts a,b,...] [--strict] [--real-sleep]\n"
    "         [--ecc-step BYTES --ecc-strength BITS] [--force]\n"
    "                                 a fresh board; --force over an existing board or a folder not empty\n"
    "  bad DIR mtdN BLOCK...          mark blocks bad\n"
    "  load DIR mtdN FILE             write FILE from offset 0, bad blocks skipped, 0xFF padded\n"
    "  read DIR mtdN FILE [LENGTH]    copy the raw bytes of the partition into FILE\n"
    "  flip DIR mtdN OFFSET BIT       change one stored bit\n"
    "  sd DIR NAME FILE [FOLDER]      put FILE on the SD card as FOLDER/NAME.bak (backup/ by default)\n"
    "                                 with its .as1 and .as2\n"
    "  fault DIR [--add] FAULT... | clear | list\n"
    "                                 replace the faults (--add: add to them); list marks a cut that fired\n"
    "  counter DIR                    mutating operations since the faults were set\n"
    "  log DIR [--clear]\n"
    "  run DIR [--path-first FOLDER] -- CMD [ARGS...]\n"
    "                                 PATH: FOLDER, the build's programs and MTD tools, the caller's PATH\n"
    "  show DIR [--brief]             the records, image sums and bad blocks; --brief: one line each\n"
    "  map DIR FILE.svg [TITLE]       draw the flash map\n"
    "  help                           this text\n";

uint64_t number(const std::string& text, const char* what) {
    char* end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text.c_str(), &end, 0);
    if (text.empty() || *end || errno || text[0] == '-')
        throw UsageError(std::string("bad ") + what + " '" + text + "'");
    return v;
}

int partition(const Board& board, const std::string& text) {
    if (text.compare(0, 3, "mtd") != 0)
        throw UsageError("bad partition '" + text + "' (mtdN)");
    uint64_t n = number(text.substr(3), "partition");
    if (!board.hasPartition(static_cast<int>(n)) || n > INT_MAX)
        throw UsageError("the board has no " + text);
    return static_cast<int>(n);
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path + ": " + strerror(errno));
    // In chunks, not byte by byte: an image is up to a partition's size, and
    // FILE may be a pipe, whose size is not known before its end.
    std::vector<uint8_t> data;
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        data.reserve(static_cast<size_t>(st.st_size));
    char chunk[65536];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0)
        data.insert(data.end(), chunk, chunk + in.gcount());
    if (in.bad())
        throw std::runtime_error("cannot read " + path + ": " + strerror(errno));
    return data;
}

void writeFile(const std::string& path, const void* data, size_t len) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(len));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

void needArgs(const std::vector<std::string>& a, size_t min, size_t max = SIZE_MAX) {
    if (a.size() < min || a.size() > max)
        throw UsageError("wrong number of arguments for '" + a[0] + "'");
}

// Why DIR must not be made a board without --force: it is one, or a folder
// with something in it. Empty when it may.
std::string occupied(const std::string& dir) {
    struct stat st;
    if (stat((dir + "/board.conf").c_str(), &st) == 0)
        return dir + " is a board already (--force makes it afresh)";
    DIR* d = opendir(dir.c_str());
    if (!d)
        return "";
    bool empty = true;
    while (const dirent* e = readdir(d))
        empty = empty && (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0);
    closedir(d);
    return empty ? "" : dir + " is not empty (--force makes a board in it)";
}

int cmdCreate(const std::vector<std::string>& a) {
    needArgs(a, 2);
    nandemu::Geometry g;
    std::string layout = "512m";
    bool force = false;
    for (size_t i = 2; i < a.size(); ++i) {
        auto value = [&]() -> const std::string& {
            if (i + 1 >= a.size())
                throw UsageError(a[i] + " needs a value");
            return a[++i];
        };
        if (a[i] == "--layout") layout = value();
        else if (a[i] == "--page") g.page = static_cast<uint32_t>(number(value(), "page size"));
        else if (a[i] == "--oob") g.oob = static_cast<uint32_t>(number(value(), "OOB size"));
        else if (a[i] == "--block") g.block = static_cast<uint32_t>(number(value(), "block size"));
        else if (a[i] == "--strict") g.strict = true;
        else if (a[i] == "--real-sleep") g.interceptSleep = false;
        else if (a[i] == "--ecc-step") g.eccStep = static_cast<uint32_t>(number(value(), "ECC step"));
        else if (a[i] == "--ecc-strength") g.eccStrength = static_cast<uint32_t>(number(value(), "ECC strength"));
        else if (a[i] == "--force") force = true;
        else if (a[i] == "--parts") {
            std::istringstream in(value());
            std::string p;
            while (std::getline(in, p, ','))
                g.parts.push_back(static_cast<uint32_t>(number(p, "partition size")));
        } else
            throw UsageError("unknown option '" + a[i] + "'");
    }
    if (g.parts.empty() && (g.parts = nandemu::layoutParts(layout)).empty())
        throw UsageError("unknown layout '" + layout + "'");
    if (g.page == 0 || g.page > 8192 || g.block == 0 || g.block % g.page)
        throw UsageError("the block size must be a multiple of a page size of at most 8192");
    if (!nandemu::eccFits(g))
        throw UsageError("--ecc-step and --ecc-strength go together: a step that divides the page, a strength from 1 to the step's bits");
    const std::string why = force ? "" : occupied(a[1]);
    if (!why.empty())
        throw std::runtime_error(why);
    Board::create(a[1], g);
    return 0;
}

int cmdBad(Board& board, const std::vector<std::string>& a) {
    needArgs(a, 4);
    int part = partition(board, a[2]);
    for (size_t i = 3; i < a.size(); ++i) {
        uint64_t block = number(a[i], "block");
        if (block >= board.geometry().parts[part])
            throw UsageError("mtd" + std::to_string(part) + " has no block " + a[i]);
        board.markBad(part, static_cast<uint32_t>(block));
    }
    return 0;
}

int cmdLoad(Board& board, const std::vector<std::string>& a) {
    needArgs(a, 4, 4);
    int part = partition(board, a[2]);
    std::vector<uint8_t> image = readFile(a[3]);
    if (!nandemu::loadImage(board, part, image)) {
        fprintf(stderr, "simboard: %s does not fit into mtd%d\n", a[3].c_str(), part);
        return 1;
    }
    return 0;
}

int cmdRead(Board& board, const std::vector<std::string>& a) {
    needArgs(a, 4, 5);
    int part = partition(board, a[2]);
    uint64_t size = board.partitionSize(part);
    uint64_t len = a.size() == 5 ? number(a[4], "length") : size;
    if (len > size)
        throw UsageError("mtd" + std::to_string(part) + " holds only " + std::to_string(size) + " bytes");
    std::vector<uint8_t> data(len);
    board.read(part, 0, data.data(), data.size());
    writeFile(a[3], data.data(), data.size());
    return 0;
}

int cmdFlip(Board& board, const std::vector<std::string>& a) {
    needArgs(a, 5, 5);
    int part = partition(board, a[2]);
    uint64_t offset = number(a[3], "offset");
    uint64_t bit = number(a[4], "bit");
    if (offset >= board.partitionSize(part) || bit > 7)
        throw UsageError("offset past the partition or bit above 7");
    nandemu::flipStoredBit(board, part, offset, static_cast<int>(bit));
    return 0;
}

int cmdSd(Board& board, const std::vector<std::string>& a) {
    needArgs(a, 4, 5);
    std::vector<uint8_t> image = readFile(a[3]);
    std::string dir = board.sdDir() + "/" + (a.size() > 4 ? a[4] : "backup");
    mkdir(dir.c_str(), 0755);
    writeFile(dir + "/" + a[2] + ".bak", image.data(), image.size());
    std::string text = nandemu::checksumText(nandemu::fileChecksum(image));
    for (const char* ext : {".as1", ".as2"})
        writeFile(dir + "/" + a[2] + ext, text.data(), text.size());
    return 0;
}

// The active faults as the board keeps them, a cut that has fired marked.
void listFaults(const Board& board) {
    std::ifstream in(board.dir() + "/faults");
    std::string line, why;
    while (std::getline(in, line)) {
        nandemu::Fault f;
        const bool fired = nandemu::parseFault(line, &f, &why) && f.kind == nandemu::Fault::Cut &&
                           board.shared()->mutatingOps >= f.cutAt;
        std::cout << line << (fired ? " (fired)" : "") << '\n';
    }
}

int cmdFault(Board& board, const std::vector<std::string>& a) {
    needArgs(a, 3);
    if (a[2] == "list") {
        listFaults(board);
        return 0;
    }
    const bool add = a[2] == "--add";
    std::vector<std::string> lines;
    if (a[2] != "clear")
        lines.assign(a.begin() + (add ? 3 : 2), a.end());
    if (add && lines.empty())
        throw UsageError("--add needs a fault");
    const size_t earlier = board.faults().size();
    try {
        board.setFaults(lines, add);
    } catch (const std::runtime_error& e) {
        throw UsageError(e.what());
    }
    if (!add && !lines.empty() && earlier)
        fprintf(stderr, "simboard: replaced %zu earlier fault%s (--add adds to them)\n", earlier, earlier == 1 ? "" : "s");
    return 0;
}

int cmdLog(Board& board, const std::vector<std::string>& a) {
    needArgs(a, 2, 3);
    if (a.size() == 3) {
        if (a[2] != "--clear")
            throw UsageError("unknown option '" + a[2] + "'");
        writeFile(board.logPath(), "", 0);
        return 0;
    }
    std::ifstream in(board.logPath());
    std::cout << in.rdbuf();
    return 0;
}

std::string selfDir() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    path[n] = 0;
    std::string s(path);
    return s.substr(0, s.rfind('/'));
}

// The emulator library: NANDEMU_PRELOAD, else beside the build's lib folder.
std::string preloadPath() {
    if (const char* p = getenv("NANDEMU_PRELOAD"))
        return p;
    return selfDir() + "/../lib/libnandemu.so";
}

// An existing folder as an absolute path, so that it still names the folder
// after the command changes directory.
std::string absoluteFolder(const std::string& folder) {
    char path[PATH_MAX];
    struct stat st;
    if (!realpath(folder.c_str(), path) || stat(path, &st) != 0 || !S_ISDIR(st.st_mode))
        throw UsageError("no folder '" + folder + "'");
    return path;
}

int cmdRun(Board& board, const std::vector<std::string>& a) {
    size_t cmd = 2;
    std::string first;   // the folders of --path-first, each followed by ':'
    for (; cmd < a.size() && a[cmd] != "--" && a[cmd].compare(0, 2, "--") == 0; ++cmd) {
        if (a[cmd] != "--path-first")
            throw UsageError("unknown option '" + a[cmd] + "'");
        if (++cmd >= a.size())
            throw UsageError("--path-first needs a folder");
        first += absoluteFolder(a[cmd]) + ":";
    }
    if (cmd < a.size() && a[cmd] == "--")
        ++cmd;
    if (cmd >= a.size())
        throw UsageError("run needs a command");
    char dir[PATH_MAX];
    if (!realpath(board.dir().c_str(), dir))
        throw std::runtime_error(board.dir() + ": " + strerror(errno));
    // The command and everything it starts form one process group: a power
    // cut kills all of it at once, as it would on the board.
    setpgid(0, 0);
    board.shared()->runGroup = getpid();
    board.shared()->powerOff = 0;
    // The build's programs and its stand-in MTD tools come first on PATH, so
    // a distribution's mtd-utils are not run instead; the folders of
    // --path-first come before them (a wrapper that logs the tool calls,
    // another nanddump to try).
    std::string path = first + selfDir() + ":" + selfDir() + "/" FW_TOOLS_FROM_PROGRAMS;
    if (const char* old = getenv("PATH"))
        path += std::string(":") + old;
    setenv("PATH", path.c_str(), 1);
    setenv("NANDEMU_BOARD", dir, 1);
    setenv("LD_PRELOAD", preloadPath().c_str(), 1);
    std::vector<char*> argv;
    for (size_t i = cmd; i < a.size(); ++i)
        argv.push_back(const_cast<char*>(a[i].c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    fprintf(stderr, "simboard: cannot run %s: %s\n", argv[0], strerror(errno));
    return 127;
}

int cmdCounter(Board& board, const std::vector<std::string>& a) {
    needArgs(a, 2, 2);
    printf("%llu\n", static_cast<unsigned long long>(board.shared()->mutatingOps));
    return 0;
}

int cmdShow(Board& board, const std::vector<std::string>& a) {
    needArgs(a, 2, 3);
    if (a.size() == 3 && a[2] != "--brief")
        throw UsageError("unknown option '" + a[2] + "'");
    std::cout << (a.size() == 3 ? nandemu::summarizeBoard(board) : nandemu::describeBoard(board));
    return 0;
}

int cmdMap(Board& board, const std::vector<std::string>& a) {
    needArgs(a, 3, 4);
    std::string svg = nandemu::flashMapSvg(board, a.size() == 4 ? a[3] : "");
    writeFile(a[2], svg.data(), svg.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> a(argv + 1, argv + argc);
    try {
        if (a.empty())
            throw UsageError("no command");
        if (a[0] == "help" || a[0] == "--help" || a[0] == "-h") {
            fputs(kUsageText, stdout);
            return 0;
        }
        if (a[0] == "create")
            return cmdCreate(a);
        static const std::map<std::string, std::function<int(Board&, const std::vector<std::string>&)>> commands = {
            {"bad", cmdBad},     {"load", cmdLoad},       {"read", cmdRead}, {"flip", cmdFlip},
            {"sd", cmdSd},       {"fault", cmdFault},     {"log", cmdLog},   {"run", cmdRun},
            {"show", cmdShow},   {"counter", cmdCounter}, {"map", cmdMap},
        };
        auto it = commands.find(a[0]);
        if (it == commands.end())
            throw UsageError("unknown command '" + a[0] + "'");
        needArgs(a, 2);
        std::unique_ptr<Board> board;
        try {
            board = std::make_unique<Board>(a[1]);
        } catch (const std::runtime_error& e) {
            throw UsageError(e.what());
        }
        return it->second(*board, a);
    } catch (const UsageError& e) {
        fprintf(stderr, "simboard: %s\n", e.what());
        if (a.empty())
            fputs(kUsageText, stderr);
        return kUsage;
    } catch (const std::exception& e) {
        fprintf(stderr, "simboard: %s\n", e.what());
        return 1;
    }
}
