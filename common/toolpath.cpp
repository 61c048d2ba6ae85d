#include "toolpath.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace fwtools {

namespace {

// The folder holding the running program, symbolic links resolved; empty
// when /proc/self/exe cannot be read.
std::string programFolder() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof path)
        return "";
    const std::string exe(path, static_cast<size_t>(n));
    return exe.substr(0, exe.rfind('/'));
}

bool isFolder(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// What the shell searches when PATH is unset or empty; an empty entry
// would mean the current folder.
std::string searchPath() {
    const char* path = getenv("PATH");
    if (path && *path)
        return path;
    std::vector<char> fallback(confstr(_CS_PATH, nullptr, 0) + 1);
    confstr(_CS_PATH, fallback.data(), fallback.size());
    return fallback.data();
}

}  // namespace

std::string toolFolder() {
    const std::string own = programFolder();
    return own.empty() ? FW_TOOLS_INSTALLED : own + "/" FW_TOOLS_FROM_PROGRAMS;
}

bool putToolsFirstOnPath(const char* program, bool withOwnFolder) {
    const std::string folder = toolFolder(), own = withOwnFolder ? programFolder() : "";
    char real[PATH_MAX];
    if (!realpath(folder.c_str(), real) || !isFolder(real)) {
        fprintf(stderr, "%s: no tools folder %s: the MTD tools on PATH run\n", program, folder.c_str());
        return false;
    }
    const std::string first = std::string(real) + ":" + (own.empty() ? "" : own + ":");
    return setenv("PATH", (first + searchPath()).c_str(), 1) == 0;
}

}  // namespace fwtools
