// Helpers of the end-to-end tests: a machine made with the machine tool
// around a kit image, boots, the boot screen split into lines, and what
// tools nobody here wrote (libntfs-3g, ntfsls, the kit's checkers) say about
// the volume before and after.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <imgkit/imgkit.h>

#include "ntfs3g_reference.h"
#include "shell.h"

namespace e2e {

using testshell::Quote;

// Runs a shell command; its standard output and error, *status its exit code.
inline std::string Shell(const std::string &command, int *status) {
    testshell::Result r = testshell::Run(command);
    *status = r.code;
    return r.out;
}

// The lines of a boot screen: a carriage return or a line feed ends a line;
// empty lines are dropped.
inline std::vector<std::string> ScreenLines(const std::string &screen) {
    std::vector<std::string> lines;
    std::string line;
    for (char c : screen) {
        if (c == '\r' || c == '\n') {
            if (!line.empty()) lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

// A number of the machine tool's JSON report ("key": n); -1 when missing.
inline int64_t JsonNumber(const std::string &json, const std::string &key) {
    std::string tag = "\"" + key + "\": ";
    size_t at = json.find(tag);
    if (at == std::string::npos) return -1;
    return std::stoll(json.substr(at + tag.size()));
}

// Runs of a record's data (all $DATA pieces) and index allocation, merged:
// what must stay the same for a file that is not moved.
struct RunLists {
    std::vector<ntfsref::Run> data, index;
    bool operator==(const RunLists &o) const { return data == o.data && index == o.index; }
};
inline RunLists RunListsOf(const ntfsref::Record &r) {
    RunLists l;
    std::vector<ntfsref::Run> d, i;
    for (const auto &p : r.data) d.insert(d.end(), p.runs.begin(), p.runs.end());
    for (const auto &p : r.index) i.insert(i.end(), p.runs.begin(), p.runs.end());
    l.data = ntfsref::Merge(d);
    l.index = ntfsref::Merge(i);
    return l;
}

// The clusters of a record's other non-resident attributes, as one sorted,
// merged list of runs: a single run when they lie physically consecutive.
inline std::vector<ntfsref::Run> OtherRuns(const ntfsref::Record &r) {
    std::vector<ntfsref::Run> runs;
    for (const auto &o : r.others) runs.insert(runs.end(), o.runs.begin(), o.runs.end());
    std::sort(runs.begin(), runs.end(), [](const ntfsref::Run &a, const ntfsref::Run &b) { return a.lcn < b.lcn; });
    return ntfsref::Merge(runs);
}

// Clusters with disk space in a list of runs.
inline int64_t Clusters(const std::vector<ntfsref::Run> &runs) {
    int64_t n = 0;
    for (const auto &r : runs)
        if (r.lcn >= 0) n += r.length;
    return n;
}

// Lowest LCN of a record's data runs with disk space; -1 when none.
inline int64_t LowestLcnOf(const ntfsref::Record &r) {
    int64_t lowest = -1;
    for (const auto &p : r.data)
        for (const auto &run : p.runs)
            if (run.lcn >= 0 && (lowest < 0 || run.lcn < lowest)) lowest = run.lcn;
    return lowest;
}

// Fragments of a run list: runs with disk space that do not begin where the
// one before ended.
inline int RunFragments(const std::vector<ntfsref::Run> &runs) {
    int fragments = 0;
    bool any = false;
    int64_t next = 0;
    for (const auto &run : runs) {
        if (run.lcn < 0) continue;
        if (!any || run.lcn != next) fragments++;
        any = true;
        next = run.lcn + run.length;
    }
    return fragments;
}

// The data runs of a record, fragments counted as a defragmenter counts
// them: a run with disk space that does not follow the previous one starts
// a fragment.
inline int Fragments(const ntfsref::Record &r) {
    std::vector<ntfsref::Run> runs;
    for (const auto &p : r.data) runs.insert(runs.end(), p.runs.begin(), p.runs.end());
    return RunFragments(runs);
}

// The bytes of the volume bitmap file ($Bitmap, record 6) of an image, read
// through the runs libntfs-3g gave for it (v = ntfsref::Load(image)).
inline std::vector<uint8_t> BitmapBytes(const std::string &image, const ntfsref::Volume &v) {
    std::ifstream in(image, std::ios::binary);
    std::vector<uint8_t> bits;
    auto it = v.records.find(6);
    if (it == v.records.end()) return bits;
    for (const auto &piece : it->second.data)
        for (const auto &run : piece.runs) {
            std::vector<uint8_t> bytes(run.length * v.clusterSize);
            in.seekg(run.lcn * (int64_t)v.clusterSize);
            in.read((char *)bytes.data(), (std::streamsize)bytes.size());
            bits.insert(bits.end(), bytes.begin(), bytes.end());
        }
    return bits;
}
inline bool ClusterFree(const std::vector<uint8_t> &bits, int64_t c) {
    return c >= 0 && (size_t)(c / 8) < bits.size() && !((bits[c / 8] >> (c % 8)) & 1);
}

// A record the runs never move: the system files, directories (their
// index is left alone with DIRS=NONE), sparse, reparse-point and offline
// files, and files with several data streams in one record.
inline bool NeverMoved(const ntfsref::Record &r) {
    if (r.number < 16 || r.directory) return true;
    if (r.fileAttributes & (0x200 | 0x400 | 0x1000)) return true;
    std::map<uint64_t, int> perRecord;
    for (const auto &p : r.data)
        if (++perRecord[p.record] > 1) return true;
    return false;
}

}  // namespace e2e
