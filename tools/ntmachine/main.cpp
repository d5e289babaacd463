// ntmachine: makes and runs emulated NT machines. `ntmachine help` lists the
// commands; `ntmachine COMMAND --help` tells one of them (the table below
// is the one source of both, and man/ntmachine.1 says the same at length).
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tool.h"

namespace {

struct Command {
    const char *name;
    int (*run)(const std::vector<std::string> &);
    const char *synopsis;  // the arguments after the command's name
    const char *summary;   // one line
    const char *details;   // the options and what the command does
};

int cmd_help(const std::vector<std::string> &args);

const Command kCommands[] = {
    {"create", ntm::cmd_create, "DIR", "make a new machine folder (registry hives, drives file, system32 links)",
     "DIR must not exist or be an empty folder. The SYSTEM hive holds a BootExecute value running the\n"
     "disk checker and an empty PagingFiles value; system32 links to the built boot-time programs.\n"},
    {"attach", ntm::cmd_attach, "DIR X: image PATH[@OFFSET] | DIR X: folder PATH",
     "attach a drive: a volume in an image file or block device, or a host folder",
     "image: an image file or a block device (/dev/sdXN, /dev/loopN); @OFFSET (bytes, a multiple of\n"
     "512) places the volume inside a whole-disk image. folder: a host folder acting as a volume, for\n"
     "log files. A volume the host has mounted is refused when it is used.\n"},
    {"pagefile", ntm::cmd_pagefile, "DIR X: NAME MIN MAX", "register a paging file X:\\NAME of MIN to MAX megabytes",
     "Adds (or replaces) the PagingFiles entry and creates the file at its minimum size when it does\n"
     "not exist.\n"},
    {"schedule", ntm::cmd_schedule, "DIR X: [KEYWORD...]", "schedule a boot-time run on drive X:",
     "Appends the program's BootExecute entry (DOZUZORO for NTFS, ZIRIZUD for FAT) with the keywords\n"
     "(FILES=FULL, DIRS=NONE, EX=PATTERN,..., LOG=A:\\NAME, LEV=N, ...) and puts Defragme.dat in the\n"
     "volume's root. The keywords are also kept in DIR/runs for frag --why.\n"},
    {"boot", ntm::cmd_boot, "DIR [--fast] [--max-boots N]", "boot the machine, playing the Session Manager",
     "Runs every BootExecute entry from system32 and boots again while a program asks for a reboot\n"
     "(at most N boots, default 8).\n"
     "  --fast          the programs do not wait (NT_TIME_SCALE=0)\n"
     "  --max-boots N   stop after N boots\n"},
    {"frag", ntm::cmd_frag, "DIR X: [--json] [--worst N] [--why [--run KEYWORDS]]",
     "the fragmentation of drive X:, counted without the programs",
     "Reads the volume with libntfs-3g (NTFS) or the machine's FAT driver (FAT).\n"
     "  --json            the counts as JSON, with the clusters of each map class\n"
     "  --worst N         list the N most fragmented files (default 10)\n"
     "  --why             every file and directory still fragmented, with the reason the program\n"
     "                    leaves it and whether that is a limit of the volume, of the program or\n"
     "                    of the run's options\n"
     "  --run KEYWORDS    the run's keywords for --why (default: those of the last run scheduled\n"
     "                    on the drive, kept in DIR/runs)\n"},
    {"map", ntm::cmd_map, "DIR X: --png FILE [--width N]", "a picture of drive X:, one cell per block of clusters",
     "Colours each cell by what most of its clusters hold: free, MFT zone, system records 0-15, MFT,\n"
     "directories, contiguous and fragmented files, paging file, unmovable files, clusters in use that\n"
     "no file holds. A title gives the drive, file system, cluster size and counts; a legend the\n"
     "clusters of each colour.\n"
     "  --png FILE   where the picture goes (PNG)\n"
     "  --width N    its width in pixels (320 to 8192, default 1024)\n"},
    {"demo", ntm::cmd_demo, "DIR [--run] [--seed N]", "a demo machine with fragmented NTFS and FAT32 volumes",
     "Makes C: (NTFS) and D: (FAT32) filled with fragmented files and A: (a log folder), and writes\n"
     "maps of both drives to DIR/maps. With --run: schedules FILES=FULL runs on both, boots, shows\n"
     "the fragmentation before and after, writes the after maps and checks the volumes.\n"
     "  --run      run the boot-time programs\n"
     "  --seed N   another file set\n"},
    {"help", cmd_help, "[COMMAND]", "list the commands, or tell one", ""},
};

const Command *find(const std::string &name) {
    for (const Command &c : kCommands)
        if (name == c.name) return &c;
    return nullptr;
}

void list(FILE *out) {
    std::fputs("usage: ntmachine COMMAND ARGUMENTS  (ntmachine COMMAND --help tells one)\n", out);
    for (const Command &c : kCommands) std::fprintf(out, "  %-9s %s\n", c.name, c.summary);
}

void tell(const Command &c) {
    std::printf("usage: ntmachine %s %s\n%s.\n", c.name, c.synopsis, c.summary);
    if (*c.details) std::printf("\n%s", c.details);
}

int cmd_help(const std::vector<std::string> &args) {
    if (args.empty()) {
        list(stdout);
        return 0;
    }
    const Command *c = find(args[0]);
    if (!c) throw ntm::Failure("help: no command \"" + args[0] + "\" (ntmachine help lists them)");
    tell(*c);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        list(stderr);
        return 2;
    }
    std::string command = argv[1];
    if (command == "--help" || command == "-h") command = "help";
    std::vector<std::string> args(argv + 2, argv + argc);
    const Command *c = find(command);
    if (!c) {
        std::fprintf(stderr, "ntmachine: unknown command \"%s\"\n", command.c_str());
        list(stderr);
        return 2;
    }
    for (const std::string &a : args)
        if (a == "--help" || a == "-h") {
            tell(*c);
            return 0;
        }
    try {
        return c->run(args);
    } catch (const std::exception &e) {
        std::fflush(stdout);
        std::fprintf(stderr, "ntmachine: error: %s\n", e.what());
        return 1;
    }
}
