// `ntmachine frag --why`: why a file stays fragmented. The reasons follow
// the boot-time programs' own rules (which keywords they accept, which
// files their stages pass over, where they look for free space), applied to
// the volume as the counters read it. The rules are one table per file
// system in why.cpp, in the order the programs apply them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "frag.h"

namespace ntm::why {

// The run options that decide what a run does with a file, from the
// keywords of a BootExecute entry (after the drive).
struct RunOptions {
    std::string keywords;    // as given, blank-separated
    std::string refused;     // the keyword that makes the program refuse the run; empty when none
    bool move_files = true;  // not NOMOVE
    bool dfrg_bins = false;  // DFRGBINS (or implied)
    bool dfrg_shel = false;  // DFRGSHEL (FAT: always)
    int dirs = -1, files = -1, page = -1, mft = -1;  // as the programs keep them, after the defaults
    bool files_given = false;                        // FILES=FULL or FILES=LIST itself
    std::vector<std::string> excludes;               // EX= patterns, upper case
    std::vector<uint64_t> file_list;                 // FILEX= records
};
RunOptions parse_run(const std::string &keywords, bool ntfs);

// The programs' wildcard match: '*' and '?', without regard to letter case,
// a last literal part anchored at the end of the text, no backtracking.
bool wild_match(const std::string &text, const std::string &pattern);

// Whose limit a reason is.
enum class Limit { Volume, Program, Options, Unknown };
// "volume", "program", "options", "none" (nothing keeps the program from
// moving it: before a run, a file the run will treat).
const char *limit_name(Limit l);

struct Verdict {
    const frag::Item *item = nullptr;
    std::string key;  // the table's name of the reason ("sparse", "no-room", ...)
    Limit limit = Limit::Unknown;
    std::string text;  // the reason for a person
};

// Every item of the report in more than one fragment, with its reason.
std::vector<Verdict> explain(const frag::Report &r, char letter, const RunOptions &options);

// The verdicts as text (a heading naming the run) and as a JSON array.
std::string to_text(const std::vector<Verdict> &v, const frag::Report &r, char letter, const RunOptions &o,
                    const std::string &source);
std::string to_json(const std::vector<Verdict> &v);

}  // namespace ntm::why
