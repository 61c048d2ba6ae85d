// pagefloor: the least work a flash program can do over the same pages, the
// floor each benchmark row is held against. One process runs a list of
// steps, as one program run does:
//
//   read:PATH:BLOCKS        read the first BLOCKS blocks page by page (pread)
//   erase:PATH:BLOCKS       erase the first BLOCKS blocks (MEMERASE per block)
//   copy:DST:SRC:BLOCKS     read each page of SRC and write it to DST (pread, pwrite)
//
// No bad-block queries, no checks beyond the transfer counts: nothing but
// the page transfers themselves. With --sum it prints, per read step, the
// 32-bit wrapping sum of the bytes read, so a check can prove the floor read
// the same pages as the program it is compared with (never used when timed).
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr uint32_t kPage = 2048;
constexpr uint32_t kBlock = 131072;
constexpr int kFailure = 1;
constexpr int kUsage = 2;

struct Step {
    std::string op;
    std::string dst;   // the partition read or erased, or the copy's destination
    std::string src;   // the copy's source
    uint32_t blocks = 0;
};

[[noreturn]] void die(const std::string& what) {
    fprintf(stderr, "pagefloor: %s: %s\n", what.c_str(), strerror(errno));
    exit(kFailure);
}

[[noreturn]] void usage(const std::string& why) {
    fprintf(stderr, "pagefloor: %s\nusage: pagefloor [--sum] read:PATH:BLOCKS | erase:PATH:BLOCKS | "
                    "copy:DST:SRC:BLOCKS ...\n",
            why.c_str());
    exit(kUsage);
}

std::vector<std::string> fields(const std::string& text) {
    std::vector<std::string> out;
    size_t from = 0;
    for (size_t colon; (colon = text.find(':', from)) != std::string::npos; from = colon + 1)
        out.push_back(text.substr(from, colon - from));
    out.push_back(text.substr(from));
    return out;
}

Step parseStep(const std::string& text) {
    std::vector<std::string> f = fields(text);
    Step s;
    s.op = f[0];
    const size_t want = s.op == "copy" ? 4 : 3;
    if ((s.op != "read" && s.op != "erase" && s.op != "copy") || f.size() != want)
        usage("bad step '" + text + "'");
    s.dst = f[1];
    if (s.op == "copy")
        s.src = f[2];
    char* end = nullptr;
    unsigned long n = strtoul(f.back().c_str(), &end, 10);
    if (f.back().empty() || *end || n == 0 || n > UINT32_MAX / kBlock)
        usage("bad block count in '" + text + "'");
    s.blocks = static_cast<uint32_t>(n);
    return s;
}

int openOrDie(const std::string& path, int flags) {
    int fd = open(path.c_str(), flags);
    if (fd < 0)
        die("open " + path);
    return fd;
}

void readPage(int fd, unsigned char* page, uint32_t at, const std::string& path) {
    if (pread(fd, page, kPage, at) != static_cast<ssize_t>(kPage))
        die("read " + path + " at " + std::to_string(at));
}

uint32_t readStep(const Step& s, bool sum) {
    unsigned char page[kPage];
    uint32_t total = 0;
    int fd = openOrDie(s.dst, O_RDONLY);
    for (uint32_t at = 0; at < s.blocks * kBlock; at += kPage) {
        readPage(fd, page, at, s.dst);
        if (sum)
            for (unsigned char b : page)
                total += b;
    }
    close(fd);
    return total;
}

void eraseStep(const Step& s) {
    int fd = openOrDie(s.dst, O_RDWR);
    for (uint32_t b = 0; b < s.blocks; ++b) {
        erase_info_user e{b * kBlock, kBlock};
        if (ioctl(fd, MEMERASE, &e) != 0)
            die("erase " + s.dst + " block " + std::to_string(b));
    }
    close(fd);
}

void copyStep(const Step& s) {
    unsigned char page[kPage];
    int in = openOrDie(s.src, O_RDONLY);
    int out = openOrDie(s.dst, O_RDWR);
    for (uint32_t at = 0; at < s.blocks * kBlock; at += kPage) {
        readPage(in, page, at, s.src);
        if (pwrite(out, page, kPage, at) != static_cast<ssize_t>(kPage))
            die("write " + s.dst + " at " + std::to_string(at));
    }
    close(in);
    close(out);
}

}  // namespace

int main(int argc, char** argv) {
    bool sum = false;
    std::vector<Step> steps;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--sum")
            sum = true;
        else
            steps.push_back(parseStep(argv[i]));
    }
    if (steps.empty())
        usage("no steps");
    for (const Step& s : steps) {
        if (s.op == "read") {
            uint32_t total = readStep(s, sum);
            if (sum)
                printf("%s %x\n", s.dst.c_str(), total);
        } else if (s.op == "erase") {
            eraseStep(s);
        } else {
            copyStep(s);
        }
    }
    return 0;
}
