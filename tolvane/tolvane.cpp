// tolvane: the boot-set manager. One option per run marks a boot set as
// being updated, marks the update as finished, or repairs the table copies
// and the image partitions from their twins.
#include "tolvane.h"

#include <byte_sum.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <getopt.h>
#include <sys/ioctl.h>
#include <unistd.h>

const char* MTD_FLAG = "/dev/mtd3";
const char* MTD_TABLE1 = "/dev/mtd9";
const char* MTD_TABLE2 = "/dev/mtd10";
const char* MTD_S1L1 = "/dev/mtd0";
const char* MTD_S1L2 = "/dev/mtd6";
const char* MTD_UBOOT1 = "/dev/mtd1";
const char* MTD_UBOOT2 = "/dev/mtd7";
const char* MTD_KERNEL1 = "/dev/mtd2";
const char* MTD_KERNEL2 = "/dev/mtd8";
const char* MTD_APP1 = "/dev/mtd5";
const char* MTD_APP2 = "/dev/mtd12";

namespace {

const char SEPARATOR[] = "============================================================\n";
const char NO_ROOM[] = "Data did not fit into device, due to bad blocks\n";
const char RULE[] = "--------------------------------------------";
// The record checksum covers the updating bytes and the four sums.
const size_t SUM_FIRST = offsetof(TolvaneInfo, highPartitionUpdating);
const unsigned PAUSE_SECONDS = 10;

// One boot image in both sets, in the order every scan and judgement takes.
struct Image {
    const char* const* low;
    const char* const* high;
    uint32_t blocks;
    uint32_t TolvaneInfo::*sum;
    const char* lowLabel;
    const char* highLabel;
    const char* bothGood;
    const char* bothBad;
    const char* fixHigh;   // only the low set matches
    const char* fixLow;    // only the high set matches
};

const Image IMAGES[] = {
    {&MTD_S1L1, &MTD_S1L2, S1L_SIZE, &TolvaneInfo::s1lSum, "S1L1: addsum  %x\n", "S1L 2: addsum  %x\n",
     "Both s1l partition are good.\n", "Both s1l partition are Bad, can't fix !!!!.\n", "fixing S1L-2  !!!!.\n",
     "fixing S1L-1  !!!!.\n"},
    {&MTD_UBOOT1, &MTD_UBOOT2, UBOOT_SIZE, &TolvaneInfo::ubootSum, "U-Boot1: addsum %x\n", "U-Boot 2: addsum %x\n",
     "Both ubootSum partition are good.\n", "Both ubootSum partition are Bad, can't fix !!!!.\n",
     "fixing uboot-2  !!!!.\n", "fixing uboot-1  !!!!.\n"},
    {&MTD_KERNEL1, &MTD_KERNEL2, KERNEL_SIZE, &TolvaneInfo::kernelSum, "KERNEL 1: addsum %x\n",
     "KERNEL 2: addsum %x\n", "Both kernelSum partition are good.\n",
     "Both kernelSum partition are Bad, can't fix !!!!.\n", "fixing kernel-2  !!!!.\n", "fixing kernel-1  !!!!.\n"},
    {&MTD_APP1, &MTD_APP2, APP_SIZE, &TolvaneInfo::appSum, "APP 1: addsum %x\n", "APP 2: addsum %x\n",
     "Both appSum partition are good.\n", "Both appSum partition are Bad, can't fix !!!!.\n", "fixing app-2  !!!!.\n",
     "fixing app-1  !!!!.\n"},
};
const int IMAGE_COUNT = sizeof IMAGES / sizeof IMAGES[0];

void dumpBytes(const unsigned char* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i)
        fprintf(stderr, "%02x ", bytes[i]);
}

const char* tableCopy(int number) { return number == 2 ? MTD_TABLE2 : MTD_TABLE1; }
int otherCopy(int number) { return number == 2 ? 1 : 2; }

// The low set's sums into the record, one labelled line per image.
void scanLowSet(Tolvane& tolvane) {
    fputs(SEPARATOR, stderr);
    for (const Image& image : IMAGES) {
        tolvane.readFlash(*image.low, image.blocks);
        fprintf(stderr, image.lowLabel, tolvane.getAddSum());
        fputs(SEPARATOR, stderr);
    }
}

}  // namespace

Tolvane::Tolvane()
    : m_offs(0), m_imglen(0), m_blockstart(0), m_pagelen(0), m_baderaseblock(0), m_isNAND(1), m_bbtest(1),
      m_flashFd(0), m_fileFd(0), m_mtd_device(nullptr), m_img(nullptr), m_mtdoffset(0), m_quiet(0), m_writeoob(0),
      m_autoplace(0), m_forcejffs2(0), m_forceyaffs(0), m_forcelegacy(0), m_noecc(0), m_pad(0), m_blockalign(1),
      m_erase(), m_none_oobinfo(), m_jffs2_oobinfo(), m_meminfo(), m_oob(), m_addSum(0),
      m_eraseFailed(false), m_copyDamaged(false), m_storedCopies(0) {
    m_none_oobinfo.useecc = 0;
    m_jffs2_oobinfo.useecc = 1;
    m_jffs2_oobinfo.eccbytes = 6;
    memset(writebuf, 0x00, sizeof writebuf);
    memset(oobbuf, 0xFF, sizeof oobbuf);
    memset(oobreadbuf, 0x00, sizeof oobreadbuf);

    printf(" ===========>>> compiler time : %s %s\n", __DATE__, __TIME__);
    fflush(stdout);

    m_tolvaneInfo.headerMarker = TABLE_MARKER;
    m_tolvaneInfo.addSum = NO_CHECKSUM;
    m_tolvaneInfo.length = RECORD_LENGTH;
    m_tolvaneInfo.highPartitionUpdating = 0;
    m_tolvaneInfo.lowPartitionUpdating = 0;
    m_tolvaneInfo.s1lSum = m_tolvaneInfo.ubootSum = m_tolvaneInfo.kernelSum = m_tolvaneInfo.appSum = 0;

    m_bootFlagInfo.headerMarker = FLAG_MARKER;
    m_bootFlagInfo.bootReference = 1;
    m_bootFlagInfo.endMarker = FLAG_MARKER;
}

Tolvane::~Tolvane() {}

void Tolvane::set_options() {
    m_pad = 1;
    m_mtd_device = MTD_TABLE1;
    m_img = "./version";
}

// ---- the record ----

uint32_t Tolvane::recordSum() {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&m_tolvaneInfo);
    uint32_t calSum = 0;
    for (size_t i = SUM_FIRST; i < sizeof m_tolvaneInfo; ++i)
        calSum += bytes[i];
    fprintf(stderr, "calSum: %08x\n", calSum);
    return calSum;
}

bool Tolvane::addSumToTolvane() {
    m_tolvaneInfo.addSum = recordSum();
    return true;
}

bool Tolvane::verifyTolvane() {
    if (m_tolvaneInfo.headerMarker != TABLE_MARKER)
        return false;
    return m_tolvaneInfo.addSum == recordSum();
}

bool Tolvane::displayTolvane() {
    const TolvaneInfo& t = m_tolvaneInfo;
    fprintf(stderr, "m_tolvaneInfo.headerMarker: %x\n", t.headerMarker);
    fprintf(stderr, "m_tolvaneInfo.addSum: %x\n", t.addSum);
    fprintf(stderr, "m_tolvaneInfo.length: %x\n", t.length);
    fprintf(stderr, "m_tolvaneInfo.highPartitionUpdating: %x\n", t.highPartitionUpdating);
    fprintf(stderr, "m_tolvaneInfo.lowPartitionUpdating: %x\n", t.lowPartitionUpdating);
    fprintf(stderr, "m_tolvaneInfo.s1lSum: %x\n", t.s1lSum);
    fprintf(stderr, "m_tolvaneInfo.ubootSum: %x\n", t.ubootSum);
    fprintf(stderr, "m_tolvaneInfo.kernelSum: %x\n", t.kernelSum);
    fprintf(stderr, "m_tolvaneInfo.AppSum: %x\n", t.appSum);
    return true;
}

uint32_t Tolvane::getAddSum() { return m_addSum; }

bool Tolvane::setLowUpdating() {
    m_tolvaneInfo.lowPartitionUpdating = 1;
    m_tolvaneInfo.highPartitionUpdating = 0;
    return true;
}

bool Tolvane::setHighUpdating() {
    m_tolvaneInfo.lowPartitionUpdating = 0;
    m_tolvaneInfo.highPartitionUpdating = 1;
    return true;
}

bool Tolvane::setNoUpdating() {
    m_tolvaneInfo.lowPartitionUpdating = 0;
    m_tolvaneInfo.highPartitionUpdating = 0;
    return true;
}

bool Tolvane::isNoValue() {
    bool absent = m_tolvaneInfo.headerMarker != TABLE_MARKER;
    fprintf(stderr, "============================================================isNoValue() %s \n",
            absent ? "true" : "false");
    return absent;
}

bool Tolvane::setInitValue() {
    // addSum stays as it is: the next write computes it.
    m_tolvaneInfo.headerMarker = TABLE_MARKER;
    m_tolvaneInfo.length = RECORD_LENGTH;
    m_tolvaneInfo.highPartitionUpdating = 0;
    m_tolvaneInfo.lowPartitionUpdating = 0;
    m_tolvaneInfo.s1lSum = m_tolvaneInfo.ubootSum = m_tolvaneInfo.kernelSum = m_tolvaneInfo.appSum = 0;
    fputs("setInitValue ============================================================\n", stderr);
    scanLowSet(*this);
    return true;
}

TolvaneInfo Tolvane::getTolvaneInfo() { return m_tolvaneInfo; }

bool Tolvane::setTolvaneInfo(TolvaneInfo goodTableInfo) {
    m_tolvaneInfo.headerMarker = goodTableInfo.headerMarker;
    m_tolvaneInfo.addSum = goodTableInfo.addSum;
    m_tolvaneInfo.length = goodTableInfo.length;
    m_tolvaneInfo.highPartitionUpdating = goodTableInfo.highPartitionUpdating;
    m_tolvaneInfo.lowPartitionUpdating = goodTableInfo.lowPartitionUpdating;
    m_tolvaneInfo.s1lSum = goodTableInfo.s1lSum;
    m_tolvaneInfo.ubootSum = goodTableInfo.ubootSum;
    m_tolvaneInfo.kernelSum = goodTableInfo.kernelSum;
    m_tolvaneInfo.appSum = goodTableInfo.appSum;
    return true;
}

// ---- raw flash ----

bool Tolvane::openFlash(const char* tmpMTDPartition) {
    m_flashFd = open(tmpMTDPartition, O_RDWR);
    if (m_flashFd < 0) {
        perror("open flash");
        return false;
    }
    if (ioctl(m_flashFd, MEMGETINFO, &m_meminfo) != 0) {
        perror("MEMGETINFO");
        closeFlash();
        return false;
    }
    m_meminfo.erasesize *= m_blockalign;
    const uint32_t page = m_meminfo.writesize, oob = m_meminfo.oobsize, erase = m_meminfo.erasesize;
    const bool known = (oob == 16 && page == 512) || (oob == 8 && page == 256) || (oob == 64 && page == 2048);
    // The block arithmetic of the page loops needs whole pages in power-of-two blocks.
    const bool blocks = erase != 0 && (erase & (erase - 1)) == 0 && erase % page == 0;
    if (!known || !blocks) {
        fputs("Unknown flash (not normal NAND)\n", stderr);
        closeFlash();
        return false;
    }
    m_oob.length = m_meminfo.oobsize;
    m_oob.ptr = m_noecc ? oobreadbuf : oobbuf;
    return true;
}

void Tolvane::closeFlash() {
    close(m_flashFd);
    m_flashFd = -1;
}

bool Tolvane::eraseFlash(const char* partition, uint32_t blockNum) {
    m_eraseFailed = false;
    if (!openFlash(partition))
        return false;
    const uint32_t erase = m_meminfo.erasesize;
    m_imglen = blockNum * BLOCK_SIZE;
    m_pagelen = static_cast<int>(m_meminfo.writesize + (m_writeoob == 1 ? m_meminfo.oobsize : 0));
    m_erase.length = erase;
    m_erase.start = 0;
    // The writers step over bad blocks into the blocks after them: each
    // skipped block moves the end of the range one block further, so every
    // page they write has been erased. Nothing lies past the partition.
    uint64_t end = std::min<uint64_t>(m_imglen, m_meminfo.size);
    for (; m_erase.start < end; m_erase.start += erase) {
        loff_t offset = m_erase.start;
        int ret = ioctl(m_flashFd, MEMGETBADBLOCK, &offset);
        if (ret > 0) {
            printf("\nSkipping bad block at 0x%08x\n", m_erase.start);
            end = std::min<uint64_t>(end + erase, m_meminfo.size);
            continue;
        }
        if (ret < 0 && errno == EOPNOTSUPP) {
            m_bbtest = 0;
            if (m_isNAND) {
                fprintf(stderr, " %s: Bad block check not available\n", partition);
                exit(1);
            }
        } else if (ret < 0) {
            fprintf(stderr, "\n %s: MTD get bad block failed: %s\n", partition, strerror(errno));
            exit(1);
        }
        printf("Erasing %d Kibyte @ %x -- %2llu %% complete. \r", static_cast<int>(erase / 1024), m_erase.start,
               static_cast<unsigned long long>(uint64_t{m_erase.start} * 100 / m_meminfo.size));
        fflush(stdout);
        if (ioctl(m_flashFd, MEMERASE, &m_erase) != 0) {
            fprintf(stderr, "\n %s: MTD Erase failure: %s\n", partition, strerror(errno));
            m_eraseFailed = true;
        }
    }
    return true;
}

// Before the page at the cursor: whenever the cursor enters another block,
// ask whether it is bad and step over it (and over a run of them) whole.
bool Tolvane::checkBadBlock(Cursor& side, bool announce) {
    const uint32_t erase = m_meminfo.erasesize;
    uint32_t& at = *side.offset;
    uint32_t& block = *side.blockstart;
    // Past the end there is no block to ask about: the caller runs out of room.
    while ((at & ~(erase - 1)) != block && at < m_meminfo.size) {
        block = at & ~(erase - 1);
        m_offs = block;
        m_baderaseblock = 0;
        if (announce)
            printf("Writing data to block %x\n", block);
        do {
            int ret = ioctl(side.fd, MEMGETBADBLOCK, &m_offs);
            if (ret < 0) {
                perror("ioctl(MEMGETBADBLOCK)");
                return false;
            }
            if (ret == 1) {
                m_baderaseblock = 1;
                fprintf(stderr, "Bad block at %x, %u block(s) from %x will be skipped\n",
                        static_cast<uint32_t>(m_offs), static_cast<unsigned>(m_blockalign), block);
            }
            if (m_baderaseblock)
                at = block + erase;
            m_offs += erase / static_cast<uint32_t>(m_blockalign);
        } while (m_offs < static_cast<loff_t>(static_cast<uint32_t>(block + erase)));
    }
    return true;
}

// Moves `remaining` bytes one page at a time; sides[0] bounds the loop.
// Every side is checked for bad blocks before each page, then move()
// transfers the page at the cursors.
template <typename Move>
Tolvane::LoopEnd Tolvane::pageLoop(uint32_t& remaining, Cursor* sides, int count, bool announce, Move move) {
    const uint32_t page = m_meminfo.writesize;
    while (remaining != 0 && *sides[0].offset < m_meminfo.size) {
        for (int i = 0; i < count; ++i)
            if (!checkBadBlock(sides[i], announce))
                return loopFailed;
        if (*sides[0].offset >= m_meminfo.size)
            break;
        if (!move())
            return loopFailed;
        remaining -= std::min(remaining, page);
        for (int i = 0; i < count; ++i)
            *sides[i].offset += page;
    }
    return remaining == 0 ? loopDone : loopNoRoom;
}

// The buffer ends up as if zero-filled before the read: past what a short or
// failed read left it is 0x00. A whole page overwrites every byte, so only
// the read that falls short needs the fill (the scans read thousands of pages).
bool Tolvane::readPage(int fd, uint32_t offset) {
    const uint32_t page = m_meminfo.writesize;
    ssize_t n = pread(fd, writebuf, page, offset);
    if (n != static_cast<ssize_t>(page)) {
        const size_t kept = n > 0 ? static_cast<size_t>(n) : 0;
        memset(writebuf + kept, 0x00, page - kept);
        if (n >= 0)
            errno = EIO;   // a short page is as bad as a failed one
        perror("pread");
        return false;
    }
    return true;
}

bool Tolvane::writePage(int fd, uint32_t offset) {
    const uint32_t page = m_meminfo.writesize;
    ssize_t n = pwrite(fd, writebuf, page, offset);
    if (n != static_cast<ssize_t>(page)) {
        if (n >= 0)
            errno = EIO;
        perror("pwrite");
        return false;
    }
    return true;
}

bool Tolvane::readFlash(const char* partition, uint32_t blockNum) {
    m_addSum = 0;
    m_mtdoffset = 0;
    if (!openFlash(partition))
        return false;
    uint32_t remaining = blockNum * BLOCK_SIZE;
    m_blockstart = NO_BLOCK;
    Cursor side = {m_flashFd, &m_mtdoffset, &m_blockstart};
    const uint32_t page = m_meminfo.writesize;
    LoopEnd end = pageLoop(remaining, &side, 1, false, [&] {
        if (!readPage(m_flashFd, m_mtdoffset))
            return false;
        m_addSum += fwsum::byteSum(writebuf, page);
        return true;
    });
    if (end == loopNoRoom) {
        perror(NO_ROOM);
        closeFlash();
        exit(1);
    }
    closeFlash();
    if (end != loopDone)
        return false;
    for (const Image& image : IMAGES)
        if (partition == *image.low || partition == *image.high) {
            m_tolvaneInfo.*image.sum = m_addSum;
            break;
        }
    return true;
}

// ---- the records on flash ----

// Reads the first page of the open record partition into writebuf and
// closes it; false when the page could not be read whole.
bool Tolvane::readRecordPage(uint32_t length) {
    m_imglen = length;
    m_blockstart = NO_BLOCK;
    Cursor side = {m_flashFd, &m_mtdoffset, &m_blockstart};
    const uint32_t page = m_meminfo.writesize;
    LoopEnd end = pageLoop(m_imglen, &side, 1, false, [&] {
        if (!readPage(m_flashFd, m_mtdoffset))
            return false;
        m_addSum += fwsum::byteSum(writebuf, page);
        dumpBytes(writebuf, 16);
        fputc('\n', stderr);
        return true;
    });
    if (end == loopNoRoom)
        perror(NO_ROOM);
    closeFlash();
    return end == loopDone;
}

// Erases the first block of the record partition and writes one page:
// 0xFF with the record that fill() puts at its start.
template <typename Fill>
bool Tolvane::writeRecordPage(const char* partition, const char* label, uint32_t length, Fill fill) {
    m_copyDamaged = false;
    if (!openFlash(partition))
        return false;
    // That opening only proves the partition is there; the erase opens it again.
    closeFlash();
    if (!eraseFlash(partition, 1))
        return false;
    m_imglen = length;
    printf("m_imglen: %x\n", m_imglen);
    printf("%s%s\n", label, partition);
    m_blockstart = NO_BLOCK;
    uint32_t written = 0;
    Cursor side = {m_flashFd, &m_mtdoffset, &m_blockstart};
    LoopEnd end = pageLoop(m_imglen, &side, 1, true, [&] {
        memset(writebuf, 0xFF, m_meminfo.writesize);
        fill();
        written = m_mtdoffset;
        return writePage(m_flashFd, m_mtdoffset);
    });
    if (end == loopNoRoom) {
        perror(NO_ROOM);
        closeFlash();
        exit(1);
    }
    // Past the erase, a copy that failed holds no complete record; so may
    // one written over a block that could not be erased.
    m_copyDamaged = end != loopDone || (m_eraseFailed && !pageReadsBack(written));
    closeFlash();
    return end == loopDone;
}

// Whether the page at `offset` of the open partition holds writebuf.
bool Tolvane::pageReadsBack(uint32_t offset) {
    unsigned char stored[MAX_PAGE_SIZE];
    const uint32_t page = m_meminfo.writesize;
    return pread(m_flashFd, stored, page, offset) == static_cast<ssize_t>(page) &&
           memcmp(stored, writebuf, page) == 0;
}

bool Tolvane::readTolvane(const char* partition) {
    m_mtdoffset = 0;
    fprintf(stderr, "%s\n readTolvane() * \n ", RULE);
    m_addSum = 0;
    if (openFlash(partition)) {
        fprintf(stderr, "MTD: %s \n ", partition);
        if (readRecordPage(sizeof m_tolvaneInfo)) {
            memcpy(&m_tolvaneInfo, writebuf, sizeof m_tolvaneInfo);
            return true;
        }
    }
    // A copy that cannot be read must never pass for a valid one.
    m_tolvaneInfo.headerMarker = 0;
    return false;
}

bool Tolvane::writeTolvane(const char* partition) {
    m_mtdoffset = 0;
    fprintf(stderr, "%s\n writeTolvane() * \n ", RULE);
    bool ok = writeRecordPage(partition, "partition: ", sizeof m_tolvaneInfo, [&] {
        addSumToTolvane();
        displayTolvane();
        memcpy(writebuf, &m_tolvaneInfo, sizeof m_tolvaneInfo);
        fputs("write m_tolvaneInfo buf:\n ", stderr);
        dumpBytes(writebuf, sizeof m_tolvaneInfo);
        fputs("\n ", stderr);
    });
    if (!ok)
        return false;
    fputs("writeTolvane() ending \n", stderr);
    fprintf(stderr, "writeTolvane() & \n %s\n  ", RULE);
    return true;
}

bool Tolvane::writeBootFlag(uint32_t tmpFlag) {
    fprintf(stderr, "%s\n writeBootFlag() * \n ", RULE);
    m_mtdoffset = 0;
    bool ok = writeRecordPage(MTD_FLAG, "MTD_FLAG: ", sizeof m_bootFlagInfo, [&] {
        m_bootFlagInfo.headerMarker = FLAG_MARKER;
        m_bootFlagInfo.bootReference = tmpFlag;
        memcpy(writebuf, &m_bootFlagInfo, sizeof m_bootFlagInfo);
        fputs("write buf:\n ", stderr);
        dumpBytes(writebuf, sizeof m_bootFlagInfo);
        fputs("\n ", stderr);
    });
    if (!ok)
        return false;
    fputs("writeBootFlag() ending \n ", stderr);
    fprintf(stderr, "writeBootFlag() & \n %s\n  ", RULE);
    return true;
}

int Tolvane::readBootFlag() {
    m_mtdoffset = 0;
    sync();
    fprintf(stderr, "%s\n readBootFlag() * \n ", RULE);
    m_addSum = 0;
    if (!openFlash(MTD_FLAG) || !readRecordPage(sizeof m_bootFlagInfo))
        return -1;
    memcpy(&m_bootFlagInfo, writebuf, sizeof m_bootFlagInfo);
    fprintf(stderr, "readBootFlag() & \n %s\n  ", RULE);
    if (m_bootFlagInfo.headerMarker != FLAG_MARKER) {
        m_bootFlagInfo.headerMarker = FLAG_MARKER;
        m_bootFlagInfo.bootReference = 1;
        writeBootFlag(1);
    }
    return m_bootFlagInfo.bootReference == 2 ? 2 : 1;
}

bool Tolvane::setBootReference(uint32_t tmpFlag) {
    m_bootFlagInfo.bootReference = tmpFlag;
    return true;
}

// Stores the record in one copy; true when the copy now holds it whole.
// A copy that could not even be opened still holds what it held before,
// which is not the record being written.
bool Tolvane::storeCopy(const char* partition) {
    const bool stored = writeTolvane(partition) && !m_copyDamaged;
    if (stored)
        ++m_storedCopies;
    return stored;
}

// The flag moves only to a copy that holds the new record whole: otherwise
// the flag and the other copy (the one complete record left) are not touched.
bool Tolvane::firstCopyStored(bool stored) {
    if (stored)
        return true;
    fputs("write() first copy not stored, flag and other copy kept \n ", stderr);
    return false;
}

// The copy the flag does not name first, then the flag, then the other copy:
// at every moment the copy the flag names holds a complete record.
bool Tolvane::write() {
    fprintf(stderr, "%s\n write() * \n ", RULE);
    m_storedCopies = 0;
    if (m_bootFlagInfo.bootReference == 1) {
        fprintf(stderr, "%swrite() write MTD_TABLE2 first \n ", RULE);
        const bool first = storeCopy(MTD_TABLE2);
        fprintf(stderr, "%swrite() [1] [1] \n ", RULE);
        if (firstCopyStored(first)) {
            writeBootFlag(2);
            fprintf(stderr, "%swrite() [1] [2] \n ", RULE);
            storeCopy(MTD_TABLE1);
        }
    } else {
        fprintf(stderr, "%swrite() write MTD_TABLE1 first \n ", RULE);
        const bool first = storeCopy(MTD_TABLE1);
        fprintf(stderr, "%swrite() [2] [1] \n ", RULE);
        if (firstCopyStored(first)) {
            writeBootFlag(1);
            fprintf(stderr, "%swrite() [2] [2] \n ", RULE);
            storeCopy(MTD_TABLE2);
            fprintf(stderr, "%swrite() [2] [3] \n ", RULE);
        }
    }
    fprintf(stderr, "write() & \n %s\n  ", RULE);
    return true;
}

int Tolvane::storedCopies() { return m_storedCopies; }

// ---- partition copy ----

bool Tolvane::copyFlashPatition(const char* dstPartition, const char* srcPartition, uint32_t blockNum) {
    uint32_t remaining = blockNum * BLOCK_SIZE;
    uint32_t src_mtdoffset = 0, dst_mtdoffset = 0;
    uint32_t src_blockstart = NO_BLOCK, dst_blockstart = NO_BLOCK;
    m_addSum = 0;
    printf("copyFlashPatition() DST: %s, SRC:%s, blockSize: %x\n", dstPartition, srcPartition, blockNum);

    // Both sides must open before anything is erased: a copy that cannot
    // read its source leaves the destination as it was.
    if (!openFlash(dstPartition))
        return false;
    const int dstflashFd = m_flashFd;
    if (!openFlash(srcPartition)) {
        close(dstflashFd);
        return false;
    }
    const int srcflashFd = m_flashFd;
    const mtd_info_user source = m_meminfo;
    const bool erased = eraseFlash(dstPartition, blockNum);
    if (erased)
        closeFlash();   // the erase's own descriptor
    // The source's geometry governs both sides.
    m_meminfo = source;
    m_flashFd = srcflashFd;
    LoopEnd end = loopFailed;
    if (erased) {
        Cursor sides[2] = {{srcflashFd, &src_mtdoffset, &src_blockstart},
                           {dstflashFd, &dst_mtdoffset, &dst_blockstart}};
        end = pageLoop(remaining, sides, 2, false,
                       [&] { return readPage(srcflashFd, src_mtdoffset) && writePage(dstflashFd, dst_mtdoffset); });
        if (end == loopNoRoom)
            perror(NO_ROOM);
    }
    close(srcflashFd);
    close(dstflashFd);
    m_flashFd = -1;
    if (end == loopNoRoom)
        exit(1);
    return end == loopDone;
}

// ---- commands ----

namespace {

// Loads the record from the copy the flag names, else the other one, else
// rebuilds it from the low set; true when it had to be rebuilt. The copy the
// record came from is the one complete record on the flash that the reader
// may take: write() must rewrite it last, whatever the flag holds (1, 2, a
// value no run writes, or nothing when the flag could not be read), or a cut
// while it is being rewritten first leaves no complete record anywhere.
bool loadTable(Tolvane& tolvane) {
    const int tableNumber = tolvane.readBootFlag() == 1 ? 1 : 2;
    tolvane.readTolvane(tableCopy(tableNumber));
    if (tolvane.verifyTolvane()) {
        fputs("tolvane verify ok \n", stderr);
        tolvane.setBootReference(static_cast<uint32_t>(tableNumber));
        return false;
    }
    const int otherNumber = otherCopy(tableNumber);
    tolvane.readTolvane(tableCopy(otherNumber));
    if (tolvane.verifyTolvane()) {
        tolvane.setBootReference(static_cast<uint32_t>(otherNumber));
        return false;
    }
    tolvane.setInitValue();
    return true;
}

bool sameRecord(const TolvaneInfo& a, const TolvaneInfo& b) { return memcmp(&a, &b, sizeof a) == 0; }

// One set's sums into the record; readable[i] says whether image i was read whole.
void scanSet(Tolvane& tolvane, bool high, bool* readable) {
    for (int i = 0; i < IMAGE_COUNT; ++i) {
        const Image& image = IMAGES[i];
        const char* partition = high ? *image.high : *image.low;
        readable[i] = tolvane.readFlash(partition, image.blocks);
        if (!readable[i])
            fprintf(stderr, "cannot read %s, counted as not matching\n", partition);
        fprintf(stderr, high ? image.highLabel : image.lowLabel, tolvane.getAddSum());
    }
}

// Finds a verified table copy and repairs the other from it, then copies
// each image that matches the record in one set only over its twin. A valid
// other copy that holds another record is overwritten too: it is the
// fallback when the named copy goes bad, and must back up the same record.
void maintain(Tolvane& tolvane) {
    bool needFixTable = false, copiesDiffer = false;
    unsigned goodTableNumber = 0;
    const int flag = tolvane.readBootFlag();
    int tableNumber = flag == 2 ? 2 : 1;
    TolvaneInfo recordTolvane;

    tolvane.readTolvane(tableCopy(tableNumber));
    if (tolvane.verifyTolvane()) {
        fputs("tolvane verify ok \n", stderr);
        recordTolvane = tolvane.getTolvaneInfo();
        goodTableNumber = tableNumber;
        tolvane.readTolvane(tableCopy(otherCopy(tableNumber)));
        if (!tolvane.verifyTolvane())
            needFixTable = true;
        // Two valid copies that differ are made one, the named over the
        // other; not when the flag could not be read, which would make the
        // choice a guess (the next pass that reads it makes it).
        else
            copiesDiffer = flag > 0 && !sameRecord(tolvane.getTolvaneInfo(), recordTolvane);
    } else {
        needFixTable = true;
        tableNumber = otherCopy(tableNumber);
        tolvane.readTolvane(tableCopy(tableNumber));
        if (!tolvane.verifyTolvane()) {
            fputs("Can't Fix partition, because table value error!!!\n", stderr);
            sleep(PAUSE_SECONDS);
            exit(1);
        }
        recordTolvane = tolvane.getTolvaneInfo();
        goodTableNumber = static_cast<unsigned>(tableNumber);
    }

    if (!needFixTable && !copiesDiffer) {
        fputs("Both table partition are good.\n", stderr);
    } else if (goodTableNumber == 1) {
        fputs(needFixTable ? "[fix table 2]\n" : "[sync table 2]\n", stderr);
        tolvane.copyFlashPatition(MTD_TABLE2, MTD_TABLE1, 1);
    } else {
        fputs(needFixTable ? "[fix table 1]\n" : "[sync table 1]\n", stderr);
        tolvane.copyFlashPatition(MTD_TABLE1, MTD_TABLE2, 1);
    }
    tolvane.setTolvaneInfo(recordTolvane);
    tolvane.displayTolvane();

    bool lowRead[IMAGE_COUNT], highRead[IMAGE_COUNT];
    fputs("maintain partition =======================================================  \n", stderr);
    fputs(SEPARATOR, stderr);
    fputs("[scan low partition]\n", stderr);
    scanSet(tolvane, false, lowRead);
    fputs(SEPARATOR, stderr);
    const TolvaneInfo flashTolvane1 = tolvane.getTolvaneInfo();
    fputs(SEPARATOR, stderr);
    fputs("[scan high partition]\n", stderr);
    scanSet(tolvane, true, highRead);
    fputs(SEPARATOR, stderr);
    const TolvaneInfo flashTolvane2 = tolvane.getTolvaneInfo();

    for (int i = 0; i < IMAGE_COUNT; ++i) {
        const Image& image = IMAGES[i];
        const uint32_t reference = recordTolvane.*image.sum;
        const bool low = lowRead[i] && flashTolvane1.*image.sum == reference;
        const bool high = highRead[i] && flashTolvane2.*image.sum == reference;
        if (low && high) {
            fputs(image.bothGood, stderr);
        } else if (!low && !high) {
            fputs(image.bothBad, stderr);
        } else if (low) {
            fputs(image.fixHigh, stderr);
            tolvane.copyFlashPatition(*image.high, *image.low, image.blocks);
        } else {
            fputs(image.fixLow, stderr);
            tolvane.copyFlashPatition(*image.low, *image.high, image.blocks);
        }
    }
}

}  // namespace

TolvaneCmd process_options(int argc, char** argv) {
    static const char short_options[] = "ab:jlhmo";
    static const struct option long_options[] = {
        {"aaa", no_argument, nullptr, 'a'},     {"bbb", required_argument, nullptr, 'b'},
        {"jjj", no_argument, nullptr, 'j'},     {"low", no_argument, nullptr, 'l'},
        {"high", no_argument, nullptr, 'h'},    {"miantain", no_argument, nullptr, 'm'},
        {"ok", no_argument, nullptr, 'o'},      {nullptr, 0, nullptr, 0},
    };
    TolvaneCmd cmd = tableReady;
    // Only the first option counts.
    switch (getopt_long(argc, argv, short_options, long_options, nullptr)) {
    case 'j':
        fputs("test command j \n", stderr);
        break;
    case 'm':
        fputs("maintain partition data \n", stderr);
        cmd = tableMaintain;
        break;
    case 'o':
        fputs("patition update ok command \n", stderr);
        cmd = tableOk;
        break;
    case 'l':
        fputs("Low partition updating command \n", stderr);
        cmd = tableLowPartitionUpdating;
        break;
    case 'h':
        fputs("High partition updating command \n", stderr);
        cmd = tableHighPartitionUpdating;
        break;
    case 'b':
        fputs("command b \n", stderr);
        fprintf(stderr, "arg:  %s \n", optarg);
        break;
    case 'a':
        fputs("test command a \n", stderr);
        break;
    default:
        break;
    }
    if (cmd == tableReady) {
        fputs("got error cmd \n", stderr);
        exit(0);
    }
    fputs("got cmd \n", stderr);
    return cmd;
}

namespace {

// A record command that stored its new record in neither copy has changed
// nothing a reader takes: its caller must be able to tell.
int recordWritten(Tolvane& tolvane) {
    tolvane.write();
    return tolvane.storedCopies() > 0 ? 0 : 1;
}

}  // namespace

int runCommand(Tolvane& tolvane, TolvaneCmd cmd) {
    if (cmd == tableLowPartitionUpdating) {
        loadTable(tolvane);
        tolvane.isNoValue();
        tolvane.setLowUpdating();
        return recordWritten(tolvane);
    }
    if (cmd == tableHighPartitionUpdating) {
        fputs("===>>> tableHighPartitionUpdating == tolvaneCmd\n", stderr);
        // A rebuilt record already holds the low set's fresh sums.
        if (!loadTable(tolvane))
            scanLowSet(tolvane);
        tolvane.setHighUpdating();
        return recordWritten(tolvane);
    }
    if (cmd == tableOk) {
        loadTable(tolvane);
        tolvane.setNoUpdating();
        return recordWritten(tolvane);
    }
    if (cmd == tableMaintain)
        maintain(tolvane);
    return 0;
}

#ifndef TOLVANE_NO_MAIN
int main(int argc, char** argv) {
    // Progress (standard output) and diagnostics (standard error) reach a
    // log file in the order they are printed.
    setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    Tolvane tolvane;
    fputs("ver. 1.0\n", stderr);
    // Every command assumes the 512 MB layout; its last partition is the sign of it.
    if (access(MTD_APP2, F_OK) != 0) {
        fputs("not 512MB partition !!! \n", stderr);
        sleep(PAUSE_SECONDS);
        exit(1);
    }
    TolvaneCmd tolvaneCmd = process_options(argc, argv);
    return runCommand(tolvane, tolvaneCmd);
}
#endif
