// Helpers of the platform core tests: scratch folders, small machines, and
// running a piece of code in a child process (for calls that end the process).
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "internal.h"

namespace coretest {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed afterwards.
class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = (fs::temp_directory_path() / "ntcore-XXXXXX").string();
        char *made = mkdtemp(pattern.data());
        if (!made) std::abort();
        path_ = made;
    }
    ~ScratchDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path &path() const { return path_; }
    std::string str() const { return path_.string(); }

private:
    fs::path path_;
};

inline void write_file(const fs::path &path, const std::string &text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A machine folder with the given drives file and empty hives.
inline void make_machine(const fs::path &dir, const std::string &drives = "") {
    write_file(dir / "drives", drives);
    fs::create_directories(dir / "config");
    std::string error;
    ASSERT_TRUE(ntp::create_empty_hive((dir / "config" / "SYSTEM").string(), &error)) << error;
    ASSERT_TRUE(ntp::create_empty_hive((dir / "config" / "SOFTWARE").string(), &error)) << error;
}

// Sets an environment variable for the life of the object.
class EnvVar {
public:
    EnvVar(const char *name, const std::string &value) : name_(name) {
        if (const char *old = std::getenv(name)) had_ = true, old_ = old;
        setenv(name, value.c_str(), 1);
    }
    ~EnvVar() {
        if (had_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char *name_;
    bool had_ = false;
    std::string old_;
};

// Runs `body` in a child process; returns the raw wait status. The child
// ends with _exit(111) if the body returns.
inline int run_in_child(const std::function<void()> &body) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        body();
        std::fflush(nullptr);
        _exit(111);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

// Runs a shell command; returns its standard output (exit status in *code).
inline std::string run_command(const std::string &command, int *code = nullptr) {
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int status = pclose(p);
    if (code) *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

inline std::string quote(const std::string &s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

}  // namespace coretest
