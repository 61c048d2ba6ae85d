// File utilities of the flash verifier: the file checksum, the checksum text
// files (.as1, .as2), file sizes, file comparison and number formatting.
#pragma once

#include <cstdint>
#include <string>

class FileOperation {
public:
    FileOperation() {}
    ~FileOperation() {}

    std::string longToString(long tmpValue);
    long getFileSize(std::string& tmpFileName, bool& tmpRet);
    bool compareFile(std::string src1FileName, std::string src2FileName);
    std::string IntToString(int a);
    int calFileAddsum(std::string extFileName);
    bool writeAddsumToStringFile(int extAddsum, std::string extFileName);
    int readAddsumFromStringFile(std::string extFileName);
};

// The value a checksum text reads as when its number lies outside the
// signed 32-bit range: negative, so it never equals a file checksum
// (0 to 1,000,000,000) and a damaged text file can never pass a check.
constexpr int kChecksumTextOutOfRange = -1;
