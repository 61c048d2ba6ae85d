#include "fileIo.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>
#include <new>
#include <sstream>

namespace {

constexpr uint32_t size1M = 1024 * 1024;
constexpr uint32_t SIZE_1M = size1M;
constexpr uint32_t kChecksumWrap = 1000000000;
constexpr size_t kChecksumTextLength = 32;

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

// Adds a run of bytes to the running checksum. The running value is reduced
// by 10^9 whenever it passes 10^9, so it depends only on the byte total T:
// 0 for T = 0, else ((T - 1) mod 10^9) + 1. Summing a run first and reducing
// once gives exactly that and keeps the inner loop a plain addition.
// The bytes go in runs of kSumRun into a 16-bit total, which cannot overflow
// (256 * 255 < 65536): the compiler makes each run a few wide vector
// additions, under half an instruction per byte, where adding every byte
// to a 64-bit total costs two.
constexpr size_t kSumRun = 256;

uint32_t addBytes(uint32_t running, const unsigned char* p, size_t n) {
    uint64_t sum = 0;
    size_t i = 0;
    for (; i + kSumRun <= n; i += kSumRun) {
        uint16_t run = 0;
        for (size_t j = 0; j < kSumRun; ++j)
            run += p[i + j];
        sum += run;
    }
    for (; i < n; ++i)
        sum += p[i];
    if (running == 0 && sum == 0)
        return 0;
    return static_cast<uint32_t>((running + sum - 1) % kChecksumWrap + 1);
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
    std::ifstream in(extFileName, std::ios::in | std::ios::binary);
    uint32_t fileSize = measure(in);
    std::cout << "file size: " << fileSize << std::endl;
    // Two chunk buffers, as the checksum always had; the sum is taken from the
    // read buffer directly, a copy would change nothing but the cost.
    char* buffer = new (std::nothrow) char[size1M];
    unsigned char* memCopyBuffer = new (std::nothrow) unsigned char[size1M];
    uint32_t retValue = 0;
    if (!buffer || !memCopyBuffer) {
        say("memory error !!!");
    } else {
        while (fileSize > 0) {
            uint32_t want = fileSize > size1M ? size1M : fileSize;
            uint32_t got = readChunk(in, buffer, want);
            // Only the bytes that arrived count: a file that shrank since it
            // was measured is summed as it now is.
            retValue = addBytes(retValue, reinterpret_cast<unsigned char*>(buffer), got);
            if (got < want)
                break;
            fileSize -= want;
        }
        std::cout << "after calculated: " << retValue << std::endl;
    }
    delete[] buffer;
    delete[] memCopyBuffer;
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
    int fileNum = 0;
    bool negativeValue = false;
    std::ifstream in(extFileName);
    if (!in.is_open())
        return 0;
    std::string fileLine;
    std::getline(in, fileLine);
    std::cout << "read value:" << fileLine << std::endl;
    if (fileLine.find('-') != std::string::npos) {
        say("found '-' ");
        negativeValue = true;
    }
    if (negativeValue) {
        // The zero fill stands before the sign: start the number at the first
        // "-", or the fill would read as the number 0.
        say("negativeValue process");
        bool valueStart = false;
        std::string tempStr;
        for (size_t idx = 0; idx < fileLine.size(); ++idx) {
            char c = fileLine[idx];
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
        fileLine = tempStr;
    }
    std::istringstream number(fileLine);
    number >> fileNum;
    if (number.fail() && (fileNum == INT_MAX || fileNum == INT_MIN))
        fileNum = kChecksumTextOutOfRange;   // a damaged text, never a valid checksum
    std::cout << "convert to fileNum:" << fileNum << std::endl;
    in.close();
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
