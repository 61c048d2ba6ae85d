// The folder of the package's own MTD tools, found from the running program,
// so that a program starting them through the shell gets these tools and not
// whatever another package put first on the search path.
#pragma once

#include <string>

namespace fwtools {

// The tools folder of the installation (or build tree) the running program
// belongs to, where it lies from the program's own folder once installed
// (../libexec/fwintegrity from sbin). The program is found through
// /proc/self/exe; when that cannot be read (no /proc yet), the answer is the
// folder the package installs its tools into.
std::string toolFolder();

// Puts toolFolder() first on PATH, ahead of every other package's tools,
// and with withOwnFolder the program's own folder right after it, for a
// program that starts its sibling programs. When there is no tools folder,
// PATH stays as it is and one line on standard error, starting with
// `program`, says so; false then.
bool putToolsFirstOnPath(const char* program, bool withOwnFolder = false);

}  // namespace fwtools
