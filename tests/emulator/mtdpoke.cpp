// mtdpoke: makes MTD calls on one device and prints every answer, one line
// each, so tests can hold the emulator to the kernel's behaviour.
//   mtdpoke [ro:]DEV [info] [bad OFF] [erase START LEN] [read OFF LEN] [write OFF LEN BYTE] [ioctl NR]
#include <errno.h>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>
#include <vector>

static void answer(const char* what, long long ret) {
    if (ret < 0)
        printf("%s -> -1 %s\n", what, strerror(errno));
    else
        printf("%s -> %lld\n", what, ret);
}

int main(int argc, char** argv) {
    if (argc < 2)
        return 2;
    // "ro:/dev/mtdN" opens the device read-only.
    bool readOnly = strncmp(argv[1], "ro:", 3) == 0;
    int fd = open(argv[1] + (readOnly ? 3 : 0), readOnly ? O_RDONLY : O_RDWR);
    if (fd < 0) {
        printf("open -> -1 %s\n", strerror(errno));
        return 1;
    }
    for (int i = 2; i < argc; ++i) {
        std::string cmd = argv[i];
        auto arg = [&]() { return i + 1 < argc ? strtoull(argv[++i], nullptr, 0) : 0ULL; };
        if (cmd == "info") {
            mtd_info_user mi{};
            int r = ioctl(fd, MEMGETINFO, &mi);
            if (r == 0)
                printf("info -> type %u size %u erasesize %u writesize %u oobsize %u\n", mi.type, mi.size,
                       mi.erasesize, mi.writesize, mi.oobsize);
            else
                answer("info", r);
        } else if (cmd == "bad") {
            loff_t off = static_cast<loff_t>(arg());
            answer("bad", ioctl(fd, MEMGETBADBLOCK, &off));
        } else if (cmd == "erase") {
            erase_info_user e;
            e.start = static_cast<uint32_t>(arg());
            e.length = static_cast<uint32_t>(arg());
            answer("erase", ioctl(fd, MEMERASE, &e));
        } else if (cmd == "read") {
            off_t off = static_cast<off_t>(arg());
            std::vector<unsigned char> buf(arg());
            ssize_t n = pread(fd, buf.data(), buf.size(), off);
            answer("read", n);
            for (ssize_t k = 0; k < n && k < 8; ++k)
                printf("%02x%s", buf[k], k + 1 < n && k < 7 ? " " : "\n");
        } else if (cmd == "write") {
            off_t off = static_cast<off_t>(arg());
            size_t len = arg();
            std::vector<unsigned char> buf(len, static_cast<unsigned char>(arg()));
            answer("write", pwrite(fd, buf.data(), buf.size(), off));
        } else if (cmd == "ioctl") {
            int dummy[64] = {};
            answer("ioctl", ioctl(fd, static_cast<unsigned long>(arg()), dummy));
        } else {
            fprintf(stderr, "mtdpoke: unknown command %s\n", argv[i]);
            return 2;
        }
    }
    close(fd);
    return 0;
}
