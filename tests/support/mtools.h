// mtools as the tests call it: the kit's settings, and every directory
// listing of a FAT image as mdir gives it.
#pragma once

#include <sstream>
#include <string>

#include "shell.h"

namespace mtools {

// An mtools command line with the settings the kit uses (UTF-8 names, no
// geometry check, no user configuration).
inline std::string Command(const std::string &command) {
    return "LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null " + command;
}

// Every directory listing of the volume (mdir -/ -a), without the lines of
// free space, which a move or lost clusters change.
inline std::string Listing(const std::string &image) {
    testshell::Result r = testshell::Run(Command("mdir -/ -a -i " + testshell::Quote(image) + " ::/"));
    std::string out, line;
    std::istringstream lines(r.out);
    while (std::getline(lines, line))
        if (line.find("bytes free") == std::string::npos) out += line + "\n";
    return out;
}

}  // namespace mtools
