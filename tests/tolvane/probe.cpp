// tolvane_probe: runs single operations of the boot-set manager's object on
// the board, for what the command line cannot show: open descriptors after
// each operation, a partition named by a pointer other than its global, and
// one partition copy on its own.
//
//   tolvane_probe fds                 "NAME BEFORE AFTER" per operation
//   tolvane_probe identity            "text|global RESULT SUM KERNELSUM"
//   tolvane_probe copy DST SRC BLOCKS "copy RESULT"
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include <fcntl.h>

#include "tolvane.h"

namespace {

int openDescriptors() {
    int n = 0;
    for (int fd = 0; fd < 1024; ++fd)
        n += fcntl(fd, F_GETFD) != -1;
    return n;
}

// The first run opens what the emulator keeps open for a partition; the
// second shows what the operation itself leaves open.
void measure(const char* name, const std::function<void()>& operation) {
    operation();
    int before = openDescriptors();
    operation();
    int after = openDescriptors();
    printf("%s %d %d\n", name, before, after);
    fflush(stdout);
}

int fds(Tolvane& t) {
    static const char missing[] = "/dev/mtd99";
    measure("readBootFlag", [&] { t.readBootFlag(); });
    measure("writeBootFlag", [&] { t.writeBootFlag(1); });
    measure("writeTolvane", [&] { t.writeTolvane(MTD_TABLE1); });
    measure("readTolvane", [&] { t.readTolvane(MTD_TABLE1); });
    measure("write", [&] { t.write(); });
    measure("readFlash", [&] { t.readFlash(MTD_S1L1, S1L_SIZE); });
    measure("copy", [&] { t.copyFlashPatition(MTD_S1L2, MTD_S1L1, S1L_SIZE); });
    measure("copyNoSource", [&] { t.copyFlashPatition(MTD_S1L2, missing, S1L_SIZE); });
    measure("copyNoDestination", [&] { t.copyFlashPatition(missing, MTD_S1L1, S1L_SIZE); });
    measure("copyPastTheEnd", [&] { t.copyFlashPatition("/dev/mtd4", MTD_APP1, 5); });
    measure("readTolvaneMissing", [&] { t.readTolvane(missing); });
    measure("writeTolvaneMissing", [&] { t.writeTolvane(missing); });
    return 0;
}

int identity(Tolvane& t) {
    char text[16];
    strcpy(text, MTD_KERNEL1);   // the same path, another pointer
    bool ok = t.readFlash(text, 1);
    printf("text %d %x %x\n", ok, t.getAddSum(), t.getTolvaneInfo().kernelSum);
    ok = t.readFlash(MTD_KERNEL1, 1);
    printf("global %d %x %x\n", ok, t.getAddSum(), t.getTolvaneInfo().kernelSum);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Tolvane t;
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "fds")
        return fds(t);
    if (what == "identity")
        return identity(t);
    if (what == "copy" && argc == 5) {
        bool ok = t.copyFlashPatition(argv[2], argv[3], static_cast<uint32_t>(strtoul(argv[4], nullptr, 0)));
        printf("copy %d\n", ok);
        return 0;
    }
    fprintf(stderr, "usage: tolvane_probe fds | identity | copy DST SRC BLOCKS\n");
    return 2;
}
