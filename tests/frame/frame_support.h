// Helpers of the frame's tests: machine folders made by hand (drives file,
// SYSTEM hive with the keys the programs read), the program's main run
// in-process or in a child process, and screen capture.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "frame.h"

namespace frametest {

// A fresh folder under /tmp, removed by the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// A machine folder: drives file, config/SYSTEM with Select\Current = 1,
// ControlSet001\Control\Session Manager (BootExecute) and its Memory
// Management key (PagingFiles), and SYSTEM\MountedDevices. NT_MACHINE points
// at it while it lives.
class Machine {
public:
    explicit Machine(const std::string &drives = "A: folder logs\n", bool mountedDevices = true);
    ~Machine();
    const std::string &root() const { return dir_.path(); }
    bool ok() const { return ok_; }

    // Host path of a file inside the machine folder.
    std::string Path(const std::string &relative) const { return root() + "/" + relative; }
    void WriteFile(const std::string &relative, const std::string &bytes) const;
    std::string ReadFile(const std::string &relative) const;
    bool Exists(const std::string &relative) const;
    void MakeFolder(const std::string &relative) const;

    // Registry values below \Registry\Machine\SYSTEM\ControlSet001\Control.
    bool SetValue(const std::u16string &key, const std::u16string &name, ULONG type, const void *data,
                  ULONG bytes) const;
    bool SetMultiSz(const std::u16string &key, const std::u16string &name,
                    const std::vector<std::u16string> &strings) const;
    // The raw data of a value; false when it cannot be read.
    bool GetValue(const std::u16string &key, const std::u16string &name, ULONG *type, std::string *data) const;

private:
    TempDir dir_;
    bool ok_ = false;
};

// Multi-string data as Windows stores it: each string and its terminator,
// then one more terminator.
std::string MultiSzBytes(const std::vector<std::u16string> &strings);
// UTF-16LE bytes of a text.
std::string Utf16Bytes(const std::u16string &text);

// Runs fn and returns what it showed on the screen (UTF-8).
std::string Screen(const std::function<void()> &fn);

// Gives the globals that a new process would start with the values they
// have there (the ones main itself does not reset).
void ResetProcessGlobals();

// Runs the program's main in this process and returns its screen output.
// For paths that never reach the reboot.
std::string RunMain(const std::vector<std::string> &args, int *result = nullptr);

// What a run in a child process left behind.
struct ChildRun {
    int exitCode = -1;      // -1 when it did not exit normally
    bool timedOut = false;  // killed after the time limit
    std::string screen;     // standard output
    double seconds = 0;     // how long the child ran
};
// Runs fn in a child process (standard output captured) with a time limit.
ChildRun RunInChild(const std::function<void()> &fn, int seconds = 60);
// Runs main in a child process with these arguments; its waits are scaled
// by timeScale (NT_TIME_SCALE).
ChildRun RunMainInChild(const std::vector<std::string> &args, int seconds = 60, const char *timeScale = "0");

bool Contains(const std::string &text, const std::string &part);
size_t CountOf(const std::string &text, const std::string &part);

}  // namespace frametest
