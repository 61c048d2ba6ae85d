// The emulator's shim: preloaded into an unchanged program, it turns
// /dev/mtdN into the partitions of a simulated board (each call handed to the
// board's MtdDevice, which keeps the NAND rules and faults) and /mnt/sd into
// the board's SD card folder. Switched on by NANDEMU_BOARD; without it every
// call goes straight to the C library.
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "kernel_files.h"
#include "mtd_device.h"
#include "nand_board.h"

using nandemu::Access;
using nandemu::Board;
using nandemu::MtdDevice;

namespace {

constexpr int kMaxFds = 4096;
using nandemu::kMtdMajor;

struct Real {
    int (*open)(const char*, int, ...);
    int (*openat)(int, const char*, int, ...);
    int (*close)(int);
    ssize_t (*read)(int, void*, size_t);
    ssize_t (*write)(int, const void*, size_t);
    ssize_t (*pread)(int, void*, size_t, off_t);
    ssize_t (*pwrite)(int, const void*, size_t, off_t);
    ssize_t (*pread64)(int, void*, size_t, off64_t);
    ssize_t (*pwrite64)(int, const void*, size_t, off64_t);
    off_t (*lseek)(int, off_t, int);
    off64_t (*lseek64)(int, off64_t, int);
    int (*ioctl)(int, unsigned long, ...);
    FILE* (*fopen)(const char*, const char*);
    FILE* (*fopen64)(const char*, const char*);
    int (*access)(const char*, int);
    int (*stat)(const char*, struct stat*);
    int (*lstat)(const char*, struct stat*);
    int (*fstat)(int, struct stat*);
    int (*fstatat)(int, const char*, struct stat*, int);
    int (*stat64)(const char*, struct stat64*);
    int (*lstat64)(const char*, struct stat64*);
    int (*fstat64)(int, struct stat64*);
    int (*fstatat64)(int, const char*, struct stat64*, int);
    int (*statx)(int, const char*, int, unsigned, struct statx*);
    int (*unlink)(const char*);
    int (*remove)(const char*);
    int (*rename)(const char*, const char*);
    int (*mkdir)(const char*, mode_t);
    int (*rmdir)(const char*);
    int (*truncate)(const char*, off_t);
    void* (*opendir)(const char*);
    int (*dup2)(int, int);
    int (*dup3)(int, int, int);
    unsigned (*sleep)(unsigned);
    void (*sync)();
    int (*mkdirat)(int, const char*, mode_t);
    int (*unlinkat)(int, const char*, int);
    int (*renameat)(int, const char*, int, const char*);
    int (*faccessat)(int, const char*, int, int);
    ssize_t (*sendfile)(int, int, off_t*, size_t);
    ssize_t (*sendfile64)(int, int, off64_t*, size_t);
    ssize_t (*copy_file_range)(int, off64_t*, int, off64_t*, size_t, unsigned);
};

Real real;
Board* board = nullptr;
// Canonical, to recognise inherited partition descriptors. Plain data: the
// constructor below may run before this file's dynamic initialisers.
char boardDir[PATH_MAX];
bool initialised = false;

enum class FdKind : uint8_t { Unknown, Plain, Mtd };
struct FdInfo {
    FdKind kind;
    int8_t part;
    Access access;
};
FdInfo fds[kMaxFds];

template <typename F>
void resolve(F*& slot, const char* name) {
    slot = reinterpret_cast<F*>(dlsym(RTLD_NEXT, name));
}

void resolveReal() {
#define R(name) resolve(real.name, #name)
    R(open); R(openat); R(close); R(read); R(write); R(pread); R(pwrite); R(pread64); R(pwrite64);
    R(lseek); R(lseek64); R(ioctl); R(fopen); R(fopen64); R(access); R(stat); R(lstat); R(fstat);
    R(fstatat); R(stat64); R(lstat64); R(fstat64); R(fstatat64); R(statx); R(unlink); R(remove);
    R(rename); R(mkdir); R(rmdir); R(truncate); R(opendir); R(dup2); R(dup3); R(sleep); R(sync);
    R(sendfile); R(sendfile64); R(copy_file_range); R(mkdirat); R(unlinkat); R(renameat); R(faccessat);
#undef R
    nandemu::raw = {real.open, real.close, real.pread, real.pwrite, real.write, real.lseek};
}

// NANDEMU_REFUSE=DIR: no program from DIR runs on the board. The arm tier
// names the native build there, whose tests it points at the ARM programs:
// a native one started by a path it missed fails its test.
void refuseIfFrom(const char* dir) {
    char exe[PATH_MAX], refused[PATH_MAX];
    if (!dir || !*dir || !realpath("/proc/self/exe", exe) || !realpath(dir, refused))
        return;
    const size_t n = strlen(refused);
    if (strncmp(exe, refused, n) == 0 && exe[n] == '/') {
        fprintf(stderr, "nandemu: %s is refused on this board (NANDEMU_REFUSE)\n", exe);
        _exit(127);
    }
}

void init() {
    if (initialised)
        return;
    initialised = true;
    if (!real.open)   // a served run's template resolved them before it forked
        resolveReal();
    refuseIfFrom(getenv("NANDEMU_REFUSE"));
    const char* dir = getenv("NANDEMU_BOARD");
    if (!dir || !*dir)
        return;
    char canonical[PATH_MAX];
    if (!realpath(dir, canonical)) {
        fprintf(stderr, "nandemu: board %s: %s\n", dir, strerror(errno));
        _exit(127);
    }
    try {
        board = new Board(canonical);
        snprintf(boardDir, sizeof boardDir, "%s", canonical);
        // A program that leads a process group of its own on a board no run
        // has claimed (a test board starts its programs so) makes that group
        // the run's; the programs it starts then share its fate at a power cut.
        int32_t unclaimed = 0;
        if (getpgrp() == getpid())
            __atomic_compare_exchange_n(&board->shared()->runGroup, &unclaimed, static_cast<int32_t>(getpid()), false,
                                        __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    } catch (const std::exception& e) {
        fprintf(stderr, "nandemu: %s\n", e.what());
        _exit(127);
    }
}

// Served runs (NANDEMU_SERVE=FD, one end of a stream socket pair): the
// process started is only a template. For each request on FD, the run's
// arguments after the program's name and its three standard files, each
// ending in a NUL, after their length (4 bytes), a child forked from it goes
// on into the program's own initialisers and main with those arguments, as
// the leader of a process group of its own; the child's wait status (4
// bytes) goes back on FD. A sweep of thousands of runs of one program thus
// loads and links it once. The template itself never opens the board: each
// run's child reads the faults and the board afresh, as a program started
// anew would. A request with another number of arguments than the template
// was started with, or the end of FD, ends the template.
bool readAll(int fd, void* buf, size_t n) {
    for (auto* p = static_cast<char*>(buf); n > 0;) {
        const ssize_t got = real.read(fd, p, n);
        if (got <= 0)
            return false;
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

bool placeStandardFile(int fd, const char* path, int flags) {
    const int opened = real.open(path, flags, 0644);
    if (opened < 0)
        return false;
    if (opened != fd) {
        real.dup2(opened, fd);
        real.close(opened);
    }
    return true;
}

// In the child: the request's arguments in argv, its files on 0, 1 and 2.
void becomeRun(char* request, uint32_t length, int argc, char** argv) {
    std::vector<char*> fields;
    for (char* p = request; p < request + length; p += strlen(p) + 1)
        fields.push_back(p);
    setpgid(0, 0);
    if (!placeStandardFile(0, fields[fields.size() - 3], O_RDONLY) ||
        !placeStandardFile(1, fields[fields.size() - 2], O_WRONLY | O_CREAT | O_TRUNC) ||
        !placeStandardFile(2, fields[fields.size() - 1], O_WRONLY | O_CREAT | O_TRUNC))
        _exit(127);
    for (int i = 1; i < argc; ++i)
        argv[i] = fields[static_cast<size_t>(i - 1)];
    unsetenv("NANDEMU_SERVE");
}

void serve(const char* socketFd, int argc, char** argv) {
    const int fd = atoi(socketFd);
    resolveReal();
    // What every child would do alike happens once here: the C++ streams'
    // locale, which reading the board's files sets up on first use.
    {
        std::istringstream warm("1");
        uint32_t n = 0;
        warm >> n;
    }
    for (uint32_t length = 0; readAll(fd, &length, sizeof length);) {
        char* request = static_cast<char*>(malloc(length + 1));   // the child's argv: never freed there
        if (!request || !readAll(fd, request, length))
            _exit(127);
        request[length] = '\0';
        if (std::count(request, request + length, '\0') != argc - 1 + 3)
            _exit(127);
        const pid_t child = fork();
        if (child == 0) {
            real.close(fd);
            becomeRun(request, length, argc, argv);
            return;
        }
        free(request);
        int32_t status = 0;
        if (child < 0 || waitpid(child, &status, 0) != child || real.write(fd, &status, sizeof status) != sizeof status)
            _exit(127);
    }
    _exit(0);
}

__attribute__((constructor)) void initAtLoad(int argc, char** argv, char**) {
    if (const char* socketFd = getenv("NANDEMU_SERVE"))
        serve(socketFd, argc, argv);
    init();
}

bool active() {
    init();
    return board != nullptr;
}

// Power is off once a cut fired: whatever still runs on the board dies.
[[noreturn]] void powerLoss() {
    int group = board->shared()->runGroup;
    if (group > 0)
        kill(-group, SIGKILL);
    kill(getpid(), SIGKILL);
    _exit(137);
}

void checkPower() {
    if (__atomic_load_n(&board->shared()->powerOff, __ATOMIC_SEQ_CST))
        powerLoss();
}

// /dev/mtdN -> N, anything else -> -1.
int mtdFromPath(const char* path) {
    if (!path || strncmp(path, "/dev/mtd", 8) != 0 || !path[8])
        return -1;
    int n = 0;
    for (const char* p = path + 8; *p; ++p) {
        if (*p < '0' || *p > '9' || n > 1000)
            return -1;
        n = n * 10 + (*p - '0');
    }
    return n;
}

// /mnt/sd[/...] -> the board's SD card folder; false for any other path.
bool sdPath(const char* path, std::string* mapped) {
    static const char kSd[] = "/mnt/sd";
    if (!path || strncmp(path, kSd, sizeof kSd - 1) != 0)
        return false;
    const char* rest = path + sizeof kSd - 1;
    if (*rest && *rest != '/')
        return false;
    *mapped = board->sdDir() + rest;
    return true;
}

// The folder that stands in for the kernel's /sys and /proc views of the board.
std::string kernelDir() { return board->dir() + "/kernel"; }

bool under(const char* path, const char* prefix) {
    size_t n = strlen(prefix);
    return strncmp(path, prefix, n) == 0 && (path[n] == 0 || path[n] == '/');
}

// Writes the kernel's files for this board once per process, when a path
// under them is first used, so they show the bad blocks and ECC failures of
// that moment. Each file is replaced whole, so a reader in another process
// never sees one half written.
void writeKernelFiles() {
    static bool written = false;
    if (written)
        return;
    written = true;
    const std::string base = kernelDir();
    const std::string tmpSuffix = ".tmp" + std::to_string(getpid());
    for (const nandemu::KernelFile& f : nandemu::kernelFiles(*board)) {
        std::string path = base + "/" + f.path;
        for (size_t slash = base.size(); (slash = path.find('/', slash)) != std::string::npos; ++slash)
            real.mkdir(path.substr(0, slash).c_str(), 0755);
        std::string tmp = path + tmpSuffix;
        int fd = real.open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0444);
        if (fd < 0)
            continue;
        bool whole = real.write(fd, f.content.data(), f.content.size()) == static_cast<ssize_t>(f.content.size());
        real.close(fd);
        if (!whole || real.rename(tmp.c_str(), path.c_str()) != 0)
            real.unlink(tmp.c_str());
    }
}

// /sys/class/mtd and /proc/mtd: the board's kernel files. UBI is not there
// (/sys/class/misc/ubi_ctrl, /sys/class/ubi), whatever this machine has.
bool kernelPath(const char* path, std::string* mapped) {
    if (!path)
        return false;
    if (under(path, "/sys/class/mtd") || under(path, "/proc/mtd")) {
        writeKernelFiles();
        *mapped = kernelDir() + path;
        return true;
    }
    if (under(path, "/sys/class/misc/ubi_ctrl") || under(path, "/sys/class/ubi")) {
        *mapped = kernelDir() + "/absent" + path;
        return true;
    }
    return false;
}

// The path to hand to the C library for a path the board does not emulate.
const char* mapPath(const char* path, std::string* storage) {
    return active() && (sdPath(path, storage) || kernelPath(path, storage)) ? storage->c_str() : path;
}

int fail(int err) {
    errno = err;
    return -1;
}

// The device's answer as the C library gives it: -errno becomes -1 with
// errno set. A power cut the call met ends the process here.
template <typename T>
T answer(T result) {
    checkPower();
    return result < 0 ? fail(static_cast<int>(-result)) : result;
}

MtdDevice device(const FdInfo& info) { return MtdDevice(*board, info.part, info.access); }

FdInfo* mtdFd(int fd) {
    if (fd < 0 || fd >= kMaxFds || !active())
        return nullptr;
    FdInfo& info = fds[fd];
    if (info.kind == FdKind::Unknown) {
        // A descriptor inherited across exec or dup: recognise it by what it points at.
        info.kind = FdKind::Plain;
        char link[64], target[PATH_MAX];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        ssize_t n = readlink(link, target, sizeof target - 1);
        std::string prefix = std::string(boardDir) + "/mtd";
        if (n > 0) {
            target[n] = 0;
            int part = -1;
            char tail[8] = "";
            if (strncmp(target, prefix.c_str(), prefix.size()) == 0 &&
                sscanf(target + prefix.size(), "%d%7s", &part, tail) == 2 && strcmp(tail, ".data") == 0 &&
                board->hasPartition(part)) {
                int flags = fcntl(fd, F_GETFL);
                info = {FdKind::Mtd, static_cast<int8_t>(part), nandemu::accessFromFlags(flags)};
            }
        }
    }
    if (info.kind != FdKind::Mtd)
        return nullptr;
    checkPower();
    return &info;
}

void forget(int fd) {
    if (fd >= 0 && fd < kMaxFds)
        fds[fd].kind = FdKind::Unknown;
}

int openPartition(int part, int flags) {
    checkPower();
    if (!board->hasPartition(part))
        return fail(ENOENT);
    const Access access = nandemu::accessFromFlags(flags);
    if (answer(MtdDevice(*board, part, access).open()) < 0)
        return -1;
    int fd = real.open(board->dataPath(part).c_str(), O_RDWR | (flags & O_CLOEXEC));
    if (fd < 0)
        return -1;
    if (fd >= kMaxFds) {
        real.close(fd);
        return fail(EMFILE);
    }
    fds[fd] = {FdKind::Mtd, static_cast<int8_t>(part), access};
    return fd;
}

int openAny(const char* path, int flags, mode_t mode) {
    if (active()) {
        checkPower();
        int part = mtdFromPath(path);
        if (part >= 0)
            return openPartition(part, flags);
    }
    std::string storage;
    int fd = real.open(mapPath(path, &storage), flags, mode);
    forget(fd);
    return fd;
}

template <typename Stat>
void fillStat(int part, Stat* st) {
    memset(st, 0, sizeof *st);
    st->st_mode = S_IFCHR | 0660;
    st->st_rdev = makedev(kMtdMajor, 2 * part);
    st->st_dev = makedev(0, 5);
    st->st_ino = 1000 + part;
    st->st_nlink = 1;
    st->st_blksize = 4096;
}

// stat of a path the board emulates: 1 handled (result in *ret), 0 not ours.
template <typename Stat>
int statPath(const char* path, Stat* st, int* ret) {
    if (!active())
        return 0;
    checkPower();
    int part = mtdFromPath(path);
    if (part < 0)
        return 0;
    if (!board->hasPartition(part))
        *ret = fail(ENOENT);
    else {
        fillStat(part, st);
        *ret = 0;
    }
    return 1;
}

template <typename Stat>
int statFd(int fd, Stat* st, int* ret) {
    FdInfo* info = mtdFd(fd);
    if (!info)
        return 0;
    fillStat(info->part, st);
    *ret = 0;
    return 1;
}

// Streams on a partition go through the emulator too (stdio's own reads
// would bypass the wrappers).
ssize_t cookieRead(void* c, char* buf, size_t n) { return read(static_cast<int>(reinterpret_cast<intptr_t>(c)), buf, n); }
ssize_t cookieWrite(void* c, const char* buf, size_t n) {
    return write(static_cast<int>(reinterpret_cast<intptr_t>(c)), buf, n);
}
int cookieSeek(void* c, off64_t* pos, int whence) {
    off64_t r = lseek64(static_cast<int>(reinterpret_cast<intptr_t>(c)), *pos, whence);
    if (r < 0)
        return -1;
    *pos = r;
    return 0;
}
int cookieClose(void* c) { return close(static_cast<int>(reinterpret_cast<intptr_t>(c))); }

FILE* openStream(const char* path, const char* mode, FILE* (*realFopen)(const char*, const char*)) {
    if (active()) {
        checkPower();
        int part = mtdFromPath(path);
        if (part >= 0) {
            int flags = strchr(mode, '+') ? O_RDWR : mode[0] == 'r' ? O_RDONLY : O_WRONLY;
            int fd = openPartition(part, flags);
            if (fd < 0)
                return nullptr;
            cookie_io_functions_t io = {cookieRead, cookieWrite, cookieSeek, cookieClose};
            FILE* f = fopencookie(reinterpret_cast<void*>(static_cast<intptr_t>(fd)), mode, io);
            if (!f)
                close(fd);
            return f;
        }
    }
    std::string storage;
    return realFopen(mapPath(path, &storage), mode);
}

off64_t mtdSeek(int fd, const FdInfo& info, off64_t offset, int whence) {
    off64_t base = whence == SEEK_SET ? 0
                 : whence == SEEK_CUR ? real.lseek64(fd, 0, SEEK_CUR)
                 : whence == SEEK_END ? static_cast<off64_t>(board->partitionSize(info.part))
                                      : -1;
    if (base < 0 || base + offset < 0 || static_cast<uint64_t>(base + offset) > board->partitionSize(info.part))
        return fail(EINVAL);
    return real.lseek64(fd, base + offset, SEEK_SET);
}

ssize_t readAt(int fd, void* buf, size_t n, off64_t offset) {
    FdInfo* info = mtdFd(fd);
    if (!info)
        return real.pread64(fd, buf, n, offset);
    return offset < 0 ? fail(EINVAL) : answer(device(*info).read(static_cast<uint64_t>(offset), buf, n));
}

ssize_t writeAt(int fd, const void* buf, size_t n, off64_t offset) {
    FdInfo* info = mtdFd(fd);
    if (!info)
        return real.pwrite64(fd, buf, n, offset);
    return offset < 0 ? fail(EINVAL) : answer(device(*info).write(static_cast<uint64_t>(offset), buf, n));
}

// Sequential transfers move the descriptor's own position, shared across fork as in the kernel.
template <typename Transfer>
ssize_t atPosition(int fd, Transfer transfer) {
    off64_t pos = real.lseek64(fd, 0, SEEK_CUR);
    ssize_t n = transfer(pos);
    if (n > 0)
        real.lseek64(fd, pos + n, SEEK_SET);
    return n;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(ap, mode_t) : 0;
    va_end(ap);
    return openAny(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(ap, mode_t) : 0;
    va_end(ap);
    return openAny(path, flags | O_LARGEFILE, mode);
}

int __open_2(const char* path, int flags) { return openAny(path, flags, 0); }
int __open64_2(const char* path, int flags) { return openAny(path, flags | O_LARGEFILE, 0); }

static int openAtAny(int dirfd, const char* path, int flags, mode_t mode) {
    if (path && path[0] == '/')
        return openAny(path, flags, mode);
    init();
    int fd = real.openat(dirfd, path, flags, mode);
    forget(fd);
    return fd;
}

int openat(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(ap, mode_t) : 0;
    va_end(ap);
    return openAtAny(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(ap, mode_t) : 0;
    va_end(ap);
    return openAtAny(dirfd, path, flags | O_LARGEFILE, mode);
}

int __openat_2(int dirfd, const char* path, int flags) { return openAtAny(dirfd, path, flags, 0); }
int __openat64_2(int dirfd, const char* path, int flags) { return openAtAny(dirfd, path, flags | O_LARGEFILE, 0); }

int creat(const char* path, mode_t mode) { return openAny(path, O_CREAT | O_WRONLY | O_TRUNC, mode); }
int creat64(const char* path, mode_t mode) { return openAny(path, O_CREAT | O_WRONLY | O_TRUNC | O_LARGEFILE, mode); }

int close(int fd) {
    init();
    if (active())
        checkPower();
    forget(fd);
    return real.close(fd);
}

ssize_t read(int fd, void* buf, size_t n) {
    FdInfo* info = mtdFd(fd);
    if (!info)
        return real.read(fd, buf, n);
    return atPosition(fd, [&](off64_t pos) { return answer(device(*info).read(static_cast<uint64_t>(pos), buf, n)); });
}

ssize_t __read_chk(int fd, void* buf, size_t n, size_t) { return read(fd, buf, n); }

ssize_t write(int fd, const void* buf, size_t n) {
    FdInfo* info = mtdFd(fd);
    if (!info)
        return real.write(fd, buf, n);
    return atPosition(fd, [&](off64_t pos) { return answer(device(*info).write(static_cast<uint64_t>(pos), buf, n)); });
}

ssize_t pread(int fd, void* buf, size_t n, off_t offset) { return readAt(fd, buf, n, offset); }
ssize_t pread64(int fd, void* buf, size_t n, off64_t offset) { return readAt(fd, buf, n, offset); }
ssize_t __pread_chk(int fd, void* buf, size_t n, off_t offset, size_t) { return readAt(fd, buf, n, offset); }
ssize_t __pread64_chk(int fd, void* buf, size_t n, off64_t offset, size_t) { return readAt(fd, buf, n, offset); }
ssize_t pwrite(int fd, const void* buf, size_t n, off_t offset) { return writeAt(fd, buf, n, offset); }
ssize_t pwrite64(int fd, const void* buf, size_t n, off64_t offset) { return writeAt(fd, buf, n, offset); }

off_t lseek(int fd, off_t offset, int whence) {
    FdInfo* info = mtdFd(fd);
    if (!info)
        return real.lseek(fd, offset, whence);
    off64_t r = mtdSeek(fd, *info, offset, whence);
    if (r > static_cast<off64_t>(std::numeric_limits<off_t>::max()))
        return fail(EOVERFLOW);
    return static_cast<off_t>(r);
}

off64_t lseek64(int fd, off64_t offset, int whence) {
    FdInfo* info = mtdFd(fd);
    if (!info)
        return real.lseek64(fd, offset, whence);
    return mtdSeek(fd, *info, offset, whence);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    FdInfo* info = mtdFd(fd);
    if (!info)
        return real.ioctl(fd, request, arg);
    return answer(device(*info).ioctl(request, arg));
}

FILE* fopen(const char* path, const char* mode) {
    init();
    return openStream(path, mode, real.fopen);
}

FILE* fopen64(const char* path, const char* mode) {
    init();
    return openStream(path, mode, real.fopen64);
}

int access(const char* path, int mode) {
    init();
    if (active()) {
        checkPower();
        int part = mtdFromPath(path);
        if (part >= 0)
            return board->hasPartition(part) ? 0 : fail(ENOENT);
    }
    std::string storage;
    return real.access(mapPath(path, &storage), mode);
}

#define STAT_PATH(fn, Stat)                                    \
    int fn(const char* path, Stat* st) {                       \
        init();                                                \
        int ret;                                               \
        if (statPath(path, st, &ret))                          \
            return ret;                                        \
        std::string storage;                                   \
        return real.fn(mapPath(path, &storage), st);           \
    }
STAT_PATH(stat, struct stat)
STAT_PATH(lstat, struct stat)
STAT_PATH(stat64, struct stat64)
STAT_PATH(lstat64, struct stat64)
#undef STAT_PATH

int fstat(int fd, struct stat* st) {
    init();
    int ret;
    return statFd(fd, st, &ret) ? ret : real.fstat(fd, st);
}

int fstat64(int fd, struct stat64* st) {
    init();
    int ret;
    return statFd(fd, st, &ret) ? ret : real.fstat64(fd, st);
}

int fstatat(int dirfd, const char* path, struct stat* st, int flags) {
    init();
    int ret;
    if ((flags & AT_EMPTY_PATH) && !*path && statFd(dirfd, st, &ret))
        return ret;
    if (statPath(path, st, &ret))
        return ret;
    std::string storage;
    return real.fstatat(dirfd, mapPath(path, &storage), st, flags);
}

int fstatat64(int dirfd, const char* path, struct stat64* st, int flags) {
    init();
    int ret;
    if ((flags & AT_EMPTY_PATH) && !*path && statFd(dirfd, st, &ret))
        return ret;
    if (statPath(path, st, &ret))
        return ret;
    std::string storage;
    return real.fstatat64(dirfd, mapPath(path, &storage), st, flags);
}

// Older binaries reach stat through these versioned entries.
int __xstat(int, const char* path, struct stat* st) { return stat(path, st); }
int __lxstat(int, const char* path, struct stat* st) { return lstat(path, st); }
int __fxstat(int, int fd, struct stat* st) { return fstat(fd, st); }
int __fxstatat(int, int dirfd, const char* path, struct stat* st, int flags) { return fstatat(dirfd, path, st, flags); }
int __xstat64(int, const char* path, struct stat64* st) { return stat64(path, st); }
int __lxstat64(int, const char* path, struct stat64* st) { return lstat64(path, st); }
int __fxstat64(int, int fd, struct stat64* st) { return fstat64(fd, st); }
int __fxstatat64(int, int dirfd, const char* path, struct stat64* st, int flags) {
    return fstatat64(dirfd, path, st, flags);
}

int statx(int dirfd, const char* path, int flags, unsigned mask, struct statx* stx) {
    init();
    if (active()) {
        int part = -1;
        FdInfo* info = nullptr;
        if ((flags & AT_EMPTY_PATH) && !*path && (info = mtdFd(dirfd)))
            part = info->part;
        else if ((part = mtdFromPath(path)) >= 0 && !board->hasPartition(part))
            return fail(ENOENT);
        if (part >= 0) {
            memset(stx, 0, sizeof *stx);
            stx->stx_mask = STATX_BASIC_STATS;
            stx->stx_mode = S_IFCHR | 0660;
            stx->stx_rdev_major = kMtdMajor;
            stx->stx_rdev_minor = 2 * part;
            stx->stx_ino = 1000 + part;
            stx->stx_nlink = 1;
            stx->stx_blksize = 4096;
            return 0;
        }
    }
    std::string storage;
    return real.statx(dirfd, mapPath(path, &storage), flags, mask, stx);
}

#define PATH_CALL(fn, ...)                      \
    init();                                     \
    std::string storage;                        \
    return real.fn(mapPath(path, &storage), ##__VA_ARGS__)

int unlink(const char* path) { PATH_CALL(unlink); }
int remove(const char* path) { PATH_CALL(remove); }
int mkdir(const char* path, mode_t mode) { PATH_CALL(mkdir, mode); }
int rmdir(const char* path) { PATH_CALL(rmdir); }
int truncate(const char* path, off_t length) { PATH_CALL(truncate, length); }
void* opendir(const char* path) { PATH_CALL(opendir); }
#undef PATH_CALL

int mkdirat(int dirfd, const char* path, mode_t mode) {
    init();
    std::string storage;
    return real.mkdirat(dirfd, mapPath(path, &storage), mode);
}

int unlinkat(int dirfd, const char* path, int flags) {
    init();
    std::string storage;
    return real.unlinkat(dirfd, mapPath(path, &storage), flags);
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
    init();
    std::string a, b;
    return real.renameat(fromDir, mapPath(from, &a), toDir, mapPath(to, &b));
}

int faccessat(int dirfd, const char* path, int mode, int flags) {
    init();
    if (active() && mtdFromPath(path) >= 0)
        return access(path, mode);
    std::string storage;
    return real.faccessat(dirfd, mapPath(path, &storage), mode, flags);
}

int rename(const char* from, const char* to) {
    init();
    std::string a, b;
    return real.rename(mapPath(from, &a), mapPath(to, &b));
}

int dup2(int from, int to) {
    init();
    int r = real.dup2(from, to);
    forget(r);
    return r;
}

int dup3(int from, int to, int flags) {
    init();
    int r = real.dup3(from, to, flags);
    forget(r);
    return r;
}

// Descriptor-to-descriptor copies would move the stored bytes unconverted:
// refuse them on partitions, so callers fall back to read and write.
ssize_t sendfile(int out, int in, off_t* offset, size_t n) {
    if (mtdFd(out) || mtdFd(in))
        return fail(EINVAL);
    return real.sendfile(out, in, offset, n);
}
ssize_t sendfile64(int out, int in, off64_t* offset, size_t n) {
    if (mtdFd(out) || mtdFd(in))
        return fail(EINVAL);
    return real.sendfile64(out, in, offset, n);
}
ssize_t copy_file_range(int in, off64_t* inOffset, int out, off64_t* outOffset, size_t n, unsigned flags) {
    if (mtdFd(out) || mtdFd(in))
        return fail(EINVAL);
    return real.copy_file_range(in, inOffset, out, outOffset, n, flags);
}

// The programs pause on some failure paths; a test board only logs the pause.
unsigned sleep(unsigned seconds) {
    init();
    if (!active() || !board->geometry().interceptSleep)
        return real.sleep(seconds);
    checkPower();
    nandemu::logEvent(*board, "-", "sleep", seconds, 0);
    return 0;
}

// The board's files live in this machine's page cache; flushing them to
// disk proves nothing about the flash and costs seconds on a busy machine.
void sync() {
    init();
    if (!active())
        real.sync();
}

}  // extern "C"
