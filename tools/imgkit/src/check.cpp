// Checking an image: the verdicts of the tools, then every manifest file's
// content. Content is always compared, because a record torn by an
// interrupted write can hide behind clusters that merely look lost.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <map>

#include "fat_raw.h"
#include "imgkit/imgkit.h"
#include "judge.h"
#include "ntfs3g.h"
#include "ntfs_raw.h"

namespace imgkit {

using namespace detail;

namespace {

struct ContentReport {
    bool ran = false;
    std::string error;  // the reader itself failed
    uint64_t checked = 0;
    std::vector<std::string> bad;  // "path: reason"
};

// ---- NTFS content, read through libntfs-3g in a child process so that a
// crash on a damaged volume cannot take the caller down with it.

std::string hash_ntfs_entry(ntfs_volume *vol, const ManifestEntry &e) {
    std::string path = posix_path(e.path), stream = stream_of(e.path);
    ntfs_inode *ni = ntfs_inode_open(vol, FILE_root);
    if (!ni) return "!cannot open the root directory";
    size_t pos = 1;
    while (pos < path.size()) {
        size_t end = path.find('/', pos);
        if (end == std::string::npos) end = path.size();
        std::u16string comp = utf8_to_utf16(path.substr(pos, end - pos));
        u64 ref = ntfs_inode_lookup_by_name(ni, reinterpret_cast<ntfschar *>(comp.data()), int(comp.size()));
        ntfs_inode_close(ni);
        if (ref == u64(-1)) return "!missing";
        ni = ntfs_inode_open(vol, MREF(ref));
        if (!ni) return "!record cannot be read";
        pos = end + 1;
    }
    std::u16string sname = utf8_to_utf16(stream);
    ntfschar *name = stream.empty() ? AT_UNNAMED : reinterpret_cast<ntfschar *>(sname.data());
    ntfs_attr *na = ntfs_attr_open(ni, AT_DATA, name, u32(sname.size()));
    if (!na) {
        ntfs_inode_close(ni);
        return e.size == 0 && stream.empty() ? sha256_hex("", 0) + " 0" : "!no data stream";
    }
    Sha256 h;
    std::vector<uint8_t> buf(1 << 20);
    s64 off = 0;
    std::string err;
    while (off < na->data_size) {
        s64 n = ntfs_attr_pread(na, off, std::min<s64>(s64(buf.size()), na->data_size - off), buf.data());
        if (n <= 0) {
            err = fmt("!read failed at %lld", (long long)off);
            break;
        }
        h.update(buf.data(), size_t(n));
        off += n;
    }
    s64 size = na->data_size;
    ntfs_attr_close(na);
    ntfs_inode_close(ni);
    if (!err.empty()) return err;
    return h.hex() + " " + std::to_string(size);
}

ContentReport ntfs_content(const std::string &image, const Manifest &m) {
    ContentReport rep;
    int fds[2];
    if (pipe(fds) != 0) {
        rep.error = "pipe failed";
        return rep;
    }
    pid_t pid = fork();
    if (pid < 0) {
        rep.error = "fork failed";
        return rep;
    }
    if (pid == 0) {
        ::close(fds[0]);
        FILE *out = fdopen(fds[1], "w");
        ntfs_log_set_handler(ntfs_log_handler_null);
        ntfs_volume *vol = ntfs_mount(image.c_str(), NTFS_MNT_RDONLY);
        if (!vol) {
            fprintf(out, "MOUNT\t%s\n", strerror(errno));
            fclose(out);
            _exit(0);
        }
        for (const ManifestEntry &e : m.files)
            fprintf(out, "%s\t%s\n", e.path.c_str(), hash_ntfs_entry(vol, e).c_str());
        ntfs_umount(vol, FALSE);
        fprintf(out, "END\n");
        fclose(out);
        _exit(0);
    }
    ::close(fds[1]);
    std::string text;
    char buf[65536];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) != 0) {
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        text.append(buf, size_t(n));
    }
    ::close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    rep.ran = true;
    std::map<std::string, std::string> got;
    bool ended = false;
    for (const std::string &line : split_lines(text)) {
        if (line == "END") {
            ended = true;
            continue;
        }
        size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        if (line.compare(0, tab, "MOUNT") == 0) {
            rep.error = "libntfs-3g refuses to mount the volume: " + line.substr(tab + 1);
            return rep;
        }
        got[line.substr(0, tab)] = line.substr(tab + 1);
    }
    if (!ended) {
        rep.error = WIFSIGNALED(status) ? fmt("libntfs-3g died with signal %d reading the files", WTERMSIG(status))
                                        : "libntfs-3g stopped while reading the files";
    }
    for (const ManifestEntry &e : m.files) {
        auto it = got.find(e.path);
        if (it == got.end()) continue;
        rep.checked++;
        const std::string &v = it->second;
        if (!v.empty() && v[0] == '!')
            rep.bad.push_back(e.path + ": " + v.substr(1));
        else if (v != e.sha256 + " " + std::to_string(e.size)) {
            size_t sp = v.find(' ');
            uint64_t size = sp == std::string::npos ? 0 : strtoull(v.c_str() + sp + 1, nullptr, 10);
            rep.bad.push_back(size != e.size ? fmt("%s: size %llu, expected %llu", e.path.c_str(),
                                                   (unsigned long long)size, (unsigned long long)e.size)
                                             : e.path + ": content differs");
        }
    }
    return rep;
}

// ---- FAT content, extracted with mtools.

std::string lower(std::string s) {
    for (char &c : s) c = char(tolower(uint8_t(c)));
    return s;
}

ContentReport fat_content(const std::string &image, const Manifest &m) {
    ContentReport rep;
    rep.ran = true;
    TempDir out;
    // One recursive copy of the whole volume; files it could not reach are
    // retried one by one below.
    run({"mcopy", "-s", "-n", "-i", image, "::/*", out.path() + "/"}, mtools_env());
    std::map<std::string, std::string> host;  // lower-case volume path -> host file
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(out.path(), ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_regular_file()) continue;
        std::string rel = it->path().string().substr(out.path().size());
        std::replace(rel.begin(), rel.end(), '/', '\\');
        host[lower(rel)] = it->path().string();
    }
    int single = 0;
    for (const ManifestEntry &e : m.files) {
        rep.checked++;
        auto it = host.find(lower(e.path));
        std::string file;
        if (it != host.end()) {
            file = it->second;
        } else {
            file = out.path() + "/single" + std::to_string(single++);
            ProcResult r = run({"mcopy", "-n", "-i", image, mtools_path(e.path), file}, mtools_env());
            if (r.exit_code != 0) {
                rep.bad.push_back(e.path + ": missing");
                continue;
            }
        }
        std::string data = read_file(file);
        if (data.size() != e.size)
            rep.bad.push_back(
                fmt("%s: size %zu, expected %llu", e.path.c_str(), data.size(), (unsigned long long)e.size));
        else if (sha256_hex(data.data(), data.size()) != e.sha256)
            rep.bad.push_back(e.path + ": content differs");
    }
    return rep;
}

bool ntfs_dirty(const std::string &image) {
    try {
        NtfsReader r(image);
        auto vol = r.load(3);
        if (!vol) return false;
        const Attribute *vi = vol->find(0x70);
        return vi && vi->value.size() >= 0x0C && (vi->value[0x0A] & 0x01);
    } catch (const Error &) {
        return false;
    }
}

bool fsinfo_agrees(const std::string &image) {
    try {
        FatReader r(image);
        uint32_t free_count, next;
        if (!r.fsinfo(free_count, next) || free_count == 0xFFFFFFFF) return true;
        uint32_t counted = 0;
        for (uint32_t c = 2; c < r.geometry().clusters + 2; c++) counted += r.is_free(c);
        return counted == free_count;
    } catch (const Error &) {
        return true;
    }
}

const char *code_word(int code) {
    switch (code) {
    case kConsistent:
        return "OK";
    case kLostClusters:
        return "LOST CLUSTERS";
    case kInconsistent:
        return "FAULT";
    case kContentMismatch:
        return "CONTENT MISMATCH";
    default:
        return "TOOL ERROR";
    }
}

}  // namespace

CheckResult check(const std::string &image, const Manifest &manifest, const CheckOptions &options) {
    CheckResult res;
    auto finish = [&](int code, const std::string &reason) {
        res.code = code;
        res.summary = std::string(code_word(code)) + " (" + std::to_string(code) + "): " + reason;
        return res;
    };
    FsType fs;
    try {
        fs = detect_fs(image);
    } catch (const Error &e) {
        return finish(kToolError, e.what());
    }
    if (fs == FsType::unknown) {
        // An image whose boot sector no longer reads as a volume is a fault,
        // not a usage error, when the manifest says what it should hold.
        if (manifest.fs != FsType::unknown)
            return finish(kInconsistent, "the boot sector no longer describes a volume");
        return finish(kToolError, image + ": neither NTFS nor FAT16/FAT32");
    }
    if (manifest.fs != FsType::unknown && manifest.fs != fs)
        return finish(kToolError,
                      std::string("the manifest is for ") + fs_name(manifest.fs) + ", the image holds " + fs_name(fs));

    std::vector<Verdict> verdicts;
    std::vector<std::string> tools;
    if (fs == FsType::ntfs) {
        verdicts.push_back(
            judge_ntfsresize(run({"ntfsresize", "--info", "--force", "--no-progress-bar", "-v", image})));
        verdicts.push_back(judge_probe(run({"ntfs-3g.probe", "--readonly", image})));
        verdicts.push_back(judge_ntfsfix(run({"ntfsfix", "-n", image})));
        tools = {"ntfsresize", "ntfs-3g.probe", "ntfsfix"};
        if (options.probe_readwrite_copy) {
            TempDir tmp;
            std::string copy = tmp.path() + "/copy.img";
            std::error_code ec;
            std::filesystem::copy_file(image, copy, ec);
            if (ec) return finish(kToolError, "cannot copy the image for ntfs-3g.probe --readwrite: " + ec.message());
            verdicts.push_back(judge_probe(run({"ntfs-3g.probe", "--readwrite", copy})));
            tools.push_back("ntfs-3g.probe --readwrite");
        }
        res.dirty = ntfs_dirty(image);
    } else {
        verdicts.push_back(judge_fsck_fat(run({"fsck.fat", "-n", image}), fsinfo_agrees(image)));
        tools = {"fsck.fat"};
        res.dirty = verdicts.back().dirty;
    }

    const Verdict *fault = nullptr;
    const Verdict *tool_error = nullptr;
    const Verdict *lost = nullptr;
    for (const Verdict &v : verdicts) {
        for (auto &l : v.lines) res.details.push_back(l);
        if (v.kind == Verdict::fault && !fault) fault = &v;
        if (v.kind == Verdict::tool_error && !tool_error) tool_error = &v;
        if (v.kind == Verdict::lost && !lost) lost = &v;
    }

    ContentReport content;
    if (options.compare_content) {
        content = fs == FsType::ntfs ? ntfs_content(image, manifest) : fat_content(image, manifest);
        res.files_checked = content.checked;
        res.files_differing = content.bad.size();
        for (auto &b : content.bad) res.details.push_back(b);
        if (!content.error.empty()) res.details.push_back(content.error);
    }
    std::string files = options.compare_content
                            ? fmt("%llu/%llu files match", (unsigned long long)(content.checked - content.bad.size()),
                                  (unsigned long long)manifest.files.size())
                            : "content not compared";
    std::string dirty = res.dirty ? "; dirty flag set" : "";

    if (fault) {
        // Every tool that found a fault has its say.
        std::string reasons;
        for (const Verdict &v : verdicts)
            if (v.kind == Verdict::fault) reasons += (reasons.empty() ? "" : "; ") + v.reason;
        std::string extra = content.bad.empty() ? "" : fmt("; %zu file(s) differ", content.bad.size());
        return finish(kInconsistent, reasons + extra + dirty);
    }
    if (!content.error.empty()) return finish(kInconsistent, content.error + dirty);
    if (tool_error) return finish(kToolError, tool_error->reason);
    if (!content.bad.empty())
        return finish(kContentMismatch, fmt("%zu of %zu files differ (first: %s)", content.bad.size(),
                                            manifest.files.size(), content.bad.front().c_str()) +
                                            dirty);
    if (options.compare_content && content.checked != manifest.files.size())
        return finish(kToolError, "not every manifest file could be checked");
    if (lost) return finish(kLostClusters, lost->reason + "; " + files + dirty);
    std::string names;
    for (size_t i = 0; i < tools.size(); i++) names += (i ? (i + 1 == tools.size() ? " and " : ", ") : "") + tools[i];
    return finish(kConsistent, names + (tools.size() == 1 ? " finds" : " find") + " no fault; " + files + dirty);
}

}  // namespace imgkit
