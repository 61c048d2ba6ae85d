// quillet: checks each image partition against its backup on the SD card and
// rewrites the partition from the backup when the flash does not match.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include "fileIo.h"
#include "toolpath.h"

FileOperation fileOperation;
std::string FLAHS_DUMP_FILE = "/mnt/sd/flash_dump.bin";
const std::string S1L_BAK_FILE = "/mnt/sd/backup/s1l.bak";
const std::string S1L_AS1_FILE = "/mnt/sd/backup/s1l.as1";
const std::string S1L_AS2_FILE = "/mnt/sd/backup/s1l.as2";
const std::string UBOOT_BAK_FILE = "/mnt/sd/backup/uboot.bak";
const std::string UBOOT_AS1_FILE = "/mnt/sd/backup/uboot.as1";
const std::string UBOOT_AS2_FILE = "/mnt/sd/backup/uboot.as2";
const std::string KERNEL_BAK_FILE = "/mnt/sd/backup/kernel.bak";
const std::string KERNEL_AS1_FILE = "/mnt/sd/backup/kernel.as1";
const std::string KERNEL_AS2_FILE = "/mnt/sd/backup/kernel.as2";
const std::string ROOTFS_BAK_FILE = "/mnt/sd/backup/appfs.bak";
const std::string ROOTFS_AS1_FILE = "/mnt/sd/backup/appfs.as1";
const std::string ROOTFS_AS2_FILE = "/mnt/sd/backup/appfs.as2";

namespace {

constexpr uint32_t kPageMask = 2048 - 1;   // a backup is whole flash pages
constexpr int kPasses = 6;
constexpr uint32_t kMaxReRead = 5;         // re-reads start while the count is at most this

void say(const std::string& line) { std::cout << line << std::endl; }

// Sizes are 32-bit on the board; every size and difference here is computed
// modulo 2^32 so this build asks for the same lengths as the board does.
uint32_t fileSize32(std::string path, bool& ret) {
    return static_cast<uint32_t>(fileOperation.getFileSize(path, ret));
}

std::string lengthText(uint32_t length) { return std::to_string(length); }

void shell(const std::string& cmdString) {
    say("system call:  " + cmdString);
    if (system(cmdString.c_str()) != 0) {
        // The outcome shows in the dump file and the next check, not here.
    }
}

// Dumps the partition into the dump file. The old dump goes first, so a dump
// that fails leaves no file rather than the previous partition's data.
uint32_t dump(const std::string& extFlashDevice, const std::string& fileSizeString, bool& ret) {
    remove(FLAHS_DUMP_FILE.c_str());
    shell("nanddump -o -b -f " + FLAHS_DUMP_FILE + " -l " + fileSizeString + " " + extFlashDevice);
    return fileSize32(FLAHS_DUMP_FILE, ret);
}

bool opens(const std::string& path) {
    std::ifstream in(path, std::ios::in);
    bool open = in.is_open();
    in.close();
    return open;
}

void rest() {
    sync();
    sleep(1);
    sync();
}

}  // namespace

bool quillet(std::string extFlashDevice, std::string extBakFile, std::string extAS1File, std::string extAS2File) {
    bool ending = false;
    bool ret = true;
    int backFileAS1 = 0, backFileAS2 = 0, backFileCalculatedAddsum = 0, flashDumpFileCalAddsum = 0;
    uint32_t fileSize = 0, dumpFileSize = 0, diffFileSize = 0, reSendFileSize = 0, badblockRetryCnt = 0;
    uint32_t askedFileSize = 0;   // the length in fileSizeString
    std::string fileSizeString;
    int loopCnt = kPasses;

    const std::string* paths[] = {&extFlashDevice, &extBakFile, &extAS1File, &extAS2File};
    for (const std::string* path : paths) {
        if (!opens(*path)) {
            say(*path + (path == &extFlashDevice ? "check NG!!!" : " check NG!!!"));
            return false;
        }
        say(*path + " check ok.");
    }
    say("extFlashDevice: " + extFlashDevice);
    say("extBakFile: " + extBakFile);
    say("extAS1File: " + extAS1File);
    say("extAS2File: " + extAS2File);

    fileSize = fileSize32(extBakFile, ret);
    if (!ret)
        fileSize = 0;
    if (fileSize == 0) {
        say("File error...");
        return false;
    }
    if (fileSize & kPageMask) {
        say("File size Error !!!");
        return false;
    }
    askedFileSize = fileSize;
    fileSizeString = lengthText(askedFileSize);
    say("fileSizeString: " + fileSizeString);

    while (!ending && loopCnt > 0) {
        dumpFileSize = dump(extFlashDevice, fileSizeString, ret);
        diffFileSize = fileSize - dumpFileSize;
        if (diffFileSize != 0) {
            say("===>> Need do re-Read !!!  ");
            say("===>> dumpFileSize: " + std::to_string(dumpFileSize));
        }
        // Bad blocks in the range are left out of the dump but count toward
        // its length: ask for more by the last dump's shortfall, from one
        // budget shared by every pass. Growing from the last length asked for
        // (not the backup's size) matters when the range ends inside a bad
        // block: that gains only part of the block, and restarting from the
        // backup's size would swing between two short lengths.
        while (badblockRetryCnt <= kMaxReRead && dumpFileSize != fileSize) {
            say("===>> found Bad Bloack re-read !!!");
            reSendFileSize = askedFileSize + diffFileSize;
            askedFileSize = reSendFileSize;
            fileSizeString = lengthText(reSendFileSize);
            say("===>> Re-read fileSizeString: " + fileSizeString);
            dumpFileSize = dump(extFlashDevice, fileSizeString, ret);
            diffFileSize = fileSize - dumpFileSize;
            ++badblockRetryCnt;
        }

        // Nothing is written unless the backup matches both stored checksums.
        backFileAS1 = fileOperation.readAddsumFromStringFile(extAS1File);
        backFileAS2 = fileOperation.readAddsumFromStringFile(extAS2File);
        backFileCalculatedAddsum = fileOperation.calFileAddsum(extBakFile);
        if (backFileAS1 == backFileCalculatedAddsum && backFileAS2 == backFileCalculatedAddsum) {
            say("backup file verify ok.");
        } else {
            say("Backup file verify NG !!!");
            say("Can't to verify flash data !!!");
            break;
        }

        if (ret) {
            flashDumpFileCalAddsum = fileOperation.calFileAddsum(FLAHS_DUMP_FILE);
            if (backFileAS1 == flashDumpFileCalAddsum && backFileAS2 == flashDumpFileCalAddsum) {
                say("Flash Dump File verify ok.");
                say("Need no any action.");
                ending = true;
                break;
            }
            say("Flash Dump File verify NG !!!");
            say("Will updaye it !!!");
        }

        shell("flash_eraseall " + extFlashDevice);
        rest();
        shell("nandwrite  -p " + extFlashDevice + " " + extBakFile);
        rest();
        --loopCnt;
    }
    return true;
}

#ifndef QUILLET_NO_MAIN
int main(int, char**) {
    // Lines reach a log file as they are printed, before a tool's output.
    setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    // The command lines name the tools; the ones beside quillet run them.
    fwtools::putToolsFirstOnPath("quillet");
    const std::string separator = "================================================= ";
    struct Image {
        const char* low;
        const char* high;
        const std::string *bak, *as1, *as2;
    };
    const Image images[] = {
        {"/dev/mtd0", "/dev/mtd6", &S1L_BAK_FILE, &S1L_AS1_FILE, &S1L_AS2_FILE},
        {"/dev/mtd1", "/dev/mtd7", &UBOOT_BAK_FILE, &UBOOT_AS1_FILE, &UBOOT_AS2_FILE},
        {"/dev/mtd2", "/dev/mtd8", &KERNEL_BAK_FILE, &KERNEL_AS1_FILE, &KERNEL_AS2_FILE},
        {"/dev/mtd5", "/dev/mtd12", &ROOTFS_BAK_FILE, &ROOTFS_AS1_FILE, &ROOTFS_AS2_FILE},
    };
    say("quillet ===>>>");
    for (const Image& image : images) {
        quillet(image.low, *image.bak, *image.as1, *image.as2);
        say(separator);
    }
    // The 512 MB layout carries /dev/mtd12: only then is the high set checked.
    std::ifstream fs("/dev/mtd12", std::ios::in);
    if (fs.is_open()) {
        say(" 512M flash");
        for (const Image& image : images) {
            quillet(image.high, *image.bak, *image.as1, *image.as2);
            say(separator);
        }
    } else {
        say("Not 512M flash");
    }
    fs.close();
    return 0;
}
#endif
