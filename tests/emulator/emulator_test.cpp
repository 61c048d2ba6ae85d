// Unchanged programs on the simulated board, through the preloaded shim: the
// paths it maps, the descriptors it tracks, the answers it passes back and
// the power cuts it ends runs for. The NAND rules and faults themselves are
// the device's, proven in process in device_test.cpp.
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "test_board.h"

using testboard::TestBoard;
using testboard::BoardOptions;
using testboard::lines;

namespace {

constexpr int kKernel1 = 2;
constexpr uint32_t kPage = 2048, kBlock = 131072;

std::vector<std::string> poke(const TestBoard& b, std::vector<std::string> args) {
    args.insert(args.begin(), "mtdpoke");
    auto r = b.run(args);
    EXPECT_TRUE(r.exited(0)) << r.err;
    return lines(r.out);
}

size_t count(const std::vector<testboard::LogEntry>& log, const std::string& op) {
    return static_cast<size_t>(std::count_if(log.begin(), log.end(), [&](auto& e) { return e.op == op; }));
}

TEST(FreshBoard, IsErasedAndCostsAlmostNoDisk) {
    TestBoard b;
    struct stat st;
    ASSERT_EQ(0, stat((b.dir() + "/mtd11.data").c_str(), &st));
    EXPECT_EQ(2296u * kBlock, static_cast<uint64_t>(st.st_size));
    EXPECT_LT(st.st_blocks * 512, 64 * 1024);
    auto r = b.run({"sh", "-c", "dd if=/dev/mtd2 bs=2048 count=64 status=none | od -An -tx1 -v | sort -u"});
    EXPECT_EQ(" ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff\n", r.out);
    EXPECT_EQ(13, b.partitionCount());
}

// What the arm tier's flash comparison skips is erased, and only that.
TEST(FreshBoard, NextStoredSkipsOnlyErasedFlash) {
    TestBoard b;
    const uint64_t size = b.partitionSize(kKernel1);
    EXPECT_EQ(size, b.nextStored(kKernel1, 0));
    b.program(kKernel1, 5 * kBlock, testboard::pattern(b.pageSize(), 1));
    EXPECT_EQ(5 * kBlock, b.nextStored(kKernel1, 0));
    EXPECT_EQ(5 * kBlock + 100, b.nextStored(kKernel1, 5 * kBlock + 100));
    b.eraseBlock(kKernel1, 5);
    EXPECT_EQ(size, b.nextStored(kKernel1, 0));
}

TEST(FreshBoard, PartitionsLookLikeCharacterDevicesAndMissingOnesDoNotExist) {
    BoardOptions small;
    small.layout = "small";
    TestBoard b(small);
    auto r = b.run({"sh", "-c", "test -c /dev/mtd11 && echo char; test -e /dev/mtd12 || echo gone; ls /dev/mtd12"});
    EXPECT_EQ("char\ngone\n", r.out);
    EXPECT_NE(std::string::npos, r.err.find("No such file"));
}

TEST(UnmodifiedPrograms, CatDdAndOdSeeThePartitionBytes) {
    TestBoard b;
    auto image = testboard::pattern(3 * kBlock + 100, 7);
    b.load(kKernel1, image);
    auto r = b.run({"sh", "-c",
                    "cat /dev/mtd2 > /mnt/sd/cat.bin; dd if=/dev/mtd2 of=/mnt/sd/dd.bin bs=2048 status=none; "
                    "od -An -tx1 -v -N 32 /dev/mtd2 > /mnt/sd/od.txt"});
    ASSERT_TRUE(r.exited(0)) << r.err;
    auto flash = b.read(kKernel1, 0, b.partitionSize(kKernel1));
    EXPECT_TRUE(b.readSdFile("cat.bin") == flash);
    EXPECT_TRUE(b.readSdFile("dd.bin") == flash);
    char expected[200];
    auto* p = expected;
    for (int i = 0; i < 32; ++i)
        p += sprintf(p, " %02x%s", image[i], i % 16 == 15 ? "\n" : "");
    auto od = b.readSdFile("od.txt");
    EXPECT_EQ(std::string(expected), std::string(od.begin(), od.end()));
    EXPECT_EQ(0xFF, flash[3 * kBlock + 100]);   // the padding of the last page
}

// The bytes a cut leaves are the device's; the shim ends the run that met it.
TEST(PowerCut, KillsTheRunAtTheCountedOperationInEachForm) {
    for (std::string form : {"before", "torn", "after"}) {
        TestBoard b;
        b.setFaults({"cut=2:" + form + ":5"});
        auto r = b.run({"sh", "-c", "mtdpoke /dev/mtd2 write 0 2048 0; mtdpoke /dev/mtd2 write 2048 2048 0; echo survived"});
        EXPECT_EQ(SIGKILL, r.signal) << form;
        EXPECT_EQ(std::string::npos, r.out.find("survived")) << form;
        // Power comes back for the next run.
        b.clearFaults();
        EXPECT_TRUE(b.run({"true"}).exited(0));
    }
}

// A process of the run that never calls the emulator again (a sleeper in the
// background) dies with the rest: the run's process group is killed, both
// when the test board starts the run and when `simboard run` does.
TEST(PowerCut, KillsEveryProcessOfTheRun) {
    const std::string script = "sleep 30 & echo $! > /mnt/sd/sleeper; mtdpoke /dev/mtd2 erase 0 131072; wait";
    for (bool viaTool : {false, true}) {
        TestBoard b;
        b.setFaults({"cut=1:after"});
        std::vector<std::string> argv = {"sh", "-c", script};
        if (viaTool)
            argv.insert(argv.begin(), {"simboard", "run", b.dir(), "--"});
        auto r = b.run(argv);
        EXPECT_EQ(SIGKILL, r.signal) << viaTool;
        const std::vector<uint8_t> text = b.readSdFile("sleeper");
        const pid_t sleeper = static_cast<pid_t>(std::atoi(std::string(text.begin(), text.end()).c_str()));
        ASSERT_GT(sleeper, 0) << viaTool;
        bool gone = false;
        for (int i = 0; i < 500 && !gone; ++i) {
            std::ifstream stat("/proc/" + std::to_string(sleeper) + "/stat");
            std::string pid, name, state;
            gone = !(stat >> pid >> name >> state) || state == "Z";
            if (!gone)
                usleep(10000);
        }
        EXPECT_TRUE(gone) << "the background process outlived the power cut" << (viaTool ? " (simboard run)" : "");
        if (!gone)
            kill(sleeper, SIGKILL);
    }
}

// The shim hands each call on a partition descriptor to the board's device
// and gives its answer back as the C library does: -1 with errno.
TEST(Shim, GivesTheDevicesAnswersBackAsErrno) {
    TestBoard b;
    b.markBad(kKernel1, 1);
    b.setFaults({"fail=mtd3:open:1:EACCES"});
    auto out = poke(b, {"/dev/mtd2", "info", "bad", std::to_string(kBlock), "write", "512", "2048", "0", "write",
                        "0", "2048", "0x0F", "read", "0", "2", "erase", "0", std::to_string(2 * kBlock), "ioctl",
                        "0x4d99"});
    ASSERT_EQ(8u, out.size());
    EXPECT_EQ("info -> type 4 size " + std::to_string(b.partitionSize(kKernel1)) + " erasesize " +
                  std::to_string(kBlock) + " writesize " + std::to_string(kPage) + " oobsize 64",
              out[0]);
    EXPECT_EQ("bad -> 1", out[1]);
    EXPECT_EQ("write -> -1 Invalid argument", out[2]);
    EXPECT_EQ("write -> " + std::to_string(kPage), out[3]);
    EXPECT_EQ("read -> 2", out[4]);
    EXPECT_EQ("0f 0f", out[5]);
    EXPECT_EQ("erase -> -1 Input/output error", out[6]);
    EXPECT_EQ("ioctl -> -1 Inappropriate ioctl for device", out[7]);
    // The descriptor's access mode reaches the device.
    EXPECT_EQ("erase -> -1 Operation not permitted", poke(b, {"ro:/dev/mtd2", "erase", "0", std::to_string(kBlock)})[0]);
    EXPECT_EQ("open -> -1 Permission denied\n", b.run({"mtdpoke", "/dev/mtd3"}).out);
}

TEST(Log, CountsMutatingOperationsOfEveryProcessWithTheirNames) {
    TestBoard b;
    b.setFaults({});
    auto r = b.run({"sh", "-c", "mtdpoke /dev/mtd2 write 0 4096 0 & mtdpoke /dev/mtd8 erase 0 262144 & wait"});
    ASSERT_TRUE(r.exited(0));
    EXPECT_EQ(4u, b.mutatingOps());
    auto m = b.mutations();
    ASSERT_EQ(4u, m.size());
    for (auto& e : m)
        EXPECT_EQ("mtdpoke", e.prog);
    EXPECT_EQ(2u, count(m, "program"));
}

TEST(SdCard, PathsUnderMntSdLandInTheBoardsFolder) {
    TestBoard b;
    auto r = b.run({"sh", "-c", "mkdir /mnt/sd/x && echo data > /mnt/sd/x/f && cat /mnt/sd/x/f && rm /mnt/sd/x/f"});
    EXPECT_EQ("data\n", r.out);
    EXPECT_FALSE(b.sdFileExists("x/f"));
    EXPECT_TRUE(b.sdFileExists("x"));
}

// The arm tier's guard: no program from the folder NANDEMU_REFUSE names runs.
TEST(Refuse, AProgramFromTheNamedFolderEndsWithoutRunning) {
    TestBoard b;
    char sh[PATH_MAX];
    ASSERT_NE(nullptr, realpath("/bin/sh", sh));
    const std::string dir = std::string(sh).substr(0, std::string(sh).rfind('/'));
    auto r = b.run({"/bin/sh", "-c", "echo ran"}, "", {"NANDEMU_REFUSE=" + dir});
    EXPECT_TRUE(r.exited(127));
    EXPECT_EQ("nandemu: " + std::string(sh) + " is refused on this board (NANDEMU_REFUSE)\n", r.err);
    EXPECT_EQ("ran\n", b.run({"/bin/sh", "-c", "echo ran"}, "", {"NANDEMU_REFUSE=" + dir + "/sub"}).out);
}

TEST(PassThrough, WithoutTheBoardVariableNothingIsEmulated) {
    TestBoard b;
    std::string cmd = "env -u NANDEMU_BOARD mtdpoke /dev/mtd2";
    auto r = b.run({"sh", "-c", cmd});
    EXPECT_EQ("open -> -1 No such file or directory\n", r.out);
}

}  // namespace
