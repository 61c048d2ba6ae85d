// tolvane: the boot-set manager. It keeps the table record (stored twice) that
// says which boot set is being updated and holds a reference sum of each
// image, the flag record that names the current table copy, and repairs a
// damaged table copy or image partition from its twin.
#pragma once

#include <cstddef>
#include <cstdint>

#include <sys/types.h>
#include <mtd/mtd-user.h>

// The boot loader reads both records byte for byte as laid out here.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the records are stored little-endian as held in memory");

enum TolvaneCmd {
    tableReady = 0,
    tableLowPartitionUpdating = 1,
    tableHighPartitionUpdating = 2,
    tableMaintain = 3,
    tableOk = 4,
};

// The table record, 28 bytes, the same in memory and at the start of a table copy.
struct TolvaneInfo {
    uint32_t headerMarker;
    uint32_t addSum;             // sum of the bytes from highPartitionUpdating to the end
    uint16_t length;             // never examined
    uint8_t highPartitionUpdating;
    uint8_t lowPartitionUpdating;
    uint32_t s1lSum;
    uint32_t ubootSum;
    uint32_t kernelSum;
    uint32_t appSum;
};

static_assert(sizeof(TolvaneInfo) == 28, "table record is 28 bytes");
static_assert(offsetof(TolvaneInfo, headerMarker) == 0 && offsetof(TolvaneInfo, addSum) == 4 &&
              offsetof(TolvaneInfo, length) == 8 && offsetof(TolvaneInfo, highPartitionUpdating) == 10 &&
              offsetof(TolvaneInfo, lowPartitionUpdating) == 11 && offsetof(TolvaneInfo, s1lSum) == 12 &&
              offsetof(TolvaneInfo, ubootSum) == 16 && offsetof(TolvaneInfo, kernelSum) == 20 &&
              offsetof(TolvaneInfo, appSum) == 24,
              "table record layout");

// The flag record, 12 bytes: bootReference names the current table copy.
struct FlagInfo {
    uint32_t headerMarker;
    uint32_t bootReference;
    uint32_t endMarker;
};

static_assert(sizeof(FlagInfo) == 12, "flag record is 12 bytes");
static_assert(offsetof(FlagInfo, headerMarker) == 0 && offsetof(FlagInfo, bootReference) == 4 &&
              offsetof(FlagInfo, endMarker) == 8,
              "flag record layout");

// Partitions are told apart by the identity of these pointers, not by their text.
extern const char* MTD_FLAG;
extern const char* MTD_TABLE1;
extern const char* MTD_TABLE2;
extern const char* MTD_S1L1;
extern const char* MTD_S1L2;
extern const char* MTD_UBOOT1;
extern const char* MTD_UBOOT2;
extern const char* MTD_KERNEL1;
extern const char* MTD_KERNEL2;
extern const char* MTD_APP1;
extern const char* MTD_APP2;

const uint32_t BLOCK_SIZE = 0x20000;   // the unit of every block count
const uint32_t S1L_SIZE = 1;
const uint32_t UBOOT_SIZE = 4;
const uint32_t KERNEL_SIZE = 128;
const uint32_t APP_SIZE = 680;
const uint32_t MAX_PAGE_SIZE = 2048;
const uint32_t MAX_OOB_SIZE = 64;

const uint32_t TABLE_MARKER = 0xAAAAAAAA;
const uint32_t FLAG_MARKER = 0x55555555;
const uint16_t RECORD_LENGTH = 10;
// Above any record checksum (at most 18 * 255): a record nobody read never verifies.
const uint32_t NO_CHECKSUM = 0xFFFFFFFF;
// A remembered block start no block can have, so a loop checks its first block too.
const uint32_t NO_BLOCK = 0xFFFFFFFF;

// The flash access state keeps its fields in the class's order, some of them
// never read: clang would warn of those.
#ifdef __clang__
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wunused-private-field"
#endif
class Tolvane {
public:
    Tolvane();
    ~Tolvane();

    void set_options();

    bool eraseFlash(const char* partition, uint32_t blockNum);
    bool openFlash(const char* tmpMTDPartition);
    bool addSumToTolvane();
    bool displayTolvane();
    bool readFlash(const char* partition, uint32_t blockNum);
    uint32_t getAddSum();
    bool readTolvane(const char* partition);
    bool writeTolvane(const char* partition);
    bool writeBootFlag(uint32_t tmpFlag);
    int readBootFlag();
    bool write();
    // How many table copies the last write() stored the record in whole.
    int storedCopies();
    // The copy write() keeps for last, in the object only; the flag on flash is unchanged.
    bool setBootReference(uint32_t tmpFlag);
    bool verifyTolvane();
    bool setLowUpdating();
    bool setHighUpdating();
    bool setNoUpdating();
    bool isNoValue();
    bool setInitValue();
    TolvaneInfo getTolvaneInfo();
    bool setTolvaneInfo(TolvaneInfo goodTableInfo);
    bool copyFlashPatition(const char* dstPartition, const char* srcPartition, uint32_t blockNum);

private:
    // One side of a page loop: its descriptor, page cursor and remembered block start.
    struct Cursor {
        int fd;
        uint32_t* offset;
        uint32_t* blockstart;
    };
    enum LoopEnd { loopDone, loopFailed, loopNoRoom };

    uint32_t recordSum();
    bool checkBadBlock(Cursor& side, bool announce);
    template <typename Move>
    LoopEnd pageLoop(uint32_t& remaining, Cursor* sides, int count, bool announce, Move move);
    bool readPage(int fd, uint32_t offset);
    bool writePage(int fd, uint32_t offset);
    bool readRecordPage(uint32_t length);
    template <typename Fill>
    bool writeRecordPage(const char* partition, const char* label, uint32_t length, Fill fill);
    bool pageReadsBack(uint32_t offset);
    bool storeCopy(const char* partition);
    bool firstCopyStored(bool stored);
    void closeFlash();

    TolvaneInfo m_tolvaneInfo;
    FlagInfo m_bootFlagInfo;

    loff_t m_offs;
    uint32_t m_imglen;
    uint32_t m_blockstart;
    int m_pagelen;
    int m_baderaseblock;
    int m_isNAND;
    int m_bbtest;
    int m_flashFd;
    int m_fileFd;
    const char* m_mtd_device;
    const char* m_img;
    uint32_t m_mtdoffset;
    int m_quiet;
    int m_writeoob;
    int m_autoplace;
    int m_forcejffs2;
    int m_forceyaffs;
    int m_forcelegacy;
    int m_noecc;
    int m_pad;
    int m_blockalign;
    erase_info_t m_erase;
    nand_oobinfo m_none_oobinfo;
    nand_oobinfo m_jffs2_oobinfo;
    mtd_info_user m_meminfo;
    mtd_oob_buf m_oob;

    uint32_t m_addSum;
    // Set by eraseFlash when a block could not be erased.
    bool m_eraseFailed;
    // Set when the last record write erased its block but did not store the
    // record whole: the copy then holds no complete record.
    bool m_copyDamaged;
    int m_storedCopies;
    unsigned char writebuf[MAX_PAGE_SIZE];
    unsigned char oobbuf[MAX_OOB_SIZE];
    unsigned char oobreadbuf[MAX_OOB_SIZE];
};
#ifdef __clang__
#pragma clang diagnostic pop
#endif

// The command the command line selects; ends the process when it selects none.
TolvaneCmd process_options(int argc, char** argv);
// Runs one command on the object; returns the exit status of the run.
int runCommand(Tolvane& tolvane, TolvaneCmd cmd);
