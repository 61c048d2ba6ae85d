// FileOperation on real files: the checksum, its text form, sizes, compare.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "fileIo.h"

namespace {

class FileIo : public ::testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/fileio.XXXXXX";
        ASSERT_TRUE(mkdtemp(templ));
        dir_ = templ;
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    std::string file(const std::string& name, const std::string& content) {
        std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    std::string bytes(size_t n, unsigned char value) { return std::string(n, static_cast<char>(value)); }
    std::string read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    template <typename F>
    std::string console(F f) {
        testing::internal::CaptureStdout();
        f();
        return testing::internal::GetCapturedStdout();
    }
    FileOperation ops_;
    std::string dir_;
};

// The verifier's checksum and the quiet one agree on every file.
int checksumOf(FileOperation& ops, const std::string& path) {
    bool failed = true;
    int quiet = fileChecksum(path, failed);
    EXPECT_FALSE(failed) << path;
    EXPECT_EQ(quiet, ops.calFileAddsum(path)) << path;
    return quiet;
}

TEST_F(FileIo, ChecksumReducesByTenToTheNinthButNeverToZero) {
    auto total = [&](uint64_t t, size_t n) {   // t in n bytes, 0xFF first
        std::string s(n, 0);
        for (size_t i = 0; t > 0; ++i) {
            unsigned char b = static_cast<unsigned char>(t < 255 ? t : 255);
            s[i] = static_cast<char>(b);
            t -= b;
        }
        return s;
    };
    const size_t least = 1000000001 / 255 + 1, chunks = 15 * size_t{kFileChecksumChunk};
    const std::string billion = total(1000000000, chunks);   // reached at a chunk's end
    struct { std::string bytes; int sum; } rows[] = {
        {"abc", 294}, {total(999999999, least), 999999999}, {total(1000000000, least), 1000000000},
        {total(1000000001, least), 1}, {bytes(4000000, 0xFF), 20000000}, {bytes(3000000, 0), 0},
        {billion, 1000000000}, {billion + '\1', 1}, {billion + bytes(kFileChecksumChunk, 0), 1000000000},
    };
    for (auto& row : rows)
        EXPECT_EQ(row.sum, checksumOf(ops_, file("t", row.bytes))) << row.bytes.size();
}

TEST_F(FileIo, ChecksumIsTheSameAcrossChunkBoundaries) {
    const size_t chunk = kFileChecksumChunk, mib = size_t(1) << 20;
    for (size_t n : {size_t(1), size_t(63), size_t(65), size_t(1027), chunk - 1, chunk, chunk + 1, mib, 2 * mib + 1,
                     mib - 1}) {
        std::string s;
        for (size_t i = 0; i < n; ++i)
            s += static_cast<char>(i * 7 + 0x80);   // bytes above 0x7F add 128..255
        uint64_t t = 0;
        for (unsigned char c : s)
            t += c;
        EXPECT_EQ(static_cast<int>((t - 1) % 1000000000 + 1), checksumOf(ops_, file("c", s))) << n;
    }
}

TEST_F(FileIo, MissingAndEmptyFilesSumToZeroWithTheirConsoleLines) {
    std::string out = console([&] { EXPECT_EQ(0, ops_.calFileAddsum(dir_ + "/none")); });
    EXPECT_EQ("FileOperation::calFileAddsum()\nfile size: 0\nafter calculated: 0\n", out);
    EXPECT_EQ(0, checksumOf(ops_, file("empty", "")));
    bool failed = false;
    EXPECT_EQ("", console([&] { EXPECT_EQ(0, fileChecksum(dir_ + "/none", failed)); }));
    EXPECT_TRUE(failed);
}

TEST_F(FileIo, ChecksumTextIsThirtyTwoCharactersZeroFilled) {
    struct Case { int value; std::string text; } cases[] = {
        {0, std::string(32, '0')},
        {42, std::string(30, '0') + "42"},
        {-1, std::string(30, '0') + "-1"},
        {-2147483647 - 1, std::string(21, '0') + "-2147483648"},
    };
    for (auto& c : cases) {
        std::string path = dir_ + "/as";
        std::string out = console([&] { EXPECT_TRUE(ops_.writeAddsumToStringFile(c.value, path)); });
        EXPECT_EQ(c.text, read(path)) << c.value;
        EXPECT_NE(std::string::npos, out.find("verify ok. ")) << out;
    }
}

TEST_F(FileIo, ReaderIsLenientAndDropsEverythingBeforeTheMinus) {
    struct { std::string text; int value; } rows[] = {
        {std::string(30, '0') + "42", 42}, {"-5\n", -5}, {"12-5", -5}, {"  7 trailing\nsecond line 9", 7},
        {"abc", 0}, {"", 0}, {"2147483647", 2147483647},
        // out of range: a damaged text, never a checksum (0 to 10^9)
        {std::string(20, '0') + "99999999999", kChecksumTextOutOfRange}, {"-99999999999", kChecksumTextOutOfRange},
    };
    for (auto& row : rows) {
        std::string path = file("as", row.text);
        bool failed = true;
        EXPECT_EQ(row.value, ops_.readAddsumFromStringFile(path)) << row.text;
        EXPECT_EQ(row.value, checksumTextValue(row.text)) << row.text;
        EXPECT_EQ("", console([&] { EXPECT_EQ(row.value, readChecksumText(path, failed)) << row.text; }));
        EXPECT_FALSE(failed);
    }
    EXPECT_LT(kChecksumTextOutOfRange, 0);
    bool failed = false;
    EXPECT_EQ("", console([&] { EXPECT_EQ(0, ops_.readAddsumFromStringFile(dir_ + "/none")); }));
    EXPECT_EQ(0, readChecksumText(dir_ + "/none", failed));
    EXPECT_TRUE(failed);
    std::string out = console([&] { EXPECT_EQ(-123, ops_.readAddsumFromStringFile(file("g", std::string(28, '0') + "-123"))); });
    EXPECT_EQ("read value:" + std::string(28, '0') + "-123\nfound '-' \nnegativeValue process\nfound '-' at 28\n"
              "push: 1\npush: 2\npush: 3\nnew fileLine:-123\nconvert to fileNum:-123\n", out);
}

TEST_F(FileIo, CompareLooksAtTheCommonLengthOnly) {
    EXPECT_TRUE(ops_.compareFile(file("x", "abc"), file("y", "abcdef")));
    EXPECT_TRUE(ops_.compareFile(dir_ + "/n1", dir_ + "/n2"));
    EXPECT_FALSE(ops_.compareFile(file("p", "abc"), file("q", "abd")));
    std::string a = bytes(3 << 20, 1), b = a;
    b[0] = 2;
    std::string pa = file("ma", a), pb = file("mb", b);
    std::string out = console([&] { EXPECT_FALSE(ops_.compareFile(pa, pb)); });
    EXPECT_NE(std::string::npos, out.find("left file size: 3145728\n"));
    EXPECT_EQ(std::string::npos, out.find("buffer compare NG !!!"));
    EXPECT_NE(std::string::npos, out.find("compare NG !!! "));
}

TEST_F(FileIo, FileSizeReportsMissingFilesOnStandardError) {
    bool ret = true;
    std::string missing = dir_ + "/none";
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, ops_.getFileSize(missing, ret));
    EXPECT_EQ(0u, testing::internal::GetCapturedStderr().find("Error opening file: "));
    EXPECT_FALSE(ret);
    std::string five = file("five", "12345");
    EXPECT_EQ("size of " + five + " : 5\n", console([&] { EXPECT_EQ(5, ops_.getFileSize(five, ret)); }));
    EXPECT_TRUE(ret);
    EXPECT_EQ("-7", ops_.longToString(-7));
    EXPECT_EQ("123", ops_.IntToString(123));
}

}  // namespace
