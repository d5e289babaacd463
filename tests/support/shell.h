// Host commands for the tests (mkntfs, ntfsinfo, hivexget, the machine
// tool, ...): run through the shell with their output captured.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace testshell {

struct Result {
    int code = -1;    // exit status; -1 when the command could not run or was killed
    std::string out;  // standard output and error together
};

// Runs a shell command with both its output streams captured.
inline Result Run(const std::string &command) {
    Result r;
    FILE *p = popen((command + " 2>&1").c_str(), "r");
    if (!p) return r;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) r.out.append(buffer, n);
    int status = pclose(p);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// The text quoted for the shell, single quotes inside it included.
inline std::string Quote(const std::string &text) {
    std::string q = "'";
    for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

}  // namespace testshell
