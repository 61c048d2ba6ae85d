#include "test_board.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nand_board.h>   // the emulator's board (nandcore)
#include <records.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace testboard {

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string makeTempDir() {
    const char* base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/fwboard.XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back(0);
    if (!mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed");
    return buf.data();
}

std::unique_ptr<nandemu::Board> open(const std::string& dir) { return std::make_unique<nandemu::Board>(dir); }

// A NULL-terminated array of the strings' characters, for exec.
std::vector<char*> pointers(const std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (const std::string& s : strings)
        out.push_back(const_cast<char*>(s.c_str()));
    out.push_back(nullptr);
    return out;
}

// Whether `entry` ("NAME=value") names a variable `env` already sets.
bool replaced(const char* entry, const std::vector<std::string>& env) {
    const char* eq = std::strchr(entry, '=');
    const size_t n = eq ? static_cast<size_t>(eq - entry) + 1 : std::strlen(entry);
    for (const std::string& e : env)
        if (e.compare(0, n, entry, n) == 0)
            return true;
    return false;
}

// The value env gives NAME; empty when it gives none.
std::string valueOf(const std::vector<std::string>& env, const std::string& name) {
    for (const std::string& e : env)
        if (e.compare(0, name.size() + 1, name + "=") == 0)
            return e.substr(name.size() + 1);
    return "";
}

// The program a command name starts: a name with a slash as it stands, else
// the first executable of that name on the search path.
std::string findProgram(const std::string& name, const std::string& path) {
    if (name.find('/') != std::string::npos)
        return name;
    std::istringstream dirs(path);
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    throw std::runtime_error("no program " + name + " on " + path);
}

}  // namespace

RunResult runShell(const std::string& command) {
    const std::string dir = makeTempDir();
    const int rc = system((command + " >" + dir + "/out 2>" + dir + "/err").c_str());
    RunResult r;
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    r.signal = WIFSIGNALED(rc) ? WTERMSIG(rc) : 0;
    r.out = slurp(dir + "/out");
    r.err = slurp(dir + "/err");
    remove((dir + "/out").c_str());
    remove((dir + "/err").c_str());
    rmdir(dir.c_str());
    return r;
}

std::string built(const char* variable, const char* path) {
    const char* given = getenv(variable);
    return given ? given : path;
}

std::string binDir() { return FW_BUILT(FW_BIN_DIR); }

std::string toolDir() { return binDir() + "/" FW_TOOLS_FROM_PROGRAMS; }

std::string preload() { return FW_BUILT(FW_PRELOAD); }

TestBoard::TestBoard(const BoardOptions& o) : dir_(makeTempDir() + "/board") {
    nandemu::Geometry g;
    g.page = o.page;
    g.oob = o.oob;
    g.block = o.block;
    g.parts = o.parts.empty() ? nandemu::layoutParts(o.layout) : o.parts;
    g.strict = o.strict;
    g.eccStep = o.eccStep;
    g.eccStrength = o.eccStrength;
    nandemu::Board::create(dir_, g);
    mkdir((dir_ + "/sd/backup").c_str(), 0755);
}

// A served program's template (see emulator/preload.cpp): requests go out
// and wait statuses come back on one end of a socket pair.
struct TestBoard::Server {
    std::string program;
    size_t argc = 0;
    pid_t pid = -1;
    int socket = -1;
    ~Server() {
        ::close(socket);   // the template ends at the end of its requests
        if (pid > 0)
            waitpid(pid, nullptr, 0);
    }
};

TestBoard::~TestBoard() {
    if (getenv("KEEP_BOARDS"))
        return;
    // In the test process, not through rm: starting a program is most of
    // the cost of a short test. A leftover folder is not worth failing for.
    std::error_code ignored;
    std::filesystem::remove_all(dir_.substr(0, dir_.rfind('/')), ignored);
}

std::vector<std::string> TestBoard::runEnv(const std::vector<std::string>& extraEnv) const {
    // The program starts as `simboard run` starts it, without the board tool
    // in between: the board named, the emulator preloaded, the build's
    // programs and tools first on the search path, sanitized programs
    // accepting the emulator ahead of their runtime.
    char board[PATH_MAX];
    if (!realpath(dir_.c_str(), board))
        throw std::runtime_error(dir_ + ": " + strerror(errno));
    std::vector<std::string> env = extraEnv;
    auto add = [&env](const std::string& entry) {
        if (!replaced(entry.c_str(), env))
            env.push_back(entry);
    };
    add(std::string("NANDEMU_BOARD=") + board);
    add("LD_PRELOAD=" + preload());
    add("PATH=" + binDir() + ":" + toolDir() + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin"));
    add("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0");
    for (char** e = environ; *e; ++e)
        add(*e);
    return env;
}

void TestBoard::resetRun() const {
    auto b = open(dir_);
    b->shared()->runGroup = 0;   // unclaimed until the program starts
    b->shared()->powerOff = 0;
}

namespace {

// Spawned rather than forked: the test process may be large, and a sweep
// starts thousands of programs. In a process group of its own, which the
// emulator takes as the run's (a power cut kills all of it).
pid_t spawn(const std::string& program, const std::vector<std::string>& argv, const std::vector<std::string>& env,
            posix_spawn_file_actions_t* files) {
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), files, &attr, pointers(argv).data(), pointers(env).data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(files);
    if (spawned != 0)
        throw std::runtime_error("cannot start " + argv[0] + ": " + strerror(spawned));
    return pid;
}

// Sent, not written: a template that died ends the run with an error, not
// the test process with SIGPIPE.
void sendAll(int fd, const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            throw std::runtime_error(std::string("served run: ") + strerror(errno));
        done += static_cast<size_t>(n);
    }
}

}  // namespace

void TestBoard::serve(const std::string& name, size_t argc) {
    std::vector<std::string> env = runEnv({});
    const std::string program = findProgram(name, valueOf(env, "PATH"));
    // A script (the arm tier's wrapper that starts a program under qemu-arm)
    // would serve from its shell: its runs are started anew.
    char magic[4] = {};
    std::ifstream(program, std::ios::binary).read(magic, sizeof magic);
    if (std::memcmp(magic, "\x7f" "ELF", sizeof magic) != 0)
        return;
    auto server = std::make_unique<Server>();
    server->program = name;
    server->argc = argc;
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        throw std::runtime_error(std::string("socketpair: ") + strerror(errno));
    server->socket = ends[0];
    constexpr int kTemplateFd = 3;
    env.push_back("NANDEMU_SERVE=" + std::to_string(kTemplateFd));
    // Every symbol bound once in the template, not lazily in each run: about
    // one page fault in fifteen of a served run's start.
    env.push_back("LD_BIND_NOW=1");
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    for (int fd = 0; fd < 3; ++fd)
        posix_spawn_file_actions_addopen(&files, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&files, ends[1], kTemplateFd);
    std::vector<std::string> argv(argc, "(served)");
    argv[0] = name;
    try {
        server->pid = spawn(program, argv, env, &files);
    } catch (...) {
        ::close(ends[1]);
        throw;
    }
    ::close(ends[1]);
    server_ = std::move(server);
}

RunResult TestBoard::run(const std::vector<std::string>& argv, const std::string& stdinText,
                         const std::vector<std::string>& extraEnv) const {
    std::string outPath = dir_ + "/../run.out", errPath = dir_ + "/../run.err", inPath = dir_ + "/../run.in";
    {
        std::ofstream in(inPath, std::ios::binary);
        in << stdinText;
    }
    resetRun();
    int status = 0;
    if (server_ && argv.at(0) == server_->program && argv.size() == server_->argc && extraEnv.empty()) {
        std::string fields;
        for (size_t i = 1; i < argv.size(); ++i)
            fields += argv[i] + '\0';
        for (const std::string* path : {&inPath, &outPath, &errPath})
            fields += *path + '\0';
        const uint32_t length = static_cast<uint32_t>(fields.size());
        sendAll(server_->socket, std::string(reinterpret_cast<const char*>(&length), sizeof length) + fields);
        int32_t got = 0;
        if (::recv(server_->socket, &got, sizeof got, MSG_WAITALL) != sizeof got)
            throw std::runtime_error("served " + argv[0] + " ended");
        status = got;
    } else {
        const std::vector<std::string> env = runEnv(extraEnv);
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 0, inPath.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&files, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&files, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const pid_t pid = spawn(findProgram(argv.at(0), valueOf(env, "PATH")), argv, env, &files);
        waitpid(pid, &status, 0);
    }
    RunResult r;
    if (WIFEXITED(status))
        r.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        r.signal = WTERMSIG(status);
    r.out = slurp(outPath);
    r.err = slurp(errPath);
    return r;
}

uint32_t TestBoard::pageSize() const { return open(dir_)->geometry().page; }
uint32_t TestBoard::blockSize() const { return open(dir_)->geometry().block; }
uint32_t TestBoard::partitionSize(int mtd) const { return static_cast<uint32_t>(open(dir_)->partitionSize(mtd)); }
int TestBoard::partitionCount() const { return open(dir_)->partitions(); }

std::vector<uint8_t> TestBoard::read(int mtd, uint64_t offset, size_t length) const {
    auto b = open(dir_);
    if (offset + length > b->partitionSize(mtd))
        throw std::out_of_range("read past the end of mtd" + std::to_string(mtd));
    std::vector<uint8_t> data(length);
    b->read(mtd, offset, data.data(), length);
    return data;
}

uint64_t TestBoard::nextStored(int mtd, uint64_t offset) const {
    auto b = open(dir_);
    return std::min<uint64_t>(b->storedFrom(mtd, offset), b->partitionSize(mtd));
}

void TestBoard::program(int mtd, uint64_t offset, const std::vector<uint8_t>& data) {
    auto b = open(dir_);
    uint32_t page = b->geometry().page;
    if (offset % page)
        throw std::invalid_argument("program: offset not on a page boundary");
    std::vector<uint8_t> padded(data);
    padded.resize((data.size() + page - 1) / page * page, 0xFF);
    b->programPages(mtd, offset, padded.data(), padded.size());
}

void TestBoard::eraseBlock(int mtd, uint32_t block) { open(dir_)->eraseBlock(mtd, block); }

void TestBoard::load(int mtd, const std::vector<uint8_t>& image) {
    auto b = open(dir_);
    if (!nandemu::loadImage(*b, mtd, image))
        throw std::runtime_error("image does not fit into mtd" + std::to_string(mtd));
}

void TestBoard::markBad(int mtd, uint32_t block) { open(dir_)->markBad(mtd, block); }
std::vector<uint32_t> TestBoard::badBlocks(int mtd) const { return open(dir_)->badBlocks(mtd); }

void TestBoard::flipStoredBit(int mtd, uint64_t offset, int bit) {
    auto b = open(dir_);
    nandemu::flipStoredBit(*b, mtd, offset, bit);
}

void TestBoard::setFaults(const std::vector<std::string>& lines) { open(dir_)->setFaults(lines); }
uint64_t TestBoard::mutatingOps() const { return open(dir_)->shared()->mutatingOps; }

std::vector<LogEntry> TestBoard::log() const {
    std::vector<LogEntry> entries;
    std::istringstream in(slurp(dir_ + "/log"));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        LogEntry e;
        std::string off, len;
        f >> e.pid >> e.prog >> e.dev >> e.op >> off >> len;
        e.offset = strtoull(off.c_str(), nullptr, 0);
        e.length = strtoull(len.c_str(), nullptr, 0);
        std::getline(f >> std::ws, e.extra);
        entries.push_back(e);
    }
    return entries;
}

std::vector<LogEntry> TestBoard::mutations() const {
    std::vector<LogEntry> out;
    for (auto& e : log())
        if (e.op == "erase" || e.op == "program")
            out.push_back(e);
    return out;
}

size_t TestBoard::violations() const {
    size_t n = 0;
    for (auto& e : log())
        n += e.op == "violation";
    return n;
}

std::vector<unsigned> TestBoard::sleeps() const {
    std::vector<unsigned> out;
    for (auto& e : log())
        if (e.op == "sleep")
            out.push_back(static_cast<unsigned>(e.offset));
    return out;
}

void TestBoard::clearLog() { std::ofstream(dir_ + "/log", std::ios::trunc); }

std::string TestBoard::sdPath(const std::string& relative) const { return dir_ + "/sd/" + relative; }

void TestBoard::putBackup(const std::string& name, const std::vector<uint8_t>& image,
                          const std::string& folder) const {
    const std::string base = folder + "/" + name;
    const std::string text = nandemu::checksumText(nandemu::fileChecksum(image));
    writeSdFile(base + ".bak", image);
    for (const char* ext : {".as1", ".as2"})
        writeSdFile(base + ext, std::vector<uint8_t>(text.begin(), text.end()));
}

void TestBoard::writeSdFile(const std::string& relative, const std::vector<uint8_t>& data) const {
    std::string path = sdPath(relative);
    std::string parent = path.substr(0, path.rfind('/'));
    std::error_code error;
    std::filesystem::create_directories(parent, error);
    if (error)
        throw std::runtime_error("cannot create " + parent + ": " + error.message());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

std::vector<uint8_t> TestBoard::readSdFile(const std::string& relative) const {
    std::string s = slurp(sdPath(relative));
    return std::vector<uint8_t>(s.begin(), s.end());
}

bool TestBoard::sdFileExists(const std::string& relative) const { return access(sdPath(relative).c_str(), F_OK) == 0; }

std::vector<uint8_t> pattern(size_t length, uint32_t seed) {
    std::vector<uint8_t> data(length);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : data) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return data;
}

uint32_t byteSum(const std::vector<uint8_t>& data) {
    uint32_t sum = 0;
    for (uint8_t b : data)
        sum += b;
    return sum;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        out.push_back(line);
    return out;
}

}  // namespace testboard
