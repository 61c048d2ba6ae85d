// The test wrapper of the simulated board: a fresh board in a temporary folder, the programs
// run on it through the emulator, and direct access to its flash for setting
// up states and checking results independently of the programs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace testboard {

struct RunResult {
    int status = -1;      // exit status, or -1 when killed by a signal
    int signal = 0;       // the signal that ended the process, 0 when it exited
    std::string out;      // standard output
    std::string err;      // standard error
    bool exited(int code) const { return signal == 0 && status == code; }
};

// Runs a command line through the shell, off any board: its exit status
// (-1 when killed) and both streams.
RunResult runShell(const std::string& command);

struct BoardOptions {
    std::string layout = "512m";         // "512m" or "small" (no mtd12)
    uint32_t page = 2048, oob = 64, block = 131072;
    std::vector<uint32_t> parts;         // partition sizes in blocks; empty: the layout's
    bool strict = false;                 // reprogramming a page fails with EIO
    uint32_t eccStep = 0, eccStrength = 0;   // the controller's ECC; 0: none
};

// One line of the board's log, split into its fields.
struct LogEntry {
    int pid = 0;
    std::string prog, dev, op;   // dev "mtdN" or "-"; op erase, program, sleep, fault, violation, powercut, ...
    uint64_t offset = 0, length = 0;
    std::string extra;           // the rest of the line (fault kind, violation kind)
};

class TestBoard {
public:
    explicit TestBoard(const BoardOptions& options = BoardOptions());
    ~TestBoard();                    // removes the folder unless KEEP_BOARDS is set
    TestBoard(const TestBoard&) = delete;
    TestBoard& operator=(const TestBoard&) = delete;

    const std::string& dir() const { return dir_; }

    // Runs a program on the board. argv[0] names a program of this build
    // ("tolvane", "quillet", "nanddump", ...) or any program on PATH. The
    // build's program folder and its tools folder are first on the search
    // path, as `simboard run` puts them. Each "NAME=value" of env replaces
    // that variable of the run (PATH, LD_PRELOAD, ...).
    RunResult run(const std::vector<std::string>& argv, const std::string& stdinText = "",
                  const std::vector<std::string>& env = {}) const;
    // From now on the runs of `program` with `argc` arguments (its name
    // included) and no env of their own are forked from one start of it,
    // the emulator's served runs: a sweep of thousands of runs then loads
    // and links it once. Each run still starts with the board and its faults
    // read afresh. A script is still started anew.
    void serve(const std::string& program, size_t argc);

    // Geometry.
    uint32_t pageSize() const;
    uint32_t blockSize() const;
    uint32_t partitionSize(int mtd) const;   // bytes; 0 when the board has no such partition
    int partitionCount() const;

    // Direct flash access: no fault, no counting, no log entry.
    std::vector<uint8_t> read(int mtd, uint64_t offset, size_t length) const;
    // The first offset from `offset` on that may hold programmed bytes (the
    // board's storedFrom), at most the partition's size.
    uint64_t nextStored(int mtd, uint64_t offset) const;
    void program(int mtd, uint64_t offset, const std::vector<uint8_t>& data);  // ANDs into the pages
    void eraseBlock(int mtd, uint32_t block);
    void load(int mtd, const std::vector<uint8_t>& image);  // erase, then write skipping bad blocks, 0xFF padded
    void markBad(int mtd, uint32_t block);
    std::vector<uint32_t> badBlocks(int mtd) const;
    void flipStoredBit(int mtd, uint64_t offset, int bit);   // changes the stored byte

    // Faults (the emulator's fault lines, see emulator/README.md). Setting
    // faults resets the operation counters.
    void setFaults(const std::vector<std::string>& lines);
    void clearFaults() { setFaults({}); }
    uint64_t mutatingOps() const;     // erases and page programs since the last setFaults

    std::vector<LogEntry> log() const;
    std::vector<LogEntry> mutations() const;   // erase and program entries only
    size_t violations() const;                 // NAND rule violations ever logged
    std::vector<unsigned> sleeps() const;      // seconds asked by every intercepted sleep
    void clearLog();

    // SD card (the board's /mnt/sd).
    std::string sdPath(const std::string& relative) const;
    void writeSdFile(const std::string& relative, const std::vector<uint8_t>& data) const;
    // A backup as the field's SD card holds it: backup/NAME.bak and its two
    // checksum texts, backup/NAME.as1 and backup/NAME.as2; or a release so
    // in another folder (update/).
    void putBackup(const std::string& name, const std::vector<uint8_t>& image,
                   const std::string& folder = "backup") const;
    std::vector<uint8_t> readSdFile(const std::string& relative) const;
    bool sdFileExists(const std::string& relative) const;

private:
    struct Server;
    std::vector<std::string> runEnv(const std::vector<std::string>& extraEnv) const;
    void resetRun() const;   // the power on and no run's process group claimed
    std::string dir_;
    std::unique_ptr<Server> server_;
};

// Helpers for building test data.
std::vector<uint8_t> pattern(size_t length, uint32_t seed);   // reproducible pseudo-random bytes
uint32_t byteSum(const std::vector<uint8_t>& data);            // unsigned 32-bit wrapping byte sum
std::vector<std::string> lines(const std::string& text);       // split on '\n'
// A path compiled into the tests, or what the environment variable of the
// same name holds when it is set: the arm tier drives the ARM programs with
// the native tests so, and an empty value there means none.
std::string built(const char* variable, const char* path);
#define FW_BUILT(NAME) testboard::built(#NAME, NAME)
std::string binDir();                                          // the build's program folder
std::string toolDir();                                         // its MTD tools' folder, as installed beside it
std::string preload();                                         // the emulator library the runs preload

}  // namespace testboard
