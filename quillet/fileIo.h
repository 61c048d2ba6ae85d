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

// The file checksum reads its file in chunks of this many bytes through one
// buffer: a quarter of a 1 MiB second-level cache, so the bytes a read brings
// in are still cached when they are summed.
constexpr uint32_t kFileChecksumChunk = 256 * 1024;

// The quiet core of the checksum files, shared with programs that print none
// of FileOperation's lines.
//
// The file checksum of the file at path: every byte added as 0 to 255, the
// running value reduced by 1,000,000,000 whenever it passes 1,000,000,000.
// failed is set when the file does not open or a read fails (the value then
// covers what was read) or no buffer can be had (the value is then 0).
int32_t fileChecksum(const std::string& path, bool& failed);

// The value of a checksum text: the number on its first line, read from the
// first "-" on when the line has one, else after any leading white space;
// 0 where there is no number, kChecksumTextOutOfRange for one outside 32 bits.
int32_t checksumTextValue(const std::string& text);

// The value of the checksum text file at path; failed is set when it does
// not open or a read fails.
int32_t readChecksumText(const std::string& path, bool& failed);
