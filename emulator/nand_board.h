// The simulated board: NAND partitions kept in a folder, shared by every
// process that runs on the board (the preloaded emulator, the board tool and
// the tests).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace nandemu {

constexpr int kMaxPartitions = 32;

struct Geometry {
    uint32_t page = 2048;
    uint32_t oob = 64;
    uint32_t block = 131072;
    std::vector<uint32_t> parts;   // partition sizes in blocks
    bool strict = false;           // reprogramming a page fails instead of being logged
    bool interceptSleep = true;    // sleep() returns at once and is logged
    // The controller's ECC: each eccStep bytes of a page correct up to
    // eccStrength flipped bits. eccStep 0: no ECC, every flip is read as it is.
    uint32_t eccStep = 0;
    uint32_t eccStrength = 0;
};

// Whether the ECC settings fit the page: none, or a step that divides the
// page and a strength from 1 to the step's bits.
bool eccFits(const Geometry& g);

// The partition sizes of a named layout; empty for an unknown name.
std::vector<uint32_t> layoutParts(const std::string& name);

// Operations that faults and occurrence counters are kept for.
enum class Op { Open, GetInfo, GetBadBlock, Erase, Read, Write, Count };
const char* opName(Op op);
bool opFromName(const std::string& name, Op* op);

enum class CutForm { Before, Torn, After };

struct Fault {
    enum Kind { Cut, Fail, Flip } kind = Fail;
    // Cut
    uint64_t cutAt = 0;
    CutForm form = CutForm::Before;
    uint32_t seed = 1;
    // Fail
    int part = -1;            // -1: any partition
    Op op = Op::Open;
    uint32_t occurrence = 0;  // 0: every call
    int error = 0;            // errno; 0 with shortTransfer
    bool shortTransfer = false;
    // Flip
    uint64_t offset = 0;
    int bit = 0;
};

// Parses one fault line (cut=..., fail=..., flip=...); on failure returns false and sets *why.
bool parseFault(const std::string& text, Fault* fault, std::string* why);
std::string errnoName(int err);
int errnoFromName(const std::string& name);   // 0 when unknown

// Counters shared by every process on the board through a mapped file.
struct SharedState {
    uint32_t magic;
    uint32_t powerOff;        // set by a power cut, cleared by the next run
    uint64_t mutatingOps;     // erases and page programs since the faults were set
    int32_t runGroup;         // process group of the run: `simboard run`'s, or a group leader's that claimed it
    uint32_t dataChanges;     // every erase and program of stored bytes, by any process
    uint32_t occurrences[kMaxPartitions + 1][static_cast<int>(Op::Count)];  // last row: all partitions
    uint32_t eccFailed[kMaxPartitions];      // per partition (ECCGETSTATS failed), see mtd_device.h
    uint32_t eccCorrected[kMaxPartitions];   // per partition (ECCGETSTATS corrected)
};

class Board {
public:
    // Opens an existing board; throws std::runtime_error when it is not one.
    explicit Board(const std::string& dir);
    ~Board();
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    static void create(const std::string& dir, const Geometry& geometry);

    const std::string& dir() const { return dir_; }
    const Geometry& geometry() const { return geo_; }
    int partitions() const { return static_cast<int>(geo_.parts.size()); }
    bool hasPartition(int part) const { return part >= 0 && part < partitions(); }
    uint64_t partitionSize(int part) const {
        return hasPartition(part) ? static_cast<uint64_t>(geo_.parts[part]) * geo_.block : 0;
    }
    uint32_t pagesPerBlock() const { return geo_.block / geo_.page; }
    uint32_t pageCount(int part) const { return hasPartition(part) ? geo_.parts[part] * pagesPerBlock() : 0; }
    std::string dataPath(int part) const;
    std::string sdDir() const { return dir_ + "/sd"; }

    // Bad blocks (block numbers within the partition).
    bool isBad(int part, uint32_t block) const;
    void markBad(int part, uint32_t block);
    std::vector<uint32_t> badBlocks(int part) const;

    // Raw flash: no faults, no counting, no log. Offsets are byte offsets in
    // the partition; callers check ranges.
    void read(int part, uint64_t offset, uint8_t* buf, size_t len) const;
    // The first offset from `offset` on that may hold stored bytes: erased
    // flash is a hole in the partition's file. UINT64_MAX when only erased
    // flash follows; `offset` itself when the file system cannot tell.
    uint64_t storedFrom(int part, uint64_t offset) const;
    // Programs whole pages: ANDs data into them. Returns the number of pages
    // that had been programmed before since their last erase.
    uint32_t programPages(int part, uint64_t offset, const uint8_t* data, size_t len,
                          size_t bytesToApply = SIZE_MAX);
    bool pageProgrammed(int part, uint32_t page) const;
    void setPageProgrammed(int part, uint32_t page, bool programmed);
    void eraseBlock(int part, uint32_t block);   // its spare areas too
    void erasePage(int part, uint32_t page);   // for torn erases

    // The spare (OOB) area of each page, geometry().oob bytes: erased to 0xFF
    // with its block and programmed by AND. Ranges lie within one page's area.
    void readOob(int part, uint32_t page, uint32_t offset, uint8_t* buf, size_t len) const;
    void programOob(int part, uint32_t page, uint32_t offset, const uint8_t* data, size_t len);

    // Faults.
    const std::vector<Fault>& faults() const { return faults_; }
    // Whether a fail fault names this kind of call, and whether any bit is
    // flipped: the checks every read and write makes before it looks further.
    bool failArmed(Op op) const { return failOps_ & (1u << static_cast<int>(op)); }
    bool hasFlips() const { return hasFlips_; }
    // Replaces the faults and resets the counters, or with add appends to
    // them and leaves the counters alone. Throws std::runtime_error for a
    // line that is no fault or names a partition the board does not have.
    void setFaults(const std::vector<std::string>& lines, bool add = false);
    SharedState* shared() const { return shared_; }

    // Log.
    void logLine(const std::string& line) const;
    std::string logPath() const { return dir_ + "/log"; }

private:
    void loadConfig();
    void loadBad();
    void saveBad() const;
    void loadFaults();
    void mapShared();
    int dataFd(int part) const;
    int pagesFd(int part) const;
    uint8_t* pagesMap(int part) const;
    int oobFd(int part) const;

    std::string dir_;
    Geometry geo_;
    std::vector<std::vector<uint32_t>> bad_;
    std::vector<Fault> faults_;
    uint32_t failOps_ = 0;
    bool hasFlips_ = false;
    SharedState* shared_ = nullptr;
    mutable std::vector<int> dataFds_, pagesFds_, oobFds_;
    // Each partition's programmed-page bytes, mapped: every page program
    // reads and sets one, and a call for each was most of a copy's cost.
    mutable std::vector<uint8_t*> pagesMaps_;
    // The last erased range found in a partition's file, valid while no
    // process on the board has changed stored bytes since.
    struct KnownHole {
        uint32_t changes = 0;
        uint64_t start = 0, end = 0;
    };
    mutable std::vector<KnownHole> holes_;
    bool inKnownHole(int part, uint64_t offset, size_t len) const;
    void dataChanged();
    mutable int logFd_ = -1;
};

// The real C library entry points, so the preloaded emulator's own file work
// does not come back into its wrappers. Set by the preload library; the board
// tool and the tests use the plain C library.
struct RawIo {
    int (*open)(const char*, int, ...);
    int (*close)(int);
    ssize_t (*pread)(int, void*, size_t, off_t);
    ssize_t (*pwrite)(int, const void*, size_t, off_t);
    ssize_t (*write)(int, const void*, size_t);
    off_t (*lseek)(int, off_t, int);
};
extern RawIo raw;

}  // namespace nandemu
