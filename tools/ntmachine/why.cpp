// `frag --why`: the programs' rules for leaving a file where it is, applied
// to the volume as the counters read it. kNtfsRules and kFatRules hold them
// in the order the programs apply them; the first rule that holds is the
// reason. A stage that changes what stays fragmented changes its row here.
#include "why.h"

#include <algorithm>
#include <cctype>
#include <functional>

#include "tool.h"

namespace ntm::why {

namespace {

using ull = unsigned long long;

std::string upper(std::string s) {
    for (auto &c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// ------------------------------------------------------------- keywords

// A keyword of the programs' tables: a whole word, or a prefix ending in
// '='. Keywords of one group (DIRS=, FILES=, ...) may be given once.
struct Keyword {
    const char *word;
    bool ntfs, fat;
    std::function<void(RunOptions &, const std::string &rest, bool *counted)> apply;
    int RunOptions::*group = nullptr;  // the option a second keyword of the group conflicts on
    int value = 0;
};

void set_flag(bool RunOptions::*flag, bool value, RunOptions &o) { o.*flag = value; }

const std::vector<Keyword> &keywords() {
    auto flag = [](bool RunOptions::*f, bool v) {
        return [f, v](RunOptions &o, const std::string &, bool *) { set_flag(f, v, o); };
    };
    auto nothing = [](RunOptions &, const std::string &, bool *) {};
    auto list = [](bool numbers) {
        return [numbers](RunOptions &o, const std::string &rest, bool *counted) {
            size_t at = 0;
            for (;;) {
                size_t comma = rest.find(',', at);
                std::string piece = rest.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
                if (!numbers) {
                    o.excludes.push_back(piece);
                } else if (piece.find_first_not_of("0123456789") != std::string::npos) {
                    *counted = false;  // "Error in FRS list": the token does not count
                    return;
                } else {
                    o.file_list.push_back(std::strtoull(piece.c_str(), nullptr, 10));  // empty: record 0
                }
                if (comma == std::string::npos) return;
                at = comma + 1;
            }
        };
    };
    static const std::vector<Keyword> table = {
        {"NOMOVE", true, true, flag(&RunOptions::move_files, false)},
        {"MOVEALL", true, false, flag(&RunOptions::move_files, true)},
        {"MOVEATTR", true, false, nothing},
        {"MOVEFILE", true, false, flag(&RunOptions::move_files, true)},
        {"DFRGBINS", true, true, flag(&RunOptions::dfrg_bins, true)},
        {"DFRGSHEL", true, true, flag(&RunOptions::dfrg_shel, true)},
        {"WHO", true, true, nothing},
        {"SHOWEH", true, false, nothing},
        {"DIRS=MFTZ", true, true, nothing, &RunOptions::dirs, 3},
        {"DIRS=NONE", true, true, nothing, &RunOptions::dirs, 0},
        {"DIRS=FREE", true, true, nothing, &RunOptions::dirs, 1},
        {"DIRS=MFTM", true, true, nothing, &RunOptions::dirs, 4},
        {"DIRS=ZERO", true, true, nothing, &RunOptions::dirs, 2},
        {"ENDPAUSE", true, true, nothing},
        {"FILES=FULL", true, true, nothing, &RunOptions::files, 1},
        {"FILES=NONE", true, true, nothing, &RunOptions::files, 0},
        {"FILES=LIST", true, false, nothing, &RunOptions::files, 2},
        {"PAGE=KEEP", true, true, nothing, &RunOptions::page, 0},
        {"PAGE=ZERO", true, true, nothing, &RunOptions::page, 1},
        {"PAGE=MIN", true, true, nothing, &RunOptions::page, 2},
        {"PAGE=PLACE", true, true, nothing, &RunOptions::page, 3},
        {"MFT=MIN", true, false, nothing, &RunOptions::mft, 1},
        {"MFT=NONE", true, false, nothing, &RunOptions::mft, 0},
        {"LAST50", true, false, nothing},
        {"PFFRN=", true, false, nothing},
        {"PFZONE=", true, true, nothing},
        {"KYBD=NO", true, true, nothing},
        {"EX=", true, true, list(false)},
        {"FILEX=", true, false, list(true)},
        {"LOG=", true, true,
         [](RunOptions &, const std::string &rest, bool *counted) {
             *counted = rest.empty() ||
                        (rest.size() >= 2 && std::isalpha(static_cast<unsigned char>(rest[0])) && rest[1] == ':');
         }},
        {"LEV=", true, true,
         [](RunOptions &, const std::string &rest, bool *counted) {
             *counted = rest.size() == 1 && rest[0] <= '9';  // a level of 9 or less
         }},
    };
    return table;
}

// ------------------------------------------------------------- the rules

// Everything a rule may look at.
struct Context {
    const frag::Report &r;
    const RunOptions &o;
    char letter;
    bool ntfs;
    uint64_t largest_free;          // anywhere on the volume
    uint64_t largest_outside_area;  // outside the MFT area the file stages keep clear (NTFS)
    uint64_t largest_inside_area;
};

// A rule: when it holds, the reason (its text in *text).
struct Rule {
    const char *key;
    Limit limit;
    std::function<bool(const frag::Item &, const Context &, std::string *text)> holds;
};

// The built-in exclusion patterns, in test order, and how many of them a
// run tests.
const char *const kNtfsPatterns[] = {"*BOOTSECT.DOS",  "*:\\safeboot.fs", "*:\\safeboot.csv", "*:\\safeboot.rsv",
                                     "*:\\$Extend\\*", "*ShellIconCache", "*:\\RECYCLER",     "*:\\RECYCLER\\*",
                                     "*:\\RECYCLED",   "*:\\RECYCLED\\*"};
const char *const kFatPatterns[] = {"*BOOTSECT.DOS",    "*:\\safeboot.fs", "*:\\safeboot.csv",
                                    "*:\\safeboot.rsv", "*ShellIconCache", "*:\\RECYCLER",
                                    "*:\\RECYCLER\\*",  "*:\\RECYCLED",    "*:\\RECYCLED\\*"};

size_t patterns_tested(const Context &c) {
    size_t all = c.ntfs ? 10 : 9;
    if (!c.o.dfrg_bins) return all;
    return c.o.dfrg_shel ? all - 5 : all - 4;
}

std::string full_path(const frag::Item &i, const Context &c) { return std::string(1, c.letter) + ":" + i.path; }

bool built_in_exclusion(const frag::Item &i, const Context &c, std::string *text) {
    std::string path = full_path(i, c);
    for (size_t k = 0; k < patterns_tested(c); ++k) {
        const char *pattern = c.ntfs ? kNtfsPatterns[k] : kFatPatterns[k];
        if (wild_match(path, pattern)) {
            *text = format("excluded by the built-in pattern \"%s\"", pattern);
            return true;
        }
    }
    return false;
}

bool user_exclusion(const frag::Item &i, const Context &c, std::string *text) {
    std::string path = full_path(i, c);
    for (const std::string &pattern : c.o.excludes)
        if (wild_match(path, pattern)) {
            *text = format("excluded by the run's pattern EX=%s", pattern.c_str());
            return true;
        }
    return false;
}

bool refused(const frag::Item &, const Context &c, std::string *text) {
    if (c.o.refused.empty()) return false;
    *text = format("the program refused the run: keyword \"%s\" is unrecognised or conflicting", c.o.refused.c_str());
    return true;
}

bool nomove(const frag::Item &, const Context &c, std::string *text) {
    *text = "NOMOVE: the run moves nothing";
    return !c.o.move_files;
}

std::string room_text(const frag::Item &i, const char *what, uint64_t largest) {
    return format("%sno free run long enough%s: it needs %llu clusters in one run, the largest has %llu",
                  i.compressed ? "compressed, and " : "", what, ull(i.clusters), ull(largest));
}

bool no_room(const frag::Item &i, const Context &c, std::string *text) {
    if (i.clusters <= c.largest_free) return false;
    *text = room_text(i, "", c.largest_free);
    if (c.r.free_clusters < i.clusters) *text += format(" (the volume has only %llu free)", ull(c.r.free_clusters));
    return true;
}

// The file stages keep the MFT area clear (their last resort in the MFT
// area aside, which only the first two stages take).
bool no_room_outside_mft_area(const frag::Item &i, const Context &c, std::string *text) {
    if (i.clusters <= c.largest_outside_area) return false;
    *text = room_text(i, " outside the MFT area", c.largest_outside_area) +
            format("; the MFT area, which the file stages keep clear, holds one of %llu", ull(c.largest_inside_area));
    return true;
}

bool unexplained(const frag::Item &i, const Context &c, std::string *text) {
    *text = format("nothing in the program's rules keeps it fragmented: a free run of %llu clusters would hold "
                   "its %llu",
                   ull(c.ntfs ? c.largest_outside_area : c.largest_free), ull(i.clusters));
    return true;
}

bool is_directory(const frag::Item &i) { return i.kind == frag::Item::Directory; }

// The file stages of a run: FILES=FULL or FILES=LIST, or FILES=FULL implied
// by MFT=MIN or a paging-file option until that option's own stage is done.
// In this build the MFT and placement stages finish at once, and a drive
// without a registered paging file ends the paging-file options at the start.
bool files_stages_run(const Context &c) {
    if (c.o.files == 0) return false;
    bool paging = false;
    for (const frag::Item &i : c.r.items) paging |= i.paging_file;
    bool own = c.o.files_given;
    bool byPage = c.o.page == 2 && paging;
    return own || byPage;
}

const std::vector<Rule> kNtfsRules = {
    {"refused", Limit::Options, refused},
    {"system", Limit::Program,
     [](const frag::Item &i, const Context &c, std::string *text) {
         if (i.record >= 16 || is_directory(i)) return false;
         if (i.record == 0)
             *text = c.o.mft == 1 ? "the MFT: MFT=MIN moves it, and this build does not have that stage"
                                  : "the MFT: only MFT=MIN moves it (not in this build either)";
         else
             *text = "a system file (records 0-15): the file stages begin at record 16";
         return true;
     }},
    {"reparse-point", Limit::Program,
     [](const frag::Item &i, const Context &, std::string *text) {
         *text = "a reparse point: the program never moves one";
         return i.why == "reparse point";
     }},
    {"offline", Limit::Program,
     [](const frag::Item &i, const Context &, std::string *text) {
         *text = "offline: the program never moves an offline file";
         return i.why == "offline";
     }},
    {"sparse", Limit::Program,
     [](const frag::Item &i, const Context &, std::string *text) {
         *text = "sparse: the program never moves a sparse file";
         return i.why == "sparse";
     }},
    {"streams-in-several-records", Limit::Program,
     [](const frag::Item &i, const Context &, std::string *text) {
         *text = "its data lies in several records, one of which holds a second data stream: the program "
                 "passes such files over (\"Skipping SFM file\")";
         return i.attribute_list && i.streams_in_a_record;
     }},
    {"streams", Limit::Program,
     [](const frag::Item &i, const Context &, std::string *text) {
         *text = "a named data stream beside its data: the program never moves such a file";
         return i.streams_in_a_record;
     }},
    // DIRS=FREE first looks for one free run for all directories and
    // attributes; without one the run ends before its directory and file
    // stages.
    {"no-directory-area", Limit::Volume,
     [](const frag::Item &, const Context &c, std::string *text) {
         uint64_t needed = c.r.directory_clusters + c.r.attribute_clusters;
         *text = format("DIRS=FREE: no free run outside the MFT area holds the directories and attributes together "
                        "(%llu clusters; the largest has %llu), so the run ends before its directory and file stages",
                        ull(needed), ull(c.largest_outside_area));
         return c.o.dirs == 1 && needed > c.largest_outside_area;
     }},
    {"dirs-none", Limit::Options,
     [](const frag::Item &i, const Context &c, std::string *text) {
         *text = "DIRS=NONE: the run leaves directories where they are";
         return is_directory(i) && c.o.dirs == 0;
     }},
    {"files-not-treated", Limit::Options,
     [](const frag::Item &i, const Context &c, std::string *text) {
         *text = c.o.files == 0 ? "the run does not defragment files (no FILES=FULL or FILES=LIST)"
                                : "the run's file stages were only implied by MFT=MIN or PAGE=, which ended first";
         return !is_directory(i) && !files_stages_run(c);
     }},
    {"not-listed", Limit::Options,
     [](const frag::Item &i, const Context &c, std::string *text) {
         *text = "FILES=LIST: not among the FILEX= records";
         return !is_directory(i) && c.o.files == 2 &&
                std::find(c.o.file_list.begin(), c.o.file_list.end(), i.record) == c.o.file_list.end();
     }},
    // FILES=LIST moves the listed files whatever the patterns say; the
    // directory stages test every directory.
    {"excluded", Limit::Program,
     [](const frag::Item &i, const Context &c, std::string *text) {
         return (is_directory(i) || c.o.files != 2) && built_in_exclusion(i, c, text);
     }},
    {"excluded-by-run", Limit::Options,
     [](const frag::Item &i, const Context &c, std::string *text) {
         return (is_directory(i) || c.o.files != 2) && user_exclusion(i, c, text);
     }},
    {"nomove", Limit::Options, nomove},
    {"no-room", Limit::Volume, no_room},
    // A directory goes only into the target area of its DIRS= mode (toward
    // the front for DIRS=ZERO).
    {"directory-area", Limit::Program,
     [](const frag::Item &i, const Context &c, std::string *text) {
         if (!is_directory(i)) return false;
         *text = c.o.dirs == 2 ? format("DIRS=ZERO moves a directory only toward the front, and no free run before "
                                        "it held its %llu clusters",
                                        ull(i.clusters))
                               : format("the directory stage puts directories only into its target area, which had "
                                        "no free run of %llu clusters left for it",
                                        ull(i.clusters));
         return true;
     }},
    {"no-room-outside-mft-area", Limit::Program, no_room_outside_mft_area},
    {"unexplained", Limit::Unknown, unexplained},
};

// bootfat. A directory moves only with the tree of its top-level directory
// (the one in the root), which LegalToMove is asked about; the root itself
// never moves. A volume without subdirectories ends the run after the
// gathering stage ("Quitting now"), and DIRS=FREE needs one free run for all
// directories and a tenth more, or the run ends before its directory and
// file stages. Every search starts at LCN 2.

// The top-level directory an item lies in ("\A" for "\A\B\c"); empty
// for an item of the root.
std::string top_level(const std::string &path) {
    size_t second = path.find('\\', 1);
    if (second == std::string::npos) return std::string();
    return path.substr(0, second);
}

bool is_fat_root(const frag::Item &i) { return i.path == "\\"; }

// The clusters of the directories of a tree (the top-level directory
// `top` and every directory below it), or of all directories but the root
// when `top` is empty: what the run's directory stages move.
uint64_t directory_clusters(const Context &c, const std::string &top) {
    uint64_t n = 0;
    for (const frag::Item &i : c.r.items)
        if (is_directory(i) && !is_fat_root(i) &&
            (top.empty() || i.path == top || i.path.compare(0, top.size() + 1, top + "\\") == 0))
            n += i.clusters;
    return n;
}

// What LegalToMove is asked about for an item: the file itself, or the
// directory's top-level directory.
frag::Item legality_item(const frag::Item &i) {
    frag::Item asked = i;
    if (is_directory(i) && !top_level(i.path).empty()) asked.path = top_level(i.path);
    return asked;
}

const std::vector<Rule> kFatRules = {
    {"refused", Limit::Options, refused},
    {"root", Limit::Program,
     [](const frag::Item &i, const Context &, std::string *text) {
         *text = "the root directory: the program never moves it";
         return is_fat_root(i);
     }},
    {"no-directories", Limit::Program,
     [](const frag::Item &, const Context &c, std::string *text) {
         *text = "the volume has no subdirectory, and the run ends after gathering (\"No files found or no "
                 "directories found. Quitting now.\")";
         return directory_clusters(c, "") == 0;
     }},
    {"no-directory-area", Limit::Volume,
     [](const frag::Item &, const Context &c, std::string *text) {
         uint64_t d = directory_clusters(c, "");
         *text = format("DIRS=FREE: no free run holds all directories and a tenth more (%llu clusters; the largest "
                        "has %llu), so the run ends before its directory and file stages",
                        ull(d + d / 10), ull(c.largest_free));
         return c.o.dirs == 1 && d + d / 10 > c.largest_free;
     }},
    {"dirs-none", Limit::Options,
     [](const frag::Item &i, const Context &c, std::string *text) {
         *text = "DIRS=NONE: the run leaves directories where they are";
         return is_directory(i) && c.o.dirs == 0;
     }},
    {"files-not-treated", Limit::Options,
     [](const frag::Item &i, const Context &c, std::string *text) {
         *text = c.o.files == 0 ? "the run does not defragment files (no FILES=FULL)"
                                : "the run's file stages were only implied by PAGE=, which ended first";
         return !is_directory(i) && !files_stages_run(c);
     }},
    {"excluded", Limit::Program,
     [](const frag::Item &i, const Context &c, std::string *text) {
         return built_in_exclusion(legality_item(i), c, text);
     }},
    {"excluded-by-run", Limit::Options,
     [](const frag::Item &i, const Context &c, std::string *text) {
         return user_exclusion(legality_item(i), c, text);
     }},
    {"nomove", Limit::Options, nomove},
    {"no-room", Limit::Volume,
     [](const frag::Item &i, const Context &c, std::string *text) {
         if (!is_directory(i)) return no_room(i, c, text);
         uint64_t tree = directory_clusters(c, top_level(i.path).empty() ? i.path : top_level(i.path));
         *text = format("no free run long enough: it moves with the tree of its top-level directory, %llu clusters "
                        "in one run, and the largest has %llu",
                        ull(tree), ull(c.largest_free));
         return tree > c.largest_free;
     }},
    {"unexplained", Limit::Unknown, unexplained},
};

// The longest free run of the bitmap with the clusters of `blocked` (ranges
// [first, end)) taken as in use.
uint64_t largest_free_run(const frag::Report &r, const std::vector<std::pair<int64_t, int64_t>> &blocked) {
    frag::Report copy;
    copy.total_clusters = r.total_clusters;
    copy.bitmap = r.bitmap;
    for (auto [first, end] : blocked)
        for (int64_t c = std::max<int64_t>(first, 0); c < end && uint64_t(c) < r.total_clusters; ++c)
            copy.bitmap[c >> 3] |= uint8_t(1u << (c & 7));
    copy.count_free();
    return copy.largest_free_extent;
}

// The MFT area the file stages keep clear: the MFT zone, or up to 20
// clusters behind an MFT that outgrew it; with less than a quarter of the
// volume free, the zone's end moves halfway back toward the MFT.
void mft_area(const frag::Report &r, int64_t *start, int64_t *end) {
    uint64_t mftClusters = 0;
    for (const frag::Item &i : r.items)
        if (i.record == 0 && i.kind == frag::Item::System) mftClusters = i.clusters;
    int64_t behind = r.mft_lcn + int64_t(mftClusters) + 20;
    int64_t limit = r.mft_zone_end;
    if (r.mft_lcn + int64_t(mftClusters) - 1 > r.mft_zone_end)
        limit = behind;
    else if (r.total_clusters && r.free_clusters * 100 / r.total_clusters < 25)
        limit = behind + (r.mft_zone_end - behind) / 2;
    *start = r.mft_zone_start;
    *end = std::max(r.mft_zone_end, limit);
}

}  // namespace

RunOptions parse_run(const std::string &text, bool ntfs) {
    RunOptions o;
    o.keywords = text;
    o.dfrg_shel = !ntfs;
    for (const std::string &token : split_blanks(text)) {
        std::string word = upper(token);
        if (word.size() == 2 && std::isalpha(static_cast<unsigned char>(word[0])) && word[1] == ':') continue;
        const Keyword *k = nullptr;
        for (const Keyword &candidate : keywords()) {
            if (!(ntfs ? candidate.ntfs : candidate.fat)) continue;
            std::string w = candidate.word;
            bool prefix = w.back() == '=' && w.find('=') == w.size() - 1;
            if (prefix ? word.compare(0, w.size(), w) == 0 : word == w) {
                k = &candidate;
                break;
            }
        }
        bool counted = k != nullptr;
        if (k && k->group) {
            if (o.*(k->group) != -1)
                counted = false;  // a conflict
            else
                o.*(k->group) = k->value;
            if (k->group == &RunOptions::files && k->value != 0) o.files_given = true;
        } else if (k) {
            k->apply(o, word.substr(std::string(k->word).back() == '=' ? std::string(k->word).size() : word.size()),
                     &counted);
        }
        if (o.excludes.size() > 19) counted = false;
        if (!counted && o.refused.empty()) o.refused = token;
    }
    bool implied = (ntfs && o.mft == 1) || o.page == 2 || o.page == 3;
    if (implied) {
        if (o.dirs == -1) o.dirs = ntfs ? 4 : 3;
        if (o.files == -1) o.files = 1;
        o.dfrg_bins = o.dfrg_shel = true;
    }
    if (o.page == -1) o.page = 0;
    if (o.dirs == -1) o.dirs = 1;
    if (o.files == -1) o.files = 0;
    return o;
}

bool wild_match(const std::string &textIn, const std::string &patternIn) {
    if (textIn.empty() || patternIn.empty()) return false;
    std::string t = upper(textIn), p = upper(patternIn);
    if (p.find_first_of("*?") == std::string::npos) return t == p;
    size_t at = 0, pos = 0;
    bool star = false;
    while (pos < p.size()) {
        if (p[pos] == '*') {
            star = true;
            ++pos;
            continue;
        }
        if (p[pos] == '?') {
            if (at >= t.size()) return false;
            ++at, ++pos;
            star = false;
            continue;
        }
        size_t end = p.find_first_of("*?", pos);
        if (end == std::string::npos) end = p.size();
        std::string run = p.substr(pos, end - pos);
        if (star && end == p.size()) {
            // The last literal part is matched against the end of the text.
            if (t.size() - at < run.size()) return false;
            at = t.size() - run.size();
        } else if (star) {
            size_t found = t.find(run, at);
            if (found == std::string::npos) return false;
            at = found;
        }
        if (t.compare(at, run.size(), run) != 0) return false;
        at += run.size();
        pos = end;
        star = false;
    }
    return at == t.size() || star;
}

const char *limit_name(Limit l) {
    switch (l) {
    case Limit::Volume:
        return "volume";
    case Limit::Program:
        return "program";
    case Limit::Options:
        return "options";
    default:
        return "none";
    }
}

std::vector<Verdict> explain(const frag::Report &r, char letter, const RunOptions &o) {
    bool ntfs = r.fs == "NTFS";
    int64_t areaStart = 0, areaEnd = 0;
    if (ntfs) mft_area(r, &areaStart, &areaEnd);
    Context c{r, o, letter, ntfs, r.largest_free_extent, r.largest_free_extent, 0};
    if (!ntfs) c.largest_free = largest_free_run(r, {{0, 2}});  // the FAT stages search from LCN 2
    if (ntfs) {
        c.largest_outside_area = largest_free_run(r, {{areaStart, areaEnd}});
        c.largest_inside_area = largest_free_run(r, {{0, areaStart}, {areaEnd, int64_t(r.total_clusters)}});
    }
    std::vector<Verdict> out;
    for (const frag::Item &item : r.items) {
        if (item.fragments < 2) continue;
        for (const Rule &rule : ntfs ? kNtfsRules : kFatRules) {
            std::string text;
            if (!rule.holds(item, c, &text)) continue;
            out.push_back(Verdict{&item, rule.key, rule.limit, text});
            break;
        }
    }
    std::stable_sort(out.begin(), out.end(), [](const Verdict &a, const Verdict &b) {
        if (a.item->fragments != b.item->fragments) return a.item->fragments > b.item->fragments;
        return a.item->path < b.item->path;
    });
    return out;
}

std::string to_text(const std::vector<Verdict> &v, const frag::Report &r, char letter, const RunOptions &o,
                    const std::string &source) {
    std::string t = format("Why items stay fragmented on %c: (%s), for a run with \"%s\" (%s)\n", letter, r.fs.c_str(),
                           o.keywords.c_str(), source.c_str());
    uint64_t byLimit[4] = {};
    for (const Verdict &x : v) ++byLimit[int(x.limit)];
    t += format("  %zu item%s: limits of the volume %llu, of the program %llu, of the run's options %llu; "
                "no limit %llu\n",
                v.size(), v.size() == 1 ? "" : "s", ull(byLimit[0]), ull(byLimit[1]), ull(byLimit[2]), ull(byLimit[3]));
    for (const Verdict &x : v)
        t += format("  [%s] %s (%llu fragments, %llu clusters): %s\n", limit_name(x.limit), x.item->path.c_str(),
                    ull(x.item->fragments), ull(x.item->clusters), x.text.c_str());
    return t;
}

std::string to_json(const std::vector<Verdict> &v) {
    std::string j = "[";
    for (size_t i = 0; i < v.size(); ++i) {
        const Verdict &x = v[i];
        j += format("%s{\"path\": %s, \"record\": %llu, \"fragments\": %llu, \"clusters\": %llu, \"reason\": \"%s\", "
                    "\"limit\": \"%s\", \"text\": %s}",
                    i ? ", " : "", frag::json_string(x.item->path).c_str(), ull(x.item->record), ull(x.item->fragments),
                    ull(x.item->clusters), x.key.c_str(), limit_name(x.limit), frag::json_string(x.text).c_str());
    }
    return j + "]";
}

}  // namespace ntm::why
