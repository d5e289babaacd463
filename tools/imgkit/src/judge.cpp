#include "judge.h"

#include <cstdlib>
#include <cstring>

namespace imgkit::detail {

namespace {
bool has(const std::string &s, const char *part) { return s.find(part) != std::string::npos; }

Verdict not_run(const char *tool, const ProcResult &r) {
    Verdict v;
    v.kind = Verdict::tool_error;
    v.reason = std::string(tool) + " could not be run: " + trim(r.output);
    return v;
}

Verdict crashed(const char *tool, const ProcResult &r) {
    Verdict v;
    v.kind = Verdict::fault;
    v.reason = fmt("%s died with signal %d reading the volume", tool, r.signal);
    return v;
}
}  // namespace

Verdict judge_ntfsresize(const ProcResult &r) {
    if (!r.started) return not_run("ntfsresize", r);
    if (r.signal) return crashed("ntfsresize", r);
    Verdict v;
    uint64_t missing = 0, extra = 0;
    long long first_missing = -1, first_extra = -1;
    bool accounted = false, inconsistent = false;
    std::string hard;  // first structural message
    for (const std::string &raw : split_lines(r.output)) {
        std::string line = trim(raw);
        if (line.empty()) continue;
        if (starts_with(line, "Cluster accounting failed at ")) {
            long long at = atoll(line.c_str() + strlen("Cluster accounting failed at "));
            if (has(line, "missing cluster")) {
                if (!missing++) first_missing = at;
            } else if (has(line, "extra cluster")) {
                if (!extra++) first_extra = at;
            } else if (hard.empty()) {
                hard = line;
            }
            v.lines.push_back(line);
        } else if (has(line, "Outside of the volume reference") || has(line, "referenced multiple") ||
                   has(line, "referenced outside") || has(line, "Corrupt runlist") || has(line, "Reading inode") ||
                   has(line, "mapping_pairs_decompress") || has(line, "$Bitmap size is smaller") ||
                   has(line, "as NTFS failed") || has(line, "Couldn't get $Bitmap") ||
                   has(line, "Invalid MFT bitmap") || has(line, "Could not read the MFT bitmap")) {
            if (hard.empty()) hard = line;
            v.lines.push_back(line);
        } else if (has(line, "NTFS is inconsistent")) {
            inconsistent = true;
        } else if (starts_with(line, "Space in use")) {
            accounted = true;
        } else if (has(line, "hibernated") || has(line, "Hibernat")) {
            if (hard.empty()) hard = line;
        } else if (has(line, "ERROR") || has(line, "error")) {
            v.lines.push_back(line);
        }
    }
    if (!hard.empty()) {
        // "Opening ... as NTFS failed" says less than libntfs-3g's own line before it.
        if (has(hard, "as NTFS failed"))
            for (const std::string &raw : split_lines(r.output))
                if (has(raw, "does not match") || has(raw, "corrupt") || has(raw, "Corrupt")) {
                    hard = trim(raw) + " (" + hard + ")";
                    break;
                }
        v.kind = Verdict::fault;
        v.reason = "ntfsresize: " + hard;
    } else if (missing) {
        v.kind = Verdict::fault;
        v.reason = fmt("ntfsresize: %llu cluster%s in use but missing from $Bitmap (first at %lld)",
                       (unsigned long long)missing, missing == 1 ? "" : "s", first_missing);
    } else if (extra) {
        v.kind = Verdict::lost;
        v.lost_clusters = extra;
        v.reason = fmt("ntfsresize: %llu cluster%s marked in $Bitmap but owned by no file (first at %lld)",
                       (unsigned long long)extra, extra == 1 ? "" : "s", first_extra);
    } else if (accounted) {
        // Exit code 1 here only reports resize limits ("Very rare
        // fragmentation type", a fragmented $Bitmap): no judgement on consistency.
        v.kind = Verdict::clean;
    } else if (inconsistent) {
        v.kind = Verdict::fault;
        v.reason =
            "ntfsresize: NTFS is inconsistent" + (v.lines.empty() ? std::string() : " (" + v.lines.front() + ")");
    } else {
        v.kind = Verdict::tool_error;
        v.reason = "ntfsresize ended before accounting clusters: " + trim(r.output).substr(0, 300);
    }
    return v;
}

Verdict judge_probe(const ProcResult &r) {
    if (!r.started) return not_run("ntfs-3g.probe", r);
    if (r.signal) return crashed("ntfs-3g.probe", r);
    Verdict v;
    std::string first;
    for (const std::string &raw : split_lines(r.output)) {
        std::string line = trim(raw);
        if (!line.empty()) {
            v.lines.push_back(line);
            if (first.empty()) first = line;
        }
    }
    switch (r.exit_code) {
    case 0:
        v.kind = Verdict::clean;
        break;
    case 11:
    case 19:
    case 20:
    case 21:
    case 22:
        v.kind = Verdict::tool_error;
        v.reason = fmt("ntfs-3g.probe exit %d: %s", r.exit_code, first.c_str());
        break;
    default:
        v.kind = Verdict::fault;
        v.reason = fmt("ntfs-3g.probe exit %d: %s", r.exit_code, first.empty() ? "volume refused" : first.c_str());
    }
    return v;
}

Verdict judge_ntfsfix(const ProcResult &r) {
    if (!r.started) return not_run("ntfsfix", r);
    if (r.signal) return crashed("ntfsfix", r);
    Verdict v;
    std::string why, weak;
    for (const std::string &raw : split_lines(r.output)) {
        std::string line = trim(raw);
        if (line.empty() || starts_with(line, "Attempting to correct errors")) continue;
        bool bad = has(line, "FAILED") || has(line, "rror") || has(line, "does not match") || has(line, "corrupt") ||
                   has(line, "BAD");
        if (!bad) continue;
        v.lines.push_back(line);
        // "Mounting volume... FAILED" says less than the lines after it.
        if (starts_with(line, "Mounting volume")) {
            if (weak.empty()) weak = line;
        } else if (why.empty()) {
            why = line;
        }
    }
    if (why.empty()) why = weak;
    if (r.exit_code == 0) {
        v.kind = Verdict::clean;
    } else if (r.exit_code == 1) {
        v.kind = Verdict::fault;
        v.reason = "ntfsfix -n: " + (why.empty() ? trim(r.output).substr(0, 200) : why);
    } else {
        v.kind = Verdict::tool_error;
        v.reason = fmt("ntfsfix exit %d: %s", r.exit_code, trim(r.output).substr(0, 200).c_str());
    }
    return v;
}

Verdict judge_fsck_fat(const ProcResult &r, bool fsinfo_agrees) {
    if (!r.started) return not_run("fsck.fat", r);
    if (r.signal) return crashed("fsck.fat", r);
    Verdict v;
    if (r.exit_code < 0 || r.exit_code > 1) {
        v.reason = fmt("fsck.fat exit %d: %s", r.exit_code, trim(r.output).substr(0, 200).c_str());
        return v;
    }
    std::string fault, path;
    bool summary = false, summary_wrong = false;
    for (const std::string &raw : split_lines(r.output)) {
        std::string line = trim(raw);
        if (line.empty()) continue;
        if (starts_with(line, "fsck.fat ") || starts_with(line, "dosfsck ") ||
            line == "Leaving filesystem unchanged." || line == "Auto-correcting." ||
            starts_with(line, "Free cluster summary uninitialized")) {
            continue;
        }
        if (has(line, " files, ") && has(line, " clusters")) {
            summary = true;
            continue;
        }
        if (starts_with(line, "Reclaimed ")) {
            v.lost_clusters += strtoull(line.c_str() + strlen("Reclaimed "), nullptr, 10);
            v.lines.push_back(line);
            continue;
        }
        if (starts_with(line, "Free cluster summary wrong")) {
            summary_wrong = true;
            v.lines.push_back(line);
            continue;
        }
        if (has(line, "Dirty bit is set") || has(line, "dirty bit")) {
            v.dirty = true;
            continue;
        }
        if (raw[0] == '/') {  // the file the next message is about
            path = line;
            continue;
        }
        v.lines.push_back(path.empty() ? line : path + ": " + line);
        if (fault.empty()) fault = v.lines.back();
    }
    if (summary_wrong && !fsinfo_agrees && fault.empty())
        fault = "free cluster summary in FSInfo disagrees with the FAT";
    if (!fault.empty()) {
        v.kind = Verdict::fault;
        v.reason = "fsck.fat: " + fault;
    } else if (v.lost_clusters) {
        v.kind = Verdict::lost;
        v.reason = fmt("fsck.fat: %llu lost cluster%s (in use in the FAT, owned by no file)",
                       (unsigned long long)v.lost_clusters, v.lost_clusters == 1 ? "" : "s");
    } else if (r.exit_code == 0 || (r.exit_code == 1 && summary)) {
        v.kind = Verdict::clean;
    } else {
        v.kind = Verdict::tool_error;
        v.reason = fmt("fsck.fat exit %d: %s", r.exit_code, trim(r.output).substr(0, 200).c_str());
    }
    if (v.kind == Verdict::clean && r.exit_code != 0 && !summary) v.kind = Verdict::tool_error;
    return v;
}

}  // namespace imgkit::detail
