#include "plan.h"

#include <algorithm>
#include <cctype>

namespace imgkit::detail {

namespace {
const char *kWords[] = {"Quarterly", "Report",  "Budget", "Minutes", "Project", "Archive", "Draft",   "Final",
                        "Customer",  "Invoice", "Photos", "Backup",  "Notes",   "Letter",  "Summary", "Old",
                        "New",       "Meeting", "Plans",  "Data",    "System",  "Setup"};
const char *kExts[] = {"doc", "txt", "xls", "dat", "bmp", "log", "ini", "exe", "dll", "zip", "htm"};
const char *kDirWords[] = {"Documents",   "Program Files", "Windows", "Temp",  "Projects", "Music",
                           "Shared Data", "Reports",       "Archive", "Users", "Games",    "Drivers"};

std::string upper(std::string s) {
    for (char &c : s) c = char(toupper(uint8_t(c)));
    return s;
}
}  // namespace

bool NameSet::add(const std::string &name) { return used_.insert(upper(name)).second; }

std::string Namer::unique(const std::string &dir, std::string name) {
    NameSet &s = sets_[dir];
    if (s.add(name)) return name;
    size_t dot = name.rfind('.');
    std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
    std::string ext = dot == std::string::npos ? "" : name.substr(dot);
    for (int i = 2;; i++) {
        std::string cand = long_ ? stem + " (" + std::to_string(i) + ")" + ext
                                 : stem.substr(0, std::min<size_t>(stem.size(), 5)) + std::to_string(i) + ext;
        if (s.add(cand)) return cand;
    }
}

std::string Namer::file(const std::string &dir, const char *hint) {
    std::string name;
    const char *ext = kExts[rng_.below(11)];
    if (long_ && !rng_.chance(25)) {
        int words = int(rng_.between(2, 4));
        for (int i = 0; i < words; i++) name += std::string(i ? " " : "") + kWords[rng_.below(22)];
        if (hint) name = std::string(hint) + " " + name;
        name += " " + std::to_string(rng_.below(1000)) + "." + ext;
    } else {
        std::string w = upper(kWords[rng_.below(22)]).substr(0, 5);
        name = w + std::to_string(rng_.below(1000)) + "." + upper(ext);
    }
    return unique(dir, name);
}

std::string Namer::directory(const std::string &dir) {
    std::string name = long_ ? kDirWords[rng_.below(12)] : upper(kDirWords[rng_.below(12)]).substr(0, 8);
    if (long_ && rng_.chance(30)) name += " " + std::to_string(rng_.below(100));
    if (name.find(' ') != std::string::npos && !long_)
        name.erase(std::remove(name.begin(), name.end(), ' '), name.end());
    return unique(dir, name);
}

std::vector<PlanDir> plan_dirs(Namer &namer, uint32_t count, uint32_t depth) {
    std::vector<PlanDir> dirs;
    for (uint32_t i = 0; i < count; i++) {
        int parent = -1;
        if (!dirs.empty() && depth > 1 && namer.rng().chance(60)) {
            int cand = int(namer.rng().below(dirs.size()));
            if (uint32_t(dirs[size_t(cand)].depth) < depth) parent = cand;
        }
        PlanDir d;
        d.parent = parent;
        d.depth = parent < 0 ? 1 : dirs[size_t(parent)].depth + 1;
        d.name = namer.directory(parent < 0 ? "" : dirs[size_t(parent)].path);
        d.path = join_path(parent < 0 ? "" : dirs[size_t(parent)].path, d.name);
        dirs.push_back(d);
    }
    return dirs;
}

std::string join_path(const std::string &dir, const std::string &name) { return dir + "\\" + name; }

bool is_short_name(const std::string &name) {
    size_t dot = name.find('.');
    std::string stem = name.substr(0, dot);
    std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
    if (stem.empty() || stem.size() > 8 || ext.size() > 3 || ext.find('.') != std::string::npos) return false;
    for (char c : stem + ext)
        if (!(isupper(uint8_t(c)) || isdigit(uint8_t(c)) || c == '_' || c == '-')) return false;
    return true;
}

std::string short_alias(const std::string &long_name, std::set<std::string> &taken) {
    size_t dot = long_name.rfind('.');
    std::string stem = dot == std::string::npos ? long_name : long_name.substr(0, dot);
    std::string ext = dot == std::string::npos ? "" : long_name.substr(dot + 1);
    auto clean = [](const std::string &s, size_t max) {
        std::string out;
        for (char c : s)
            if (isalnum(uint8_t(c)) && out.size() < max) out += char(toupper(uint8_t(c)));
        return out;
    };
    std::string base = clean(stem, 6), e = clean(ext, 3);
    if (base.empty()) base = "FILE";
    for (int i = 1; i < 100000; i++) {
        std::string tail = "~" + std::to_string(i);
        std::string b = base.substr(0, std::min(base.size(), 8 - tail.size()));
        std::string cand = b + tail + (e.empty() ? "" : "." + e);
        if (taken.insert(cand).second) return cand;
    }
    throw Error("no free 8.3 alias for " + long_name);
}

}  // namespace imgkit::detail
