// The file set that fill() lays down, chosen from the seed before anything
// is written: directory tree and names. Shared by the NTFS and FAT fills.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "imgkit/imgkit.h"
#include "util.h"

namespace imgkit::detail {

struct PlanDir {
    std::string path;  // "\A\B" ("" for the root)
    std::string name;
    int parent = -1;  // index in the directory list; -1 = root
    int depth = 0;
};

// Names unique within a directory, ignoring case (as both file systems do).
class NameSet {
public:
    bool add(const std::string &name);

private:
    std::set<std::string> used_;
};

// Names for the directory whose volume path is `dir` ("" = root).
class Namer {
public:
    Namer(uint64_t seed, bool long_names) : rng_(seed), long_(long_names) {}
    std::string file(const std::string &dir, const char *hint = nullptr);
    std::string directory(const std::string &dir);
    // `name`, or a variant of it, not yet used in `dir`.
    std::string unique(const std::string &dir, std::string name);
    Rng &rng() { return rng_; }
    bool long_names() const { return long_; }

private:
    Rng rng_;
    bool long_;
    std::map<std::string, NameSet> sets_;
};

// Directory tree of `count` directories, at most `depth` levels deep.
std::vector<PlanDir> plan_dirs(Namer &namer, uint32_t count, uint32_t depth);

std::string join_path(const std::string &dir, const std::string &name);

// A Windows-style 8.3 alias ("QUARTE~1.DOC") for a long name, unique in `taken`.
std::string short_alias(const std::string &long_name, std::set<std::string> &taken);
bool is_short_name(const std::string &name);

}  // namespace imgkit::detail
