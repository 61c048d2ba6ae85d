// Fuzz target: the flash verifier's checksum text reader. Each input is
// written to a file and read back with the verifier's reader, and given to
// the quiet parser as it is; each value is judged against a reading made
// here from the format's rules: the first line
// only, from its first "-" on when it has one, leading white space skipped,
// an optional sign, decimal digits up to the first other character; no
// digits give 0, and a number outside the signed 32-bit range gives a value
// that is never a file checksum. The first four bytes, taken as a value,
// must also come back unchanged through the writer and the reader.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "fileIo.h"

namespace {

constexpr size_t kFieldWidth = 32;

std::string textPath, writtenPath;

[[noreturn]] void fail(const char* what, long long got, long long wanted) {
    std::fprintf(stderr, "checksum text: %s: read %lld, wanted %lld\n", what, got, wanted);
    std::abort();
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

long long expectedValue(const std::string& contents) {
    std::string line = contents.substr(0, contents.find('\n'));
    const size_t minus = line.find('-');
    if (minus != std::string::npos)
        line = line.substr(minus);
    size_t at = 0;
    while (at < line.size() && isSpace(line[at]))
        ++at;
    bool negative = false;
    if (at < line.size() && (line[at] == '+' || line[at] == '-'))
        negative = line[at++] == '-';
    const size_t digits = at;
    long long value = 0;
    bool outside = false;
    for (; at < line.size() && line[at] >= '0' && line[at] <= '9'; ++at) {
        value = value * 10 + (line[at] - '0');
        if (value > 2147483648LL) {
            outside = true;
            value = 2147483648LL;   // stays outside; the digits may go on for long
        }
    }
    if (at == digits)
        return 0;
    value = negative ? -value : value;
    if (outside || value > INT32_MAX || value < INT32_MIN)
        return kChecksumTextOutOfRange;
    return value;
}

void writeFile(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) {
        std::perror(path.c_str());
        std::abort();
    }
}

// Files in the run's work folder (FW_FUZZ_WORK), or in a fresh one.
std::string workFile(const char* name) {
    static std::string dir;
    if (dir.empty()) {
        const char* given = std::getenv("FW_FUZZ_WORK");
        char fresh[] = "/tmp/fw-fuzz-XXXXXX";
        if (!given && !mkdtemp(fresh)) {
            std::perror("mkdtemp");
            std::abort();
        }
        dir = given ? given : fresh;
    }
    return dir + "/" + name;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    textPath = workFile("text.as1");
    writtenPath = workFile("written.as2");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FileOperation files;
    writeFile(textPath, data, size);
    const std::string contents(reinterpret_cast<const char*>(data), size);
    const long long wanted = expectedValue(contents);
    const int got = files.readAddsumFromStringFile(textPath);
    if (got != wanted)
        fail("reader and format disagree", got, wanted);
    if (checksumTextValue(contents) != wanted)
        fail("the quiet reader and the format disagree", checksumTextValue(contents), wanted);

    if (size >= 4) {
        int32_t value;
        std::memcpy(&value, data, sizeof value);
        if (!files.writeAddsumToStringFile(value, writtenPath))
            fail("the writer's read-back failed", files.readAddsumFromStringFile(writtenPath), value);
        FILE* f = std::fopen(writtenPath.c_str(), "rb");
        char field[kFieldWidth + 1] = {};
        const size_t n = f ? std::fread(field, 1, sizeof field, f) : 0;
        if (f)
            std::fclose(f);
        if (n != kFieldWidth)
            fail("the writer did not write exactly 32 characters", static_cast<long long>(n), kFieldWidth);
        if (expectedValue(std::string(field, n)) != value)
            fail("the written text does not read as its value", expectedValue(std::string(field, n)), value);
    }
    return 0;
}
