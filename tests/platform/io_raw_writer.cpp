// A tiny native program for the tests: opens the volume of a drive and
// writes sectors 0..count*per-1 through NtWriteFile, `per` sectors a write
// (1 when not given), sector i filled with the byte i+1, completing each
// write by waiting on the handle.
//   io_raw_writer <letter> <count> [per]
// Exit codes: 0 done, 2 the volume did not open, 3 a write failed, 64 usage.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <nt/nt.h>

int main(int argc, char **argv) {
    if ((argc != 3 && argc != 4) || std::strlen(argv[1]) != 1) {
        std::fprintf(stderr, "usage: io_raw_writer <drive letter> <write count> [sectors per write]\n");
        return 64;
    }
    const int count = std::atoi(argv[2]);
    const int per = argc == 4 ? std::atoi(argv[3]) : 1;
    if (per < 1 || per > 16) return 64;
    std::u16string name = u"\\??\\";
    name += static_cast<char16_t>(argv[1][0]);
    name += u':';
    UNICODE_STRING us{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2), name.data()};
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &us, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE volume = nullptr;
    IO_STATUS_BLOCK iosb;
    NTSTATUS status =
        NtCreateFile(&volume, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &oa, &iosb, nullptr, 0,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_NO_INTERMEDIATE_BUFFERING, nullptr, 0);
    if (!NT_SUCCESS(status)) {
        std::printf("open failed 0x%08X\n", static_cast<unsigned>(status));
        return 2;
    }
    alignas(512) static unsigned char sectors[16 * 512];
    for (int i = 0; i < count; ++i) {
        for (int s = 0; s < per; ++s) std::memset(sectors + s * 512, i * per + s + 1, 512);
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(i) * per * 512;
        status =
            NtWriteFile(volume, nullptr, nullptr, nullptr, &iosb, sectors, static_cast<ULONG>(per * 512), &at, nullptr);
        if (status == STATUS_PENDING) {
            status = NtWaitForSingleObject(volume, FALSE, nullptr);
            if (NT_SUCCESS(status)) status = iosb.Status;
        }
        if (!NT_SUCCESS(status)) {
            std::printf("write %d failed 0x%08X\n", i + 1, static_cast<unsigned>(status));
            return 3;
        }
        std::printf(per == 1 ? "wrote sector %d\n" : "wrote write %d\n", i);
    }
    NtClose(volume);
    return 0;
}
