// tolvane-update: the A/B update of the four boot images from a release
// folder, one set at a time, with the record saying which set is being
// rewritten. Where it stands is read from the flash each time it starts,
// so a run cut by a power failure is finished by the next one.
// Files of 2 to 4 GiB measure on the 32-bit board too.
#define _FILE_OFFSET_BITS 64

#include <fcntl.h>
#include <getopt.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fileIo.h"
#include "flashread.h"
#include "toolpath.h"
#include "tolvane_boot.h"

namespace {

const char USAGE[] = "tolvane-update [DIR]";
const char kProgram[] = "tolvane-update";
const char kDefaultDir[] = "/mnt/sd/update";
const char kBackupDir[] = "/mnt/sd/backup";
const char kTemporary[] = ".new";   // a backup file being put in place
constexpr int EXIT_USAGE = 2;
constexpr uint32_t kPage = 2048;    // the verifier takes backups of whole pages only
constexpr size_t kChunk = 64 * 1024;
const char* const kFiles[3] = {".bak", ".as1", ".as2"};   // an image and its two checksum texts
enum Set { LOW, HIGH };

// One image of the release.
struct Image {
    const flashread::ImagePair* pair;
    std::string dir;
    uint64_t size = 0;
    uint32_t sum = 0;   // the partition checksum the image gives on flash

    std::string file(int which) const { return dir + "/" + pair->name + kFiles[which]; }
    const char* device(Set set) const { return set == LOW ? pair->low : pair->high; }
    uint64_t coveredBytes() const { return uint64_t{pair->blocks} * flashread::kSumBlock; }
};

struct Release {
    Image images[4];
};

void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void say(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fprintf(stderr, "%s: ", kProgram);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
}

// ---- the release ----

bool fileSize(const std::string& path, uint64_t* size) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        say("%s: %s", path.c_str(), strerror(errno));
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        say("%s: not a file", path.c_str());
        return false;
    }
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool fitsPartition(const Image& im, Set set) {
    flashread::Partition part;
    if (const int err = flashread::openPartition(im.device(set), &part)) {
        say("%s: cannot open %s: %s", im.file(0).c_str(), im.device(set), flashread::errorText(err));
        return false;
    }
    const uint32_t room = part.info.size;
    flashread::closePartition(&part);
    if (im.size > room)
        say("%s: %llu bytes do not fit into %s (%u bytes)", im.file(0).c_str(),
            static_cast<unsigned long long>(im.size), im.device(set), room);
    return im.size <= room;
}

// The sizes the verifier and the record can take: whole pages, not empty,
// within the blocks the record covers and within both partitions.
bool sizeFits(const Image& im) {
    const std::string path = im.file(0);
    const unsigned long long size = im.size;
    if (size == 0 || size % kPage != 0) {
        say("%s: %llu bytes, not a whole number of %u-byte pages", path.c_str(), size, kPage);
        return false;
    }
    if (size > im.coveredBytes()) {
        say("%s: %llu bytes, more than the record covers (%u blocks of %u bytes)", path.c_str(), size,
            im.pair->blocks, flashread::kSumBlock);
        return false;
    }
    return fitsPartition(im, LOW) && fitsPartition(im, HIGH);
}

// The image's file checksum equals both checksum texts.
bool checksumsMatch(const Image& im) {
    bool failed = false;
    const int32_t checksum = fileChecksum(im.file(0), failed);
    if (failed) {
        say("%s: cannot read it", im.file(0).c_str());
        return false;
    }
    for (int text = 1; text <= 2; ++text) {
        const int32_t value = readChecksumText(im.file(text), failed);
        if (failed || value != checksum) {
            say("%s: %s", im.file(text).c_str(), failed ? "cannot read it" : "does not match the image's checksum");
            return false;
        }
    }
    return true;
}

// Calls take(bytes, n) on the file's bytes in order; false when it cannot
// be read whole or take returns false.
template <typename Take>
bool readFile(const std::string& path, Take take) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    std::vector<uint8_t> buf(kChunk);
    bool ok = true;
    for (size_t n; ok && (n = fread(buf.data(), 1, buf.size(), f)) > 0;)
        ok = take(buf.data(), n);
    ok = ok && !ferror(f);
    fclose(f);
    return ok;
}

// The image's bytes, then the erased bytes up to the blocks the record covers.
bool computeSum(Image* im) {
    uint32_t sum = 0;
    const auto add = [&](const uint8_t* bytes, size_t n) {
        sum += flashread::byteSum(bytes, n);
        return true;
    };
    if (!readFile(im->file(0), add)) {
        say("%s: cannot read it", im->file(0).c_str());
        return false;
    }
    im->sum = sum + 0xFFu * static_cast<uint32_t>(im->coveredBytes() - im->size);
    return true;
}

bool checkRelease(const std::string& dir, Release* r) {
    for (int i = 0; i < 4; ++i) {
        Image& im = r->images[i];
        im.pair = &flashread::kImages[i];
        im.dir = dir;
        uint64_t textSize;
        for (int which = 0; which < 3; ++which)
            if (!fileSize(im.file(which), which == 0 ? &im.size : &textSize))
                return false;
        if (!sizeFits(im) || !checksumsMatch(im) || !computeSum(&im))
            return false;
    }
    return true;
}

// ---- the flash ----

// The record the boot side takes, read afresh.
void readRecord(tolvane_view* view) {
    std::vector<uint8_t> pages[3];
    const uint8_t* first[3];
    const char* const paths[3] = {flashread::kFlagPath, flashread::kTablePaths[0], flashread::kTablePaths[1]};
    for (int i = 0; i < 3; ++i) {
        const bool read = flashread::firstGoodPage(paths[i], &pages[i]) == 0 && pages[i].size() >= TOLVANE_RECORD_SIZE;
        first[i] = read ? pages[i].data() : nullptr;
    }
    tolvane_read(first[0], first[1], first[2], view);
}

bool holdsSums(const tolvane_record& record, const Release& r) {
    for (int i = 0; i < 4; ++i)
        if (record.sums[i] != r.images[i].sum)
            return false;
    return true;
}

bool setsHold(const Release& r) {
    for (const Image& im : r.images)
        for (Set set : {LOW, HIGH}) {
            uint32_t sum;
            if (flashread::partitionSum(im.device(set), im.pair->blocks, &sum) != 0 || sum != im.sum)
                return false;
        }
    return true;
}

// ---- the steps ----

// Starts a program without a shell, both its output streams on our standard
// output, and waits for it. posix_spawn rather than fork: the child shares
// the parent's memory until it execs, which a small board prefers.
bool runChild(const std::vector<std::string>& args) {
    std::string line;
    std::vector<char*> argv;
    for (const std::string& a : args) {
        line += (line.empty() ? "" : " ") + a;
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    printf("%s: running %s\n", kProgram, line.c_str());
    fflush(stdout);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid;
    const int err = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0) {
        say("cannot run %s: %s", argv[0], strerror(err));
        return false;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return true;
    if (WIFEXITED(status))
        say("%s failed (exit status %d)", line.c_str(), WEXITSTATUS(status));
    else
        say("%s failed (signal %d)", line.c_str(), WTERMSIG(status));
    return false;
}

// A record command, then the record it must have left.
bool recordCommand(const char* option, tolvane_updating updating, bool releaseSums, const Release& r) {
    if (!runChild({"tolvane", option}))
        return false;
    tolvane_view view;
    readRecord(&view);
    const tolvane_record* record = view.reader.record;
    if (!record) {
        say("after tolvane %s there is no complete record", option);
        return false;
    }
    if (view.reader.updating != updating) {
        say("after tolvane %s the record says updating %s, not %s", option, tolvane_updating_text(view.reader.updating),
            tolvane_updating_text(updating));
        return false;
    }
    if (releaseSums && !holdsSums(*record, r)) {
        say("after tolvane %s the record does not hold the release's sums", option);
        return false;
    }
    return true;
}

// The partition's good blocks hold the image, and the blocks the record
// covers sum as the release says.
int compareWith(const Image& im, const flashread::Partition& part, FILE* f, uint32_t* sum) {
    uint64_t at = 0;
    std::vector<uint8_t> file(part.info.erasesize);
    return flashread::readGood(part, im.coveredBytes(), [&](const uint8_t* bytes, size_t n) {
        const size_t inFile = static_cast<size_t>(std::min<uint64_t>(n, im.size - std::min(at, im.size)));
        at += n;
        *sum += flashread::byteSum(bytes, n);
        return fread(file.data(), 1, inFile, f) == inFile && memcmp(file.data(), bytes, inFile) == 0;
    });
}

bool readBack(const Image& im, Set set) {
    const char* device = im.device(set);
    FILE* f = fopen(im.file(0).c_str(), "rb");
    if (!f) {
        say("%s: cannot read it", im.file(0).c_str());
        return false;
    }
    flashread::Partition part;
    uint32_t sum = 0;
    int err = flashread::openPartition(device, &part);
    if (err == 0) {
        err = compareWith(im, part, f, &sum);
        flashread::closePartition(&part);
    }
    fclose(f);
    if (err == -ECANCELED)
        say("%s does not hold %s after writing it", device, im.file(0).c_str());
    else if (err != 0)
        say("cannot read %s back: %s", device, flashread::errorText(err));
    else if (sum != im.sum)
        say("%s sums to %08x after writing, not to the release's %08x", device, sum, im.sum);
    return err == 0 && sum == im.sum;
}

bool writeSet(const Release& r, Set set) {
    for (const Image& im : r.images)
        if (!runChild({"flash_eraseall", im.device(set)}) || !runChild({"nandwrite", "-p", im.device(set), im.file(0)}) ||
            !readBack(im, set))
            return false;
    return true;
}

bool writeAll(int fd, const uint8_t* bytes, size_t n) {
    while (n > 0) {
        const ssize_t done = write(fd, bytes, n);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return false;
        bytes += done;
        n -= static_cast<size_t>(done);
    }
    return true;
}

// Through a temporary name in the same folder, so that a cut leaves the old
// file or the new one under the file's name, never a part of one.
bool putFile(const std::string& from, const std::string& to) {
    const std::string temporary = to + kTemporary;
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && readFile(from, [&](const uint8_t* b, size_t n) { return writeAll(fd, b, n); });
    ok = fd >= 0 && fsync(fd) == 0 && close(fd) == 0 && ok;
    ok = ok && rename(temporary.c_str(), to.c_str()) == 0;
    if (!ok) {
        say("cannot put %s into %s: %s", from.c_str(), to.c_str(), strerror(errno));
        unlink(temporary.c_str());
    }
    return ok;
}

std::string backupFile(const Image& im, int which) { return std::string(kBackupDir) + "/" + im.pair->name + kFiles[which]; }

bool putRelease(const Release& r) {
    if (mkdir(kBackupDir, 0755) != 0 && errno != EEXIST) {
        say("cannot make %s: %s", kBackupDir, strerror(errno));
        return false;
    }
    for (const Image& im : r.images)
        for (int which = 0; which < 3; ++which)
            if (!putFile(im.file(which), backupFile(im, which)))
                return false;
    const int dir = open(kBackupDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = dir >= 0 && fsync(dir) == 0;
    if (!synced)
        say("cannot sync %s: %s", kBackupDir, strerror(errno));
    if (dir >= 0)
        close(dir);
    return synced;
}

bool sameFile(const std::string& a, const std::string& b) {
    uint64_t sizeA, sizeB;
    struct stat st;
    if (stat(b.c_str(), &st) != 0 || !fileSize(a, &sizeA))
        return false;
    sizeB = static_cast<uint64_t>(st.st_size);
    FILE* other = sizeA == sizeB ? fopen(b.c_str(), "rb") : nullptr;
    if (!other)
        return false;
    std::vector<uint8_t> buf(kChunk);
    const bool same = readFile(a, [&](const uint8_t* bytes, size_t n) {
        return fread(buf.data(), 1, n, other) == n && memcmp(buf.data(), bytes, n) == 0;
    });
    fclose(other);
    return same;
}

bool backupHolds(const Release& r) {
    for (const Image& im : r.images)
        for (int which = 0; which < 3; ++which)
            if (!sameFile(im.file(which), backupFile(im, which)))
                return false;
    return true;
}

struct Step {
    const char* title;
    bool (*run)(const Release&);
};
enum StepIndex { MARK_LOW, WRITE_LOW, MARK_HIGH, WRITE_HIGH, PUT_RELEASE, MARK_FINISHED, kSteps };
const Step STEPS[kSteps] = {
    {"marking the low set as being updated (tolvane -l)",
     [](const Release& r) { return recordCommand("-l", TOLVANE_UPDATING_LOW, false, r); }},
    {"writing the low set", [](const Release& r) { return writeSet(r, LOW); }},
    {"recording the low set's sums, marking the high set as being updated (tolvane -h)",
     [](const Release& r) { return recordCommand("-h", TOLVANE_UPDATING_HIGH, true, r); }},
    {"writing the high set", [](const Release& r) { return writeSet(r, HIGH); }},
    {"putting the release into /mnt/sd/backup", putRelease},
    {"marking the update as finished (tolvane -o)",
     [](const Release& r) { return recordCommand("-o", TOLVANE_UPDATING_NONE, true, r); }},
};
// The step to go on from, by the record the boot side takes, and why;
// kSteps when the flash holds the release already.
int firstStep(const Release& r, const char** why) {
    tolvane_view view;
    readRecord(&view);
    const tolvane_record* record = view.reader.record;
    const bool sums = record && holdsSums(*record, r);
    *why = "no complete record on the flash";
    if (!record)
        return MARK_LOW;
    switch (view.reader.updating) {
    case TOLVANE_UPDATING_LOW:
        *why = "the record marks the low set as being updated";
        return WRITE_LOW;
    case TOLVANE_UPDATING_HIGH:
        *why = sums ? "the record marks the high set as being updated, with the release's sums"
                    : "the record marks the high set as being updated, with other sums";
        return sums ? WRITE_HIGH : MARK_LOW;
    case TOLVANE_UPDATING_NONE:
        *why = "the record marks no update in progress";
        if (!sums || !setsHold(r))
            return MARK_LOW;
        *why = "both sets and the record hold the release already";
        return kSteps;
    default:
        *why = "the record marks both sets as being updated";
        return MARK_LOW;
    }
}

int update(const std::string& dir) {
    Release r;
    if (!checkRelease(dir, &r))
        return 1;
    const char* why;
    int first = firstStep(r, &why), end = kSteps;
    if (first == kSteps) {
        say("%s: nothing to write on the flash", why);
        if (backupHolds(r)) {
            say("%s holds the release already: nothing written", kBackupDir);
            return 0;
        }
        say("%s does not hold the release: putting it there", kBackupDir);
        first = PUT_RELEASE;
        end = PUT_RELEASE + 1;
    } else {
        say("%s: the update %s at step %d", why, first == MARK_LOW ? "starts" : "goes on", first + 1);
    }
    for (int n = first; n < end; ++n) {
        say("step %d of %d: %s", n + 1, kSteps, STEPS[n].title);
        if (!STEPS[n].run(r))
            return 1;
    }
    say("both sets, the record and %s hold the release of %s", kBackupDir, dir.c_str());
    return 0;
}

int usageError(const char* what, const char* arg) {
    fprintf(stderr, "%s: %s %s (usage: %s)\n", kProgram, what, arg, USAGE);
    return EXIT_USAGE;
}

}  // namespace

int main(int argc, char** argv) {
    static const struct option options[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
    opterr = 0;
    for (int opt; (opt = getopt_long(argc, argv, "h", options, nullptr)) != -1;) {
        if (opt != 'h')
            return usageError("unknown option", argv[optind - 1]);
        printf("usage: %s\n", USAGE);
        return 0;
    }
    if (argc - optind > 1)
        return usageError("unexpected argument", argv[optind + 1]);
    // Our lines and the children's reach a log file in the order they are printed.
    setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    fwtools::putToolsFirstOnPath(kProgram, true);
    return update(optind < argc ? argv[optind] : kDefaultDir);
}
