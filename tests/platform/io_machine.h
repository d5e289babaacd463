// A throw-away machine for the file and volume tests: a temporary folder
// with a drives file and a placeholder SYSTEM hive (the registry is not
// used here), named by NT_MACHINE while the object lives.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <nt/nt.h>

namespace iotest {

inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline std::string quote(const std::string &s) { return "'" + s + "'"; }

// Exit status and output (stderr folded in) of a host command.
struct Command {
    int status = -1;
    std::string output;
};

inline Command run(const std::string &command) {
    Command result;
    FILE *p = ::popen((command + " 2>&1").c_str(), "r");
    if (!p) return result;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) result.output.append(buf, n);
    int rc = ::pclose(p);
    result.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return result;
}

class TempMachine {
public:
    TempMachine() {
        std::string pattern = (std::filesystem::temp_directory_path() / "ntio_XXXXXX").string();
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back(0);
        root = ::mkdtemp(buf.data());
        std::filesystem::create_directories(root + "/config");
        write_file(root + "/config/SYSTEM", "");
        ::setenv("NT_MACHINE", root.c_str(), 1);
    }
    ~TempMachine() {
        ::unsetenv("NT_MACHINE");
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    TempMachine(const TempMachine &) = delete;
    TempMachine &operator=(const TempMachine &) = delete;

    void drives(const std::string &text) { write_file(root + "/drives", text); }
    // A zero-filled image of `bytes` bytes, relative to the machine folder.
    std::string image(const std::string &name, off_t bytes) {
        std::string path = root + "/" + name;
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(::ftruncate(fd, bytes), 0);
        ::close(fd);
        return path;
    }
    std::string folder(const std::string &name) {
        std::filesystem::create_directories(root + "/" + name);
        return root + "/" + name;
    }

    std::string root;
};

// An NT name with its counted string and object attributes.
struct NtName {
    explicit NtName(std::u16string name) : text(std::move(name)) {
        us.Buffer = text.data();
        us.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
        us.MaximumLength = us.Length;
        InitializeObjectAttributes(&oa, &us, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    }
    NtName(const NtName &) = delete;
    std::u16string text;
    UNICODE_STRING us{};
    OBJECT_ATTRIBUTES oa{};
};

struct Opened {
    NTSTATUS status = 0;
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK iosb{};
};

inline Opened nt_open(const std::u16string &name, ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE,
                      ULONG disposition = FILE_OPEN, ULONG options = 0) {
    NtName n(name);
    Opened o;
    o.handle = reinterpret_cast<HANDLE>(0x5A5A);  // junk: a failed open must clear it
    std::memset(&o.iosb, 0xCC, sizeof o.iosb);
    o.status = NtCreateFile(&o.handle, access, &n.oa, &o.iosb, nullptr, FILE_ATTRIBUTE_NORMAL,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, disposition, options, nullptr, 0);
    return o;
}

// A read or write, completed by waiting on the handle when it is pending, as
// the Win32 layer does. `pending` tells which path it took.
struct Done {
    NTSTATUS returned = 0;  // what the call returned
    NTSTATUS status = 0;    // the final status
    ULONG_PTR bytes = 0;
};

inline Done finish(HANDLE h, NTSTATUS returned, const IO_STATUS_BLOCK &iosb) {
    Done d;
    d.returned = returned;
    d.status = returned;
    if (returned == STATUS_PENDING) {
        NTSTATUS waited = NtWaitForSingleObject(h, FALSE, nullptr);
        EXPECT_EQ(waited, STATUS_SUCCESS);
        d.status = iosb.Status;
    }
    d.bytes = NT_ERROR(d.status) ? 0 : iosb.Information;
    return d;
}

inline Done nt_read(HANDLE h, void *buffer, ULONG length, LONGLONG offset) {
    IO_STATUS_BLOCK iosb;
    std::memset(&iosb, 0xCC, sizeof iosb);
    LARGE_INTEGER at;
    at.QuadPart = offset;
    NTSTATUS s = NtReadFile(h, nullptr, nullptr, nullptr, &iosb, buffer, length, &at, nullptr);
    return finish(h, s, iosb);
}

inline Done nt_write(HANDLE h, const void *buffer, ULONG length, LONGLONG offset) {
    IO_STATUS_BLOCK iosb;
    std::memset(&iosb, 0xCC, sizeof iosb);
    LARGE_INTEGER at;
    at.QuadPart = offset;
    NTSTATUS s = NtWriteFile(h, nullptr, nullptr, nullptr, &iosb, const_cast<void *>(buffer), length, &at, nullptr);
    return finish(h, s, iosb);
}

// Sector-aligned scratch memory.
struct Sectors {
    explicit Sectors(size_t bytes)
        : size(bytes), data(static_cast<unsigned char *>(std::aligned_alloc(4096, (bytes + 4095) / 4096 * 4096))) {
        std::memset(data, 0, bytes);
    }
    ~Sectors() { std::free(data); }
    Sectors(const Sectors &) = delete;
    size_t size;
    unsigned char *data;
};

// Sets an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const char *value) : name_(name) {
        if (const char *old = ::getenv(name)) {
            had_ = true;
            old_ = old;
        }
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (had_)
            ::setenv(name_, old_.c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char *name_;
    bool had_ = false;
    std::string old_;
};

}  // namespace iotest
