// The Linux process entry of the native programs: builds the PEB the way the
// NT loader would and hands it to the program's NtProcessStartup.
//
//   NT_COMMAND_LINE  the whole command line, as the Session Manager gives it
//                    (the machine tool passes the BootExecute entry here);
//                    without it, the Linux arguments joined by single blanks
//   NT_DEBUG_FLAGS   the DebugFlags of the process parameters (default 0)
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "internal.h"

namespace {

ULONG debug_flags_from_environment() {
    const char *text = std::getenv("NT_DEBUG_FLAGS");
    if (!text || !*text) return 0;
    char *end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text, &end, 0);
    if (errno || *end != '\0' || value > 0xFFFFFFFFull) {
        ntp::warn("NT_DEBUG_FLAGS=\"%s\" is not a 32-bit number; using 0", text);
        return 0;
    }
    return static_cast<ULONG>(value);
}

}  // namespace

int main(int argc, char **argv) {
    std::string image = argc > 0 ? argv[0] : "";
    std::string line;
    if (const char *given = std::getenv("NT_COMMAND_LINE")) {
        line = given;
    } else {
        for (int i = 0; i < argc; ++i) {
            if (i) line += ' ';
            line += argv[i];
        }
    }
    ntp::set_process_parameters(ntp::to_utf16(image), ntp::to_utf16(line), debug_flags_from_environment());
    NtProcessStartup(NtCurrentPeb());
    std::fflush(nullptr);
    return 0;
}
