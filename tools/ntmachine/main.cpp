// ntmachine: makes and runs emulated NT machines (see usage()).
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tool.h"

namespace {

void usage(FILE *out) {
    std::fputs("usage: ntmachine COMMAND DIR ...\n"
               "  create DIR                         a new machine folder (hives, drives, system32)\n"
               "  attach DIR X: image PATH[@OFFSET]  a volume in an image file or block device\n"
               "  attach DIR X: folder PATH          a host folder acting as a volume\n"
               "  pagefile DIR X: NAME MIN MAX       register a paging file X:\\NAME (sizes in MB)\n"
               "  schedule DIR X: [KEYWORD...]       schedule a boot-time run on drive X:\n"
               "  boot DIR [--fast] [--max-boots N]  boot the machine (--fast: no waiting)\n"
               "  frag DIR X: [--json] [--worst N]   the fragmentation of drive X:\n"
               "  demo DIR [--run] [--seed N]        a demo machine with fragmented NTFS and FAT32 volumes\n",
               out);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        usage(argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    try {
        if (command == "create") return ntm::cmd_create(args);
        if (command == "attach") return ntm::cmd_attach(args);
        if (command == "pagefile") return ntm::cmd_pagefile(args);
        if (command == "schedule") return ntm::cmd_schedule(args);
        if (command == "boot") return ntm::cmd_boot(args);
        if (command == "frag") return ntm::cmd_frag(args);
        if (command == "demo") return ntm::cmd_demo(args);
        std::fprintf(stderr, "ntmachine: unknown command \"%s\"\n", command.c_str());
        usage(stderr);
        return 2;
    } catch (const ntm::Failure &e) {
        std::fflush(stdout);
        std::fprintf(stderr, "ntmachine: error: %s\n", e.what());
        return 1;
    } catch (const std::exception &e) {
        std::fflush(stdout);
        std::fprintf(stderr, "ntmachine: error: %s\n", e.what());
        return 1;
    }
}
