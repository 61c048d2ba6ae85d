// FileOperation on real files: the checksum, its text form, sizes, compare.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

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
    void TearDown() override { (void)system(("rm -rf " + dir_).c_str()); }
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

TEST_F(FileIo, ChecksumReducesByTenToTheNinthButNeverToZero) {
    EXPECT_EQ(294, ops_.calFileAddsum(file("abc", "abc")));
    // 3,921,568 x 255 + 0xFF-less rest: build totals 999,999,999 / 10^9 / 10^9 + 1 exactly.
    auto total = [&](uint64_t t) {
        std::string s = bytes(static_cast<size_t>(t / 255), 0xFF);
        if (t % 255)
            s += static_cast<char>(t % 255);
        return ops_.calFileAddsum(file("t", s));
    };
    EXPECT_EQ(999999999, total(999999999));
    EXPECT_EQ(1000000000, total(1000000000));
    EXPECT_EQ(1, total(1000000001));
    EXPECT_EQ(20000000, ops_.calFileAddsum(file("ff", bytes(4000000, 0xFF))));
    EXPECT_EQ(0, ops_.calFileAddsum(file("zeros", bytes(3000000, 0))));
}

TEST_F(FileIo, ChecksumIsTheSameAcrossChunkBoundaries) {
    for (size_t n : {size_t(1) << 20, (size_t(2) << 20) + 1, (size_t(1) << 20) - 1}) {
        std::string s;
        for (size_t i = 0; i < n; ++i)
            s += static_cast<char>(i * 7 + 0x80);   // bytes above 0x7F add 128..255
        uint64_t t = 0;
        for (unsigned char c : s)
            t += c;
        EXPECT_EQ(static_cast<int>((t - 1) % 1000000000 + 1), ops_.calFileAddsum(file("c", s))) << n;
    }
}

TEST_F(FileIo, MissingAndEmptyFilesSumToZeroWithTheirConsoleLines) {
    std::string out = console([&] { EXPECT_EQ(0, ops_.calFileAddsum(dir_ + "/none")); });
    EXPECT_EQ("FileOperation::calFileAddsum()\nfile size: 0\nafter calculated: 0\n", out);
    EXPECT_EQ(0, ops_.calFileAddsum(file("empty", "")));
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
    EXPECT_EQ(42, ops_.readAddsumFromStringFile(file("a", std::string(30, '0') + "42")));
    EXPECT_EQ(-5, ops_.readAddsumFromStringFile(file("b", "-5\n")));
    EXPECT_EQ(-5, ops_.readAddsumFromStringFile(file("c", "12-5")));
    EXPECT_EQ(7, ops_.readAddsumFromStringFile(file("d", "  7 trailing\nsecond line 9")));
    EXPECT_EQ(0, ops_.readAddsumFromStringFile(file("e", "abc")));
    EXPECT_EQ(0, ops_.readAddsumFromStringFile(file("f", "")));
    EXPECT_EQ("", console([&] { EXPECT_EQ(0, ops_.readAddsumFromStringFile(dir_ + "/none")); }));
    std::string out = console([&] { EXPECT_EQ(-123, ops_.readAddsumFromStringFile(file("g", std::string(28, '0') + "-123"))); });
    EXPECT_EQ("read value:" + std::string(28, '0') + "-123\nfound '-' \nnegativeValue process\nfound '-' at 28\n"
              "push: 1\npush: 2\npush: 3\nnew fileLine:-123\nconvert to fileNum:-123\n", out);
}

TEST_F(FileIo, OutOfRangeTextNeverPassesForAChecksum) {
    EXPECT_EQ(kChecksumTextOutOfRange, ops_.readAddsumFromStringFile(file("big", std::string(20, '0') + "99999999999")));
    EXPECT_EQ(kChecksumTextOutOfRange, ops_.readAddsumFromStringFile(file("small", "-99999999999")));
    EXPECT_LT(kChecksumTextOutOfRange, 0);   // file checksums are 0 to 10^9
    EXPECT_EQ(2147483647, ops_.readAddsumFromStringFile(file("max", "2147483647")));
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
