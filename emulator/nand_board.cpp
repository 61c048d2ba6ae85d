#include "nand_board.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace nandemu {

RawIo raw = {::open, ::close, ::pread, ::pwrite, ::write, ::lseek};

namespace {

constexpr uint32_t kSharedMagic = 0x4e414e44;   // "NAND"

const char* const kOpNames[] = {"open", "getinfo", "getbadblock", "erase", "read", "write"};

struct ErrnoName {
    int value;
    const char* name;
};
const ErrnoName kErrnos[] = {
    {EIO, "EIO"},       {EOPNOTSUPP, "EOPNOTSUPP"}, {EINVAL, "EINVAL"}, {ENOENT, "ENOENT"},
    {EACCES, "EACCES"}, {EPERM, "EPERM"},           {EBUSY, "EBUSY"},   {ENOSPC, "ENOSPC"},
    {ENODEV, "ENODEV"}, {EBADMSG, "EBADMSG"},       {EUCLEAN, "EUCLEAN"}, {ENOTTY, "ENOTTY"},
    {EROFS, "EROFS"},   {ENXIO, "ENXIO"},           {EFAULT, "EFAULT"},
};

std::string readWholeFile(const std::string& path, bool* found) {
    std::string text;
    int fd = raw.open(path.c_str(), O_RDONLY | O_CLOEXEC);
    *found = fd >= 0;
    if (fd < 0)
        return text;
    char buf[4096];
    off_t at = 0;
    ssize_t n;
    while ((n = raw.pread(fd, buf, sizeof buf, at)) > 0) {
        text.append(buf, static_cast<size_t>(n));
        at += n;
    }
    raw.close(fd);
    return text;
}

void writeWholeFile(const std::string& path, const std::string& text) {
    int fd = raw.open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::runtime_error("cannot write " + path + ": " + strerror(errno));
    if (raw.pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
        raw.close(fd);
        throw std::runtime_error("cannot write " + path + ": " + strerror(errno));
    }
    raw.close(fd);
}

bool parseUnsigned(const std::string& text, uint64_t* value) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text.c_str(), &end, 0);
    if (errno || *end || text[0] == '-')
        return false;
    *value = v;
    return true;
}

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream in(text);
    while (std::getline(in, field, sep))
        fields.push_back(field);
    if (!text.empty() && text.back() == sep)
        fields.push_back("");
    return fields;
}

bool parsePartition(const std::string& text, int* part) {
    if (text == "*") {
        *part = -1;
        return true;
    }
    uint64_t n;
    if (text.compare(0, 3, "mtd") != 0 || !parseUnsigned(text.substr(3), &n) || n > INT32_MAX)
        return false;
    *part = static_cast<int>(n);
    return true;
}

// Zeroes a range of a sparse file (a hole reads as erased).
void punch(int fd, off_t offset, off_t length) {
    if (fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, offset, length) == 0)
        return;
    static const uint8_t zeros[4096] = {};
    for (off_t done = 0; done < length;) {
        size_t n = static_cast<size_t>(std::min<off_t>(length - done, sizeof zeros));
        if (raw.pwrite(fd, zeros, n, offset + done) != static_cast<ssize_t>(n))
            throw std::runtime_error(std::string("erase failed: ") + strerror(errno));
        done += static_cast<off_t>(n);
    }
}

}  // namespace

std::vector<uint32_t> layoutParts(const std::string& name) {
    if (name == "512m")
        return {4, 8, 160, 4, 4, 720, 4, 8, 160, 4, 4, 2296, 720};
    // The same low set, tables and data partition, without the high application image.
    if (name == "small")
        return {4, 8, 160, 4, 4, 720, 4, 8, 160, 4, 4, 2296};
    return {};
}

bool eccFits(const Geometry& g) {
    if (g.eccStep == 0)
        return g.eccStrength == 0;
    return g.page % g.eccStep == 0 && g.eccStrength >= 1 && g.eccStrength <= 8 * g.eccStep;
}

const char* opName(Op op) { return kOpNames[static_cast<int>(op)]; }

bool opFromName(const std::string& name, Op* op) {
    for (int i = 0; i < static_cast<int>(Op::Count); ++i)
        if (name == kOpNames[i]) {
            *op = static_cast<Op>(i);
            return true;
        }
    return false;
}

std::string errnoName(int err) {
    for (const auto& e : kErrnos)
        if (e.value == err)
            return e.name;
    return std::to_string(err);
}

int errnoFromName(const std::string& name) {
    for (const auto& e : kErrnos)
        if (name == e.name)
            return e.value;
    return 0;
}

bool parseFault(const std::string& text, Fault* f, std::string* why) {
    size_t eq = text.find('=');
    std::string kind = text.substr(0, eq);
    std::vector<std::string> a = eq == std::string::npos ? std::vector<std::string>() : split(text.substr(eq + 1), ':');
    uint64_t n = 0;
    *f = Fault();
    if (kind == "cut") {
        f->kind = Fault::Cut;
        if ((a.size() != 2 && a.size() != 3) || !parseUnsigned(a[0], &f->cutAt) || f->cutAt == 0) {
            *why = "cut=N:before|torn|after[:SEED] with N from 1";
            return false;
        }
        if (a[1] == "before") f->form = CutForm::Before;
        else if (a[1] == "torn") f->form = CutForm::Torn;
        else if (a[1] == "after") f->form = CutForm::After;
        else {
            *why = "unknown power cut form '" + a[1] + "'";
            return false;
        }
        if (a.size() == 3) {
            if (!parseUnsigned(a[2], &n)) {
                *why = "bad seed '" + a[2] + "'";
                return false;
            }
            f->seed = static_cast<uint32_t>(n);
        }
        return true;
    }
    if (kind == "fail") {
        f->kind = Fault::Fail;
        if (a.size() != 4 || !parsePartition(a[0], &f->part) || !opFromName(a[1], &f->op)) {
            *why = "fail=mtdN|*:open|getinfo|getbadblock|erase|read|write:OCC|*:ERROR";
            return false;
        }
        if (a[2] == "*")
            f->occurrence = 0;
        else if (!parseUnsigned(a[2], &n) || n == 0) {
            *why = "bad occurrence '" + a[2] + "'";
            return false;
        } else
            f->occurrence = static_cast<uint32_t>(n);
        if (a[3] == "short") {
            if (f->op != Op::Read && f->op != Op::Write) {
                *why = "only reads and writes can be short";
                return false;
            }
            f->shortTransfer = true;
        } else if (!(f->error = errnoFromName(a[3]))) {
            *why = "unknown error '" + a[3] + "'";
            return false;
        }
        return true;
    }
    if (kind == "flip") {
        f->kind = Fault::Flip;
        if (a.size() != 3 || !parsePartition(a[0], &f->part) || f->part < 0 || !parseUnsigned(a[1], &f->offset) ||
            !parseUnsigned(a[2], &n) || n > 7) {
            *why = "flip=mtdN:OFFSET:BIT with BIT 0 to 7";
            return false;
        }
        f->bit = static_cast<int>(n);
        return true;
    }
    *why = "unknown fault '" + text + "' (cut=, fail= or flip=)";
    return false;
}

Board::Board(const std::string& dir) : dir_(dir) {
    loadConfig();
    dataFds_.assign(geo_.parts.size(), -1);
    pagesFds_.assign(geo_.parts.size(), -1);
    pagesMaps_.assign(geo_.parts.size(), nullptr);
    oobFds_.assign(geo_.parts.size(), -1);
    loadBad();
    loadFaults();
    mapShared();
}

Board::~Board() {
    for (int fd : dataFds_)
        if (fd >= 0) raw.close(fd);
    for (size_t part = 0; part < pagesMaps_.size(); ++part)
        if (pagesMaps_[part])
            munmap(pagesMaps_[part], pageCount(static_cast<int>(part)));
    for (int fd : pagesFds_)
        if (fd >= 0) raw.close(fd);
    for (int fd : oobFds_)
        if (fd >= 0) raw.close(fd);
    if (logFd_ >= 0)
        raw.close(logFd_);
    if (shared_)
        munmap(shared_, sizeof(SharedState));
}

void Board::create(const std::string& dir, const Geometry& g) {
    if (g.page == 0 || g.block == 0 || g.block % g.page || g.parts.empty() ||
        g.parts.size() > static_cast<size_t>(kMaxPartitions) || !eccFits(g))
        throw std::runtime_error("impossible geometry");
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot create " + dir + ": " + strerror(errno));
    if (mkdir((dir + "/sd").c_str(), 0755) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot create the SD card folder: " + std::string(strerror(errno)));
    std::ostringstream conf;
    conf << "page " << g.page << "\noob " << g.oob << "\nblock " << g.block << "\nparts";
    for (uint32_t p : g.parts)
        conf << ' ' << p;
    conf << "\nstrict " << (g.strict ? 1 : 0) << "\nsleep " << (g.interceptSleep ? "intercept" : "real") << "\n";
    if (g.eccStep)
        conf << "ecc " << g.eccStep << ' ' << g.eccStrength << "\n";
    writeWholeFile(dir + "/board.conf", conf.str());
    for (size_t i = 0; i < g.parts.size(); ++i) {
        // Sparse files: a fresh partition costs no disk and no time.
        uint64_t bytes = static_cast<uint64_t>(g.parts[i]) * g.block;
        std::string base = dir + "/mtd" + std::to_string(i);
        for (auto [suffix, size] : {std::pair<const char*, uint64_t>{".data", bytes},
                                    std::pair<const char*, uint64_t>{".pages", bytes / g.page},
                                    std::pair<const char*, uint64_t>{".oob", bytes / g.page * g.oob}}) {
            int fd = raw.open((base + suffix).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0)
                throw std::runtime_error("cannot create " + base + suffix + ": " + strerror(errno));
            raw.close(fd);
        }
    }
    writeWholeFile(dir + "/bad", "");
    writeWholeFile(dir + "/faults", "");
    writeWholeFile(dir + "/log", "");
    SharedState s{};
    s.magic = kSharedMagic;
    writeWholeFile(dir + "/shared", std::string(reinterpret_cast<const char*>(&s), sizeof s));
}

void Board::loadConfig() {
    bool found;
    std::string text = readWholeFile(dir_ + "/board.conf", &found);
    if (!found)
        throw std::runtime_error(dir_ + " is not a board (no board.conf)");
    std::istringstream in(text);
    std::string key;
    geo_.parts.clear();
    while (in >> key) {
        std::string rest;
        std::getline(in, rest);
        std::istringstream values(rest);
        if (key == "page") values >> geo_.page;
        else if (key == "oob") values >> geo_.oob;
        else if (key == "block") values >> geo_.block;
        else if (key == "strict") { int v = 0; values >> v; geo_.strict = v != 0; }
        else if (key == "sleep") { std::string v; values >> v; geo_.interceptSleep = v != "real"; }
        else if (key == "parts") { uint32_t p; while (values >> p) geo_.parts.push_back(p); }
        else if (key == "ecc") values >> geo_.eccStep >> geo_.eccStrength;
    }
    if (geo_.page == 0 || geo_.block % geo_.page || geo_.parts.empty() || !eccFits(geo_))
        throw std::runtime_error(dir_ + "/board.conf is damaged");
}

void Board::loadBad() {
    bad_.assign(geo_.parts.size(), {});
    bool found;
    std::istringstream in(readWholeFile(dir_ + "/bad", &found));
    int part;
    uint32_t block;
    while (in >> part >> block)
        if (hasPartition(part))
            bad_[part].push_back(block);
}

void Board::saveBad() const {
    std::ostringstream out;
    for (size_t p = 0; p < bad_.size(); ++p)
        for (uint32_t b : bad_[p])
            out << p << ' ' << b << '\n';
    writeWholeFile(dir_ + "/bad", out.str());
}

void Board::loadFaults() {
    faults_.clear();
    failOps_ = 0;
    hasFlips_ = false;
    bool found;
    std::istringstream in(readWholeFile(dir_ + "/faults", &found));
    std::string line, why;
    while (std::getline(in, line)) {
        Fault f;
        if (line.empty() || !parseFault(line, &f, &why))
            continue;
        faults_.push_back(f);
        if (f.kind == Fault::Fail)
            failOps_ |= 1u << static_cast<int>(f.op);
        hasFlips_ = hasFlips_ || f.kind == Fault::Flip;
    }
}

void Board::mapShared() {
    int fd = raw.open((dir_ + "/shared").c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error(dir_ + "/shared: " + strerror(errno));
    void* p = mmap(nullptr, sizeof(SharedState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    raw.close(fd);
    if (p == MAP_FAILED)
        throw std::runtime_error(dir_ + "/shared: " + strerror(errno));
    shared_ = static_cast<SharedState*>(p);
    if (shared_->magic != kSharedMagic)
        throw std::runtime_error(dir_ + "/shared is damaged");
}

void Board::setFaults(const std::vector<std::string>& lines, bool add) {
    bool found;
    std::string text = add ? readWholeFile(dir_ + "/faults", &found) : "", why;
    for (const auto& s : lines) {
        Fault f;
        if (!parseFault(s, &f, &why))
            throw std::runtime_error(why);
        if (f.part >= 0 && !hasPartition(f.part))
            throw std::runtime_error("the board has no mtd" + std::to_string(f.part));
        text += s + "\n";
    }
    writeWholeFile(dir_ + "/faults", text);
    loadFaults();
    if (add)
        return;
    SharedState fresh{};
    fresh.magic = kSharedMagic;
    fresh.dataChanges = shared_->dataChanges;   // stored bytes outlive the faults
    *shared_ = fresh;
}

std::string Board::dataPath(int part) const { return dir_ + "/mtd" + std::to_string(part) + ".data"; }

int Board::dataFd(int part) const {
    if (dataFds_[part] < 0) {
        dataFds_[part] = raw.open(dataPath(part).c_str(), O_RDWR | O_CLOEXEC);
        if (dataFds_[part] < 0)
            throw std::runtime_error(dataPath(part) + ": " + strerror(errno));
    }
    return dataFds_[part];
}

int Board::pagesFd(int part) const {
    if (pagesFds_[part] < 0) {
        std::string path = dir_ + "/mtd" + std::to_string(part) + ".pages";
        pagesFds_[part] = raw.open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (pagesFds_[part] < 0)
            throw std::runtime_error(path + ": " + strerror(errno));
    }
    return pagesFds_[part];
}

uint8_t* Board::pagesMap(int part) const {
    if (!pagesMaps_[part]) {
        void* p = mmap(nullptr, pageCount(part), PROT_READ | PROT_WRITE, MAP_SHARED, pagesFd(part), 0);
        if (p == MAP_FAILED)
            throw std::runtime_error("mtd" + std::to_string(part) + ".pages: " + strerror(errno));
        pagesMaps_[part] = static_cast<uint8_t*>(p);
    }
    return pagesMaps_[part];
}

// Spare areas are kept like the data: complemented, a hole reads 0xFF.
int Board::oobFd(int part) const {
    if (oobFds_[part] < 0) {
        std::string path = dir_ + "/mtd" + std::to_string(part) + ".oob";
        oobFds_[part] = raw.open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (oobFds_[part] < 0)
            throw std::runtime_error(path + ": " + strerror(errno));
    }
    return oobFds_[part];
}

void Board::readOob(int part, uint32_t page, uint32_t offset, uint8_t* buf, size_t len) const {
    const off_t pos = static_cast<off_t>(page) * geo_.oob + offset;
    ssize_t got = raw.pread(oobFd(part), buf, len, pos);
    if (got < 0)
        got = 0;
    memset(buf + got, 0, len - static_cast<size_t>(got));
    for (size_t i = 0; i < len; ++i)
        buf[i] = static_cast<uint8_t>(~buf[i]);
}

void Board::programOob(int part, uint32_t page, uint32_t offset, const uint8_t* data, size_t len) {
    std::vector<uint8_t> stored(len);
    readOob(part, page, offset, stored.data(), len);
    for (size_t i = 0; i < len; ++i)
        stored[i] = static_cast<uint8_t>(~(stored[i] & data[i]));
    const off_t pos = static_cast<off_t>(page) * geo_.oob + offset;
    if (raw.pwrite(oobFd(part), stored.data(), len, pos) != static_cast<ssize_t>(len))
        throw std::runtime_error(std::string("OOB program failed: ") + strerror(errno));
}

bool Board::isBad(int part, uint32_t block) const {
    for (uint32_t b : bad_[part])
        if (b == block)
            return true;
    return false;
}

void Board::markBad(int part, uint32_t block) {
    if (!hasPartition(part) || block >= geo_.parts[part])
        throw std::runtime_error("no block " + std::to_string(block) + " in mtd" + std::to_string(part));
    if (!isBad(part, block)) {
        bad_[part].push_back(block);
        saveBad();
    }
}

std::vector<uint32_t> Board::badBlocks(int part) const { return hasPartition(part) ? bad_[part] : std::vector<uint32_t>(); }

// The data file keeps the complement of every byte, so a hole reads as 0xFF.
// An erased range is a hole in the sparse file: answering it without a read
// spares the kernel zeroing page cache for it, which is most of the cost of
// summing a large, mostly erased partition. One SEEK_DATA finds the whole
// hole, and later reads inside it need no system call until stored bytes change.
bool Board::inKnownHole(int part, uint64_t offset, size_t len) const {
    if (holes_.size() <= static_cast<size_t>(part))
        holes_.resize(static_cast<size_t>(part) + 1);
    KnownHole& h = holes_[static_cast<size_t>(part)];
    const uint32_t changes = __atomic_load_n(&shared_->dataChanges, __ATOMIC_ACQUIRE);
    if (h.changes == changes && offset >= h.start && offset + len <= h.end)
        return true;
    const uint64_t end = storedFrom(part, offset);
    h = {changes, offset, end};
    return offset + len <= end;
}

uint64_t Board::storedFrom(int part, uint64_t offset) const {
    const off_t data = raw.lseek(dataFd(part), static_cast<off_t>(offset), SEEK_DATA);
    if (data >= 0)
        return static_cast<uint64_t>(data);
    return errno == ENXIO ? UINT64_MAX : offset;   // ENXIO: no data from here to the end of the file
}

void Board::dataChanged() { __atomic_add_fetch(&shared_->dataChanges, 1, __ATOMIC_RELEASE); }

void Board::read(int part, uint64_t offset, uint8_t* buf, size_t len) const {
    if (inKnownHole(part, offset, len)) {
        memset(buf, 0xFF, len);
        return;
    }
    size_t done = 0;
    while (done < len) {
        ssize_t n = raw.pread(dataFd(part), buf + done, len - done, static_cast<off_t>(offset + done));
        if (n <= 0) {
            memset(buf + done, 0, len - done);
            break;
        }
        done += static_cast<size_t>(n);
    }
    for (size_t i = 0; i < len; ++i)
        buf[i] = static_cast<uint8_t>(~buf[i]);
}

bool Board::pageProgrammed(int part, uint32_t page) const {
    return page < pageCount(part) && pagesMap(part)[page] != 0;
}

void Board::setPageProgrammed(int part, uint32_t page, bool programmed) {
    if (page < pageCount(part))
        pagesMap(part)[page] = programmed ? 1 : 0;
}

namespace {

// Whether programming these bytes changes nothing: every bit stays 1.
// Each byte equal to the next and the first 0xFF: the C library's memcmp
// is many times faster than a byte loop.
bool allErased(const uint8_t* data, size_t n) { return n == 0 || (data[0] == 0xFF && memcmp(data, data + 1, n - 1) == 0); }

}  // namespace

uint32_t Board::programPages(int part, uint64_t offset, const uint8_t* data, size_t len, size_t bytesToApply) {
    uint32_t reprogrammed = 0;
    uint8_t stored[8192];
    bool changed = false;
    for (size_t at = 0; at < len; at += geo_.page) {
        uint32_t page = static_cast<uint32_t>((offset + at) / geo_.page);
        if (pageProgrammed(part, page))
            ++reprogrammed;
        size_t n = std::min<size_t>(geo_.page, sizeof stored);
        // An erased page copied as it is (a partition copied whole) leaves
        // the stored bytes alone: no read, no write, and a hole in the
        // sparse file stays a hole, which later reads answer without a call.
        if (allErased(data + at, std::min(n, bytesToApply > at ? bytesToApply - at : 0))) {
            setPageProgrammed(part, page, true);
            continue;
        }
        changed = true;
        off_t pos = static_cast<off_t>(offset + at);
        ssize_t got = raw.pread(dataFd(part), stored, n, pos);
        if (got < 0)
            got = 0;
        memset(stored + got, 0, n - static_cast<size_t>(got));
        // Bits only go from 1 to 0: in the complement they only go from 0 to 1.
        for (size_t i = 0; i < n && at + i < bytesToApply; ++i)
            stored[i] |= static_cast<uint8_t>(~data[at + i]);
        if (raw.pwrite(dataFd(part), stored, n, pos) != static_cast<ssize_t>(n))
            throw std::runtime_error(std::string("program failed: ") + strerror(errno));
        setPageProgrammed(part, page, true);
    }
    if (changed)
        dataChanged();   // after the bytes changed: a reader never caches the old hole anew
    return reprogrammed;
}

void Board::eraseBlock(int part, uint32_t block) {
    punch(dataFd(part), static_cast<off_t>(block) * geo_.block, geo_.block);
    memset(pagesMap(part) + static_cast<size_t>(block) * pagesPerBlock(), 0, pagesPerBlock());
    punch(oobFd(part), static_cast<off_t>(block) * pagesPerBlock() * geo_.oob, pagesPerBlock() * geo_.oob);
    dataChanged();
}

void Board::erasePage(int part, uint32_t page) {
    punch(dataFd(part), static_cast<off_t>(page) * geo_.page, geo_.page);
    setPageProgrammed(part, page, false);
    punch(oobFd(part), static_cast<off_t>(page) * geo_.oob, geo_.oob);
    dataChanged();
}

void Board::logLine(const std::string& line) const {
    if (logFd_ < 0)
        logFd_ = raw.open(logPath().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (logFd_ >= 0) {
        std::string l = line + "\n";
        if (raw.write(logFd_, l.data(), l.size()) < 0) {
            // The log is best effort; the flash operation itself has happened.
        }
    }
}

}  // namespace nandemu
