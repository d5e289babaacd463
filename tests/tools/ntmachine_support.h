// Helpers of the machine tool's tests: scratch folders and running the
// built ntmachine (and the host's tools) with their output captured.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "shell.h"

namespace ntmtest {

namespace fs = std::filesystem;

class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = (fs::temp_directory_path() / "ntmachine-XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path &path() const { return path_; }
    std::string operator/(const std::string &name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

inline std::string quote(const std::string &s) { return testshell::Quote(s); }

using Result = testshell::Result;

// Runs a shell command with its output (both streams) captured.
inline Result run(const std::string &command) { return testshell::Run(command); }

// Runs the built ntmachine with the given (already quoted) arguments.
inline Result ntmachine(const std::string &args) { return run(quote(NTMACHINE) + " " + args); }

inline std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::string hivexget(const fs::path &hive, const std::string &key, const std::string &value = "") {
    return run("hivexget " + quote(hive.string()) + " " + quote(key) + (value.empty() ? "" : " " + quote(value))).out;
}

inline bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// Every file under a folder with its bytes: to show that a refusal changed nothing.
inline std::string snapshot(const fs::path &dir) {
    std::string all;
    for (const auto &e : fs::recursive_directory_iterator(dir)) {
        all += e.path().string() + "\n";
        if (e.is_symlink())
            all += "-> " + fs::read_symlink(e.path()).string() + "\n";
        else if (e.is_regular_file())
            all += read_file(e.path()) + "\n";
    }
    return all;
}

}  // namespace ntmtest
