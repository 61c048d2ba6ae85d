// addsum: the flash verifier's file checksum over one file, run on its own
// so its throughput and instruction count can be measured. It calls the
// checksum of the verifier's own file library (the same object code the
// program links), prints the library's lines and then "checksum N".
#include <cstdio>
#include <string>

#include "fileIo.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        fputs("usage: addsum FILE\n", stderr);
        return 2;
    }
    FileOperation files;
    int sum = files.calFileAddsum(argv[1]);
    printf("checksum %d\n", sum);
    return 0;
}
