// Files of 2 to 4 GiB open and measure on the 32-bit board too.
#define _FILE_OFFSET_BITS 64

#include "fileIo.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>
#include <new>
#include <sstream>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace {

constexpr uint32_t SIZE_1M = 1024 * 1024;
constexpr uint32_t kChecksumWrap = 1000000000;
constexpr size_t kChecksumTextLength = 32;

static_assert(kFileChecksumChunk <= SIZE_1M && kFileChecksumChunk % sizeof(uint32_t) == 0,
              "the checksum's buffer stays within 1 MiB and holds whole words");
static_assert(uint64_t{255} * kFileChecksumChunk <= UINT32_MAX, "a chunk's byte sum fits 32 bits");

void say(const std::string& line) { std::cout << line << std::endl; }

// Size of an open stream, measured as end minus start; a stream that did not
// open measures 0 (both positions fail alike).
uint32_t measure(std::ifstream& in) {
    in.seekg(0, std::ios::end);
    std::streamoff end = in.tellg();
    in.seekg(0, std::ios::beg);
    std::streamoff start = in.tellg();
    in.clear();
    return static_cast<uint32_t>(end - start);
}

// A file opened for the checksum, and its size measured as end minus start:
// a file that does not open or seek measures 0 and is summed as an empty one.
struct MeasuredFile {
    explicit MeasuredFile(const std::string& path) : fd(open(path.c_str(), O_RDONLY)) {
        if (fd < 0)
            return;
        off_t end = lseek(fd, 0, SEEK_END), start = lseek(fd, 0, SEEK_SET);
        if (end >= 0 && start >= 0)
            size = static_cast<uint32_t>(end - start);
        posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);   // a larger read-ahead from the card
    }
    ~MeasuredFile() {
        if (fd >= 0)
            close(fd);
    }
    MeasuredFile(const MeasuredFile&) = delete;
    MeasuredFile& operator=(const MeasuredFile&) = delete;

    const int fd;
    uint32_t size = 0;
};

// The checksum's one buffer, reused for every read. It starts on a cache
// line: the kernel copies a read in whole lines, and into a buffer that
// starts mid-line every line it writes is split in two, which costs a sixth
// of the read.
constexpr size_t kCacheLine = 64;
struct ChunkBuffer {
    alignas(kCacheLine) uint32_t words[kFileChecksumChunk / sizeof(uint32_t)];
};

// The byte sum of a chunk's first bytes in wide steps; *done is the count of
// bytes taken, the rest are added one at a time.
#if defined(__SSE2__)
// x86: one instruction adds sixteen bytes (thirty-two with AVX2) into 64-bit
// lanes, which cannot overflow; a step is a cache line, taken by independent
// accumulators. Where the processor has AVX2 the sum costs half as much.
uint32_t laneSum(__m128i lanes) {
    return static_cast<uint32_t>(_mm_cvtsi128_si32(lanes)) +
           static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(lanes, 8)));
}

uint32_t sse2Lines(const __m128i* line, size_t lines) {
    const __m128i zero = _mm_setzero_si128();
    __m128i a = zero, b = zero, c = zero, d = zero;
    for (; lines > 0; --lines, line += 4) {
        a = _mm_add_epi64(a, _mm_sad_epu8(_mm_load_si128(line), zero));
        b = _mm_add_epi64(b, _mm_sad_epu8(_mm_load_si128(line + 1), zero));
        c = _mm_add_epi64(c, _mm_sad_epu8(_mm_load_si128(line + 2), zero));
        d = _mm_add_epi64(d, _mm_sad_epu8(_mm_load_si128(line + 3), zero));
    }
    return laneSum(_mm_add_epi64(_mm_add_epi64(a, b), _mm_add_epi64(c, d)));
}

__attribute__((target("avx2"))) uint32_t avx2Lines(const __m256i* line, size_t lines) {
    const __m256i zero = _mm256_setzero_si256();
    __m256i a = zero, b = zero;
    for (; lines > 0; --lines, line += 2) {
        a = _mm256_add_epi64(a, _mm256_sad_epu8(_mm256_load_si256(line), zero));
        b = _mm256_add_epi64(b, _mm256_sad_epu8(_mm256_load_si256(line + 1), zero));
    }
    const __m256i both = _mm256_add_epi64(a, b);
    return laneSum(_mm_add_epi64(_mm256_castsi256_si128(both), _mm256_extracti128_si256(both, 1)));
}

uint32_t wideSum(const ChunkBuffer& buffer, size_t bytes, size_t* done) {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    const size_t lines = bytes / kCacheLine;
    *done = lines * kCacheLine;
    if (avx2)
        return avx2Lines(reinterpret_cast<const __m256i*>(buffer.words), lines);
    return sse2Lines(reinterpret_cast<const __m128i*>(buffer.words), lines);
}
#else
// Elsewhere a word at a time: its even and its odd bytes go into two 16-bit
// lanes each, folded every FOLD words, before they can overflow
// (256 * 255 < 65536).
uint32_t wideSum(const ChunkBuffer& buffer, size_t bytes, size_t* done) {
    const uint32_t LANES = 0x00FF00FF;
    const size_t FOLD = 256, count = bytes / sizeof(uint32_t);
    uint32_t sum = 0;
    for (size_t w = 0; w < count;) {
        uint32_t even = 0, odd = 0;
        for (size_t end = count - w > FOLD ? w + FOLD : count; w < end; ++w) {
            even += buffer.words[w] & LANES;
            odd += (buffer.words[w] >> 8) & LANES;
        }
        sum += (even & 0xFFFF) + (even >> 16) + (odd & 0xFFFF) + (odd >> 16);
    }
    *done = count * sizeof(uint32_t);
    return sum;
}
#endif

uint32_t chunkSum(const ChunkBuffer& buffer, size_t bytes) {
    size_t i = 0;
    uint32_t sum = wideSum(buffer, bytes, &i);
    for (const unsigned char* tail = reinterpret_cast<const unsigned char*>(buffer.words); i < bytes; ++i)
        sum += tail[i];
    return sum;
}

// Adds a chunk's byte sum to the running checksum, which the per-byte
// reduction keeps at 0 for a total T of 0, else ((T - 1) mod 10^9) + 1.
// Reducing once per chunk gives the same: that value is congruent to T, so
// ((value - 1 + sum) mod 10^9) + 1 is the same function of T + sum.
uint32_t addChunk(uint32_t running, uint32_t sum) {
    if (running == 0 && sum == 0)
        return 0;
    return static_cast<uint32_t>((uint64_t{running} + sum - 1) % kChecksumWrap + 1);
}

// Reads up to n bytes, in as many reads as it takes; the count that arrived,
// short where the file ends or a read fails (failed is then set).
size_t readUpTo(int fd, ChunkBuffer& buffer, size_t n, bool& failed) {
    char* at = reinterpret_cast<char*>(buffer.words);
    size_t got = 0;
    while (got < n) {
        ssize_t r = read(fd, at + got, n - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            failed = r < 0;
            break;
        }
        got += static_cast<size_t>(r);
    }
    return got;
}

// The checksum of a measured file, read in chunks. Only the bytes that arrive
// count: a file that shrank since it was measured is summed as it now is, and
// one whose read fails as far as it was read (readFailed is then set). False
// when there is no buffer.
bool sumFile(const MeasuredFile& file, uint32_t& checksum, bool& readFailed) {
    ChunkBuffer* buffer = new (std::nothrow) ChunkBuffer;
    checksum = 0;
    readFailed = false;
    if (!buffer)
        return false;
    for (uint32_t left = file.size; left > 0;) {
        size_t want = left > kFileChecksumChunk ? kFileChecksumChunk : left;
        size_t got = readUpTo(file.fd, *buffer, want, readFailed);
        checksum = addChunk(checksum, chunkSum(*buffer, got));
        if (got < want)
            break;
        left -= static_cast<uint32_t>(want);
    }
    delete buffer;
    return true;
}

// The reader's account of a line with a "-": the number starts at the first
// one, for the zero fill stands before the sign and would read as 0.
void traceFromMinus(const std::string& line) {
    say("found '-' ");
    say("negativeValue process");
    bool valueStart = false;
    std::string tempStr;
    for (size_t idx = 0; idx < line.size(); ++idx) {
        char c = line[idx];
        if (valueStart) {
            std::cout << "push: " << c << std::endl;
            tempStr += c;
        }
        if (c == '-') {
            std::cout << "found '-' at " << idx << std::endl;
            tempStr += "-";
            valueStart = true;
        }
    }
    std::cout << "new fileLine:" << tempStr << std::endl;
}

// Reads up to n bytes; the count that arrived.
uint32_t readChunk(std::ifstream& in, char* buf, uint32_t n) {
    in.read(buf, n);
    return static_cast<uint32_t>(in.gcount());
}

}  // namespace

std::string FileOperation::longToString(long tmpValue) {
    std::ostringstream s;
    s << tmpValue;
    return s.str();
}

std::string FileOperation::IntToString(int a) {
    std::ostringstream s;
    s << a;
    return s.str();
}

long FileOperation::getFileSize(std::string& tmpFileName, bool& tmpRet) {
    FILE* f = fopen(tmpFileName.c_str(), "rb");
    if (!f) {
        perror("Error opening file");
        tmpRet = false;
        return 0;
    }
    fseek(f, 0, SEEK_END);
    long size = ftell(f);
    fclose(f);
    std::cout << "size of " << tmpFileName << " : " << size << std::endl;
    tmpRet = true;
    return size;
}

int FileOperation::calFileAddsum(std::string extFileName) {
    say("FileOperation::calFileAddsum()");
    MeasuredFile file(extFileName);
    std::cout << "file size: " << file.size << std::endl;
    uint32_t retValue = 0;
    bool readFailed;
    if (sumFile(file, retValue, readFailed))
        std::cout << "after calculated: " << retValue << std::endl;
    else
        say("memory error !!!");
    return static_cast<int>(retValue);
}

bool FileOperation::writeAddsumToStringFile(int extAddsum, std::string extFileName) {
    bool ret = true;
    std::ofstream out(extFileName, std::ios::out | std::ios::trunc | std::ios::binary);
    if (out.is_open()) {
        std::string D = IntToString(extAddsum);
        size_t replacePosition = kChecksumTextLength - D.size();
        std::string tempStr = "00000000000000000000000000000000";
        tempStr.replace(replacePosition, D.size(), D);
        std::cout << "file write string: " << tempStr << std::endl;
        out << tempStr;
        out.close();
    }
    say("read back ");
    int fileAddsum = readAddsumFromStringFile(extFileName);
    if (fileAddsum == extAddsum) {
        say("verify ok. ");
        ret = true;
    } else {
        say("verify NG !!! ");
        ret = false;
    }
    return ret;
}

int FileOperation::readAddsumFromStringFile(std::string extFileName) {
    std::ifstream in(extFileName);
    if (!in.is_open())
        return 0;
    std::string fileLine;
    std::getline(in, fileLine);
    std::cout << "read value:" << fileLine << std::endl;
    if (fileLine.find('-') != std::string::npos)
        traceFromMinus(fileLine);
    int fileNum = checksumTextValue(fileLine);
    std::cout << "convert to fileNum:" << fileNum << std::endl;
    return fileNum;
}

bool FileOperation::compareFile(std::string src1FileName, std::string src2FileName) {
    bool ret = true;
    sync();
    std::ifstream f1(src1FileName, std::ios::in | std::ios::binary);
    std::ifstream f2(src2FileName, std::ios::in | std::ios::binary);
    uint32_t file1Size = measure(f1);
    std::cout << "file 1 size: " << file1Size << std::endl;
    uint32_t file2Size = measure(f2);
    std::cout << "file 2 size: " << file2Size << std::endl;
    uint32_t fileSize = file1Size < file2Size ? file1Size : file2Size;
    char* buf1 = new (std::nothrow) char[SIZE_1M];
    if (!buf1)
        return false;
    char* buf2 = new (std::nothrow) char[SIZE_1M];
    if (!buf2) {
        delete[] buf1;
        return false;
    }
    while (ret && fileSize > SIZE_1M) {
        uint32_t got1 = readChunk(f1, buf1, SIZE_1M), got2 = readChunk(f2, buf2, SIZE_1M);
        std::cout << "left file size: " << fileSize << std::endl;
        // Compare what arrived from both; a file that shrank is a difference.
        if (got1 != got2 || memcmp(buf1, buf2, got1) != 0)
            ret = false;
        fileSize -= SIZE_1M;
    }
    if (ret) {
        uint32_t got1 = readChunk(f1, buf1, fileSize), got2 = readChunk(f2, buf2, fileSize);
        if (got1 != got2 || memcmp(buf1, buf2, got1) != 0) {
            std::cout << "buffer compare NG !!!";
            ret = false;
        }
    }
    f1.close();
    f2.close();
    delete[] buf1;
    delete[] buf2;
    say(ret ? "compare ok. " : "compare NG !!! ");
    return ret;
}

int32_t fileChecksum(const std::string& path, bool& failed) {
    MeasuredFile file(path);
    uint32_t checksum;
    bool readFailed;
    failed = !sumFile(file, checksum, readFailed) || readFailed || file.fd < 0;
    return static_cast<int32_t>(checksum);
}

int32_t checksumTextValue(const std::string& text) {
    std::string line = text.substr(0, text.find('\n'));
    size_t minus = line.find('-');
    std::istringstream number(minus == std::string::npos ? line : line.substr(minus));
    int value = 0;
    number >> value;
    if (number.fail() && (value == INT_MAX || value == INT_MIN))
        return kChecksumTextOutOfRange;   // a damaged text, never a valid checksum
    return value;
}

int32_t readChecksumText(const std::string& path, bool& failed) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    failed = !in.is_open() || in.bad();
    return checksumTextValue(line);
}
