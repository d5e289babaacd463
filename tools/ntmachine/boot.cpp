// The Session Manager: runs the BootExecute entries of the machine at each
// boot, and boots again when a program asks for a reboot.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <ntp/host.h>
#include "tool.h"

namespace fs = std::filesystem;

namespace ntm {

namespace {

constexpr int kDefaultMaxBoots = 8;

std::string lower(std::string s) {
    for (auto &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The program a BootExecute entry names, looked up in system32 without
// regard to case (a trailing ".exe" may be given or not). Empty when the
// machine has no such program; `why` then says so.
std::string find_program(const Machine &m, const std::string &token, std::string *why) {
    std::string want = lower(token);
    if (want.size() > 4 && want.compare(want.size() - 4, 4, ".exe") == 0) want.erase(want.size() - 4);
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(m.path("system32"), ec)) {
        std::string name = lower(e.path().filename().string());
        if (name != want && name != want + ".exe") continue;
        if (!fs::exists(e.path(), ec)) {
            *why = format("system32/%s points to %s, which does not exist", e.path().filename().c_str(),
                          fs::read_symlink(e.path(), ec).c_str());
            return {};
        }
        if (!fs::is_regular_file(e.path(), ec) || ::access(e.path().c_str(), X_OK) != 0) {
            *why = format("system32/%s is not a program", e.path().filename().c_str());
            return {};
        }
        return e.path().string();
    }
    *why = format("no program \"%s\" in system32", token.c_str());
    return {};
}

// Runs one entry's program as the Session Manager would: the whole entry is
// its command line. Returns the wait status.
int run_program(const Machine &m, const std::string &program, const std::vector<std::string> &words,
                const std::string &entry, bool fast) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) throw Failure(format("cannot start %s: %s", program.c_str(), std::strerror(errno)));
    if (pid == 0) {
        setenv("NT_MACHINE", m.dir.c_str(), 1);
        setenv("NT_COMMAND_LINE", entry.c_str(), 1);
        if (fast) setenv("NT_TIME_SCALE", "0", 1);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(program.c_str()));
        for (size_t i = 1; i < words.size(); ++i) argv.push_back(const_cast<char *>(words[i].c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        std::fprintf(stderr, "ntmachine: cannot start %s: %s\n", program.c_str(), std::strerror(errno));
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) throw Failure(format("lost %s: %s", program.c_str(), std::strerror(errno)));
    }
    return status;
}

// Reads and removes the machine's shutdown record; empty when there is none.
std::string take_shutdown_record(const Machine &m) {
    std::string path = m.path(ntp::kRebootFile);
    std::ifstream in(path);
    if (!in) return {};
    std::string word;
    std::getline(in, word);
    in.close();
    std::remove(path.c_str());
    return word.empty() ? std::string("reboot") : word;
}

void rule() { std::printf("%s\n", std::string(72, '=').c_str()); }

}  // namespace

BootSummary boot_machine(const std::string &dir, bool fast, int maxBoots) {
    Machine m = Machine::open(dir);
    BootSummary sum;
    std::string stale = take_shutdown_record(m);
    if (!stale.empty()) std::printf("(an old shutdown record \"%s\" was removed before booting)\n", stale.c_str());
    int reboots = 0;

    for (int boot = 1; boot <= maxBoots; ++boot) {
        sum.boots = boot;
        rule();
        std::printf(" Boot %d of machine %s%s\n", boot, m.dir.c_str(), fast ? "  (fast: no waiting)" : "");
        rule();
        // Read afresh at every boot: the programs change it.
        std::vector<std::u16string> entries = read_multi_sz(kSessionManagerKey, u"BootExecute");
        std::printf("BootExecute: %zu entr%s\n", entries.size(), entries.size() == 1 ? "y" : "ies");
        std::fflush(stdout);

        bool reboot = false;
        for (const auto &e : entries) {
            std::string entry = ntp::to_utf8(e);
            std::vector<std::string> words = split_blanks(entry);
            if (words.empty()) continue;
            std::string why;
            std::string program = find_program(m, words[0], &why);
            if (program.empty()) {
                std::printf("[skipped] %s  (%s)\n", entry.c_str(), why.c_str());
                ++sum.skipped;
                continue;
            }
            std::printf("[running] %s\n", entry.c_str());
            int status = run_program(m, program, words, entry, fast);
            ++sum.programs_run;
            std::string record = take_shutdown_record(m);
            if (WIFSIGNALED(status)) {
                std::printf("[ended]   %s was stopped by signal %d\n", words[0].c_str(), WTERMSIG(status));
                ++sum.failed;
            } else if (WEXITSTATUS(status) != 0) {
                std::printf("[ended]   %s ended with exit status %d\n", words[0].c_str(), WEXITSTATUS(status));
                ++sum.failed;
            }
            if (record == "reboot") {
                std::printf("[reboot]  %s asked for a reboot\n", words[0].c_str());
                reboot = true;
                break;  // the machine restarts at once: later entries do not run
            }
            if (!record.empty()) {
                std::printf("[halt]    %s shut the machine down (%s)\n", words[0].c_str(), record.c_str());
                sum.halted = true;
                break;
            }
        }
        if (sum.halted) break;
        if (!reboot) {
            sum.completed = true;
            std::printf("Boot %d complete: Windows goes on starting.\n", boot);
            break;
        }
        ++reboots;
    }

    sum.line =
        format("ntmachine: %d boot%s (%d reboot%s asked for); programs run %d, skipped %d, failed %d; ", sum.boots,
               sum.boots == 1 ? "" : "s", reboots, reboots == 1 ? "" : "s", sum.programs_run, sum.skipped, sum.failed);
    if (sum.completed)
        sum.line += "the machine is up";
    else if (sum.halted)
        sum.line += "the machine was shut down";
    else
        sum.line += format("stopped after %d boots: the programs keep asking for reboots", sum.boots);
    std::printf("%s\n", sum.line.c_str());
    std::fflush(stdout);
    return sum;
}

int cmd_boot(const std::vector<std::string> &args) {
    std::string dir;
    bool fast = false;
    int maxBoots = kDefaultMaxBoots;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--fast")
            fast = true;
        else if (args[i] == "--max-boots" && i + 1 < args.size()) {
            maxBoots = std::atoi(args[++i].c_str());
            if (maxBoots < 1 || maxBoots > 1000) throw Failure("--max-boots takes a number from 1 to 1000");
        } else if (dir.empty() && args[i].rfind("--", 0) != 0)
            dir = args[i];
        else
            throw Failure(format("boot: unexpected argument \"%s\"", args[i].c_str()));
    }
    if (dir.empty()) throw Failure("usage: ntmachine boot DIR [--fast] [--max-boots N]");
    BootSummary sum = boot_machine(dir, fast, maxBoots);
    return sum.completed || sum.halted ? 0 : 1;
}

}  // namespace ntm
