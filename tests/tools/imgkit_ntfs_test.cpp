// The image kit on NTFS: made and filled images pass the independent
// checkers, damage on purpose is reported for the right reason, fills are
// repeatable, and the kit's own counts agree with ntfsinfo and libntfs-3g.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "imgkit_testutil.h"
#include "ntfs3g.h"
#include "ntfs_raw.h"

using namespace imgkit;
using imgkit_test::Scratch;
using imgkit_test::some_file;
using imgkit_test::tool;

namespace {

class NtfsKit : public Scratch {
protected:
    std::string img;
    Manifest man;
    void make_filled(const Profile &p, uint64_t seed = 42, uint32_t cluster = 4096, uint64_t size = 64 << 20) {
        img = file("vol.img");
        make_ntfs(img, size, cluster);
        man = fill(img, p, seed);
    }
};

// The files of `ntfsls -R -F` as volume paths.
std::set<std::string> ntfsls_files(const std::string &img) {
    std::set<std::string> out;
    std::string dir;
    for (const std::string &line : detail::split_lines(tool({"ntfsls", "-R", "-F", "-f", img}))) {
        if (line.empty() || line == "./" || line == "../") continue;
        if (line[0] == '/' && line.back() == ':') {
            dir = line.substr(0, line.size() - 1);
            if (!dir.empty() && dir.back() == '/') dir.pop_back();
            continue;
        }
        if (line.back() == '/' || detail::starts_with(line, "Unnormalized path")) continue;
        std::string p = dir + "/" + line;
        std::replace(p.begin(), p.end(), '/', '\\');
        out.insert(p);
    }
    return out;
}

// The unnamed $DATA runs of a record as `ntfsinfo -v` prints them.
std::vector<detail::Run> ntfsinfo_runs(const std::string &img, uint64_t record) {
    std::vector<detail::Run> runs;
    std::istringstream in(tool({"ntfsinfo", "-f", "-v", "-i", std::to_string(record), img}));
    std::string line;
    bool data = false, unnamed = false, rows = false;
    while (std::getline(in, line)) {
        if (line.rfind("Dumping attribute", 0) == 0) {
            data = line.find("$DATA (0x80)") != std::string::npos;
            unnamed = rows = false;
            continue;
        }
        if (!data) continue;
        if (line.find("Name length:") != std::string::npos) unnamed = line.find(" 0 (0x0)") != std::string::npos;
        if (line.find("Runlist:") != std::string::npos) {
            rows = unnamed;
            continue;
        }
        if (!rows) continue;
        std::istringstream f(line);
        std::string vcn, lcn, len;
        if (!(f >> vcn >> lcn >> len) || vcn.rfind("0x", 0) != 0 || len.rfind("0x", 0) != 0) {
            rows = false;
            continue;
        }
        detail::Run r;
        r.vcn = std::stoull(vcn, nullptr, 16);
        r.lcn = lcn.rfind("0x", 0) == 0 ? int64_t(std::stoull(lcn, nullptr, 16)) : detail::kSparseLcn;
        r.length = std::stoull(len, nullptr, 16);
        runs.push_back(r);
    }
    std::sort(runs.begin(), runs.end(), [](auto &a, auto &b) { return a.vcn < b.vcn; });
    return runs;
}

uint64_t ntfsinfo_free_clusters(const std::string &img) {
    std::string out = tool({"ntfsinfo", "-f", "-m", img});
    size_t p = out.find("Free Clusters:");
    EXPECT_NE(p, std::string::npos) << out;
    return p == std::string::npos ? 0 : std::stoull(out.substr(p + strlen("Free Clusters:")));
}

TEST_F(NtfsKit, FilledImageIsConsistentAndMatchesTheListing) {
    make_filled(Profile::basic());
    CheckResult r = check(img, man);
    EXPECT_EQ(r.code, kConsistent) << r.summary;
    EXPECT_EQ(r.files_checked, man.files.size());
    EXPECT_EQ(r.files_differing, 0u);
    EXPECT_FALSE(r.dirty);
    EXPECT_GT(man.files.size(), 100u);
    // Every regular file, also in subdirectories, is in the manifest and the
    // manifest names nothing else.
    EXPECT_EQ(imgkit_test::manifest_files(man), ntfsls_files(img));
    // Checking never writes to the image, and ntfs-3g.probe --readwrite runs
    // on a copy only.
    std::string before = detail::read_file(img);
    CheckOptions rw;
    rw.probe_readwrite_copy = true;
    CheckResult r2 = check(img, man, rw);
    EXPECT_EQ(r2.code, kConsistent) << r2.summary;
    EXPECT_NE(r2.summary.find("ntfs-3g.probe --readwrite"), std::string::npos) << r2.summary;
    EXPECT_TRUE(before == detail::read_file(img)) << "check() changed the image";
    // Paths work with ntfscat too.
    const ManifestEntry *e = man.find(some_file(man, 5000));
    ASSERT_NE(e, nullptr);
    std::string cat = tool({"ntfscat", img, posix_path(e->path)});
    EXPECT_EQ(cat.size(), e->size);
    EXPECT_EQ(detail::sha256_hex(cat.data(), cat.size()), e->sha256);
}

TEST_F(NtfsKit, CheckerCatchesACorruptedDataCluster) {
    make_filled(Profile::basic());
    std::string victim = some_file(man, 20000);
    int64_t lcn = corrupt_file_data(img, victim, 100);
    EXPECT_GT(lcn, 0);
    CheckResult r = check(img, man);
    EXPECT_EQ(r.code, kContentMismatch) << r.summary;
    EXPECT_EQ(r.files_differing, 1u);
    EXPECT_NE(r.summary.find(victim), std::string::npos) << r.summary;
}

TEST_F(NtfsKit, CheckerCatchesABitmapBitClearedUnderALiveFile) {
    make_filled(Profile::basic());
    std::string victim = some_file(man, 20000);
    int64_t lcn = clear_allocation_under_file(img, victim);
    CheckResult r = check(img, man);
    EXPECT_EQ(r.code, kInconsistent) << r.summary;
    EXPECT_NE(r.summary.find("missing from $Bitmap (first at " + std::to_string(lcn) + ")"), std::string::npos)
        << r.summary;
    // The data itself is untouched.
    EXPECT_EQ(r.files_differing, 0u);
}

TEST_F(NtfsKit, LostClustersAndWhatTheyCanHide) {
    make_filled(Profile::basic());
    std::string leaked = copy_of(img, file("leaked.img"));
    leak_clusters(leaked, 5);
    CheckResult r = check(leaked, man);
    EXPECT_EQ(r.code, kLostClusters) << r.summary;
    EXPECT_NE(r.summary.find("5 clusters"), std::string::npos) << r.summary;

    // A record cleared by an interrupted write turns its clusters into
    // "extra" ones; only the content comparison sees the file is gone.
    std::string torn = copy_of(img, file("torn.img"));
    std::string victim = some_file(man, 20000);
    {
        detail::NtfsReader rd(torn, true);
        auto rec = rd.lookup(victim);
        ASSERT_TRUE(rec);
        uint64_t off = 0;
        // Record n of the MFT: find its byte offset through the MFT's runs.
        auto mft = file_extents(torn, "\\$MFT");
        uint64_t vbyte = *rec * rd.geometry().record_size, cs = rd.geometry().cluster_size, vcn = 0;
        for (auto &x : mft) {
            if (vbyte < (vcn + x.length) * cs) {
                off = uint64_t(x.lcn) * cs + (vbyte - vcn * cs);
                break;
            }
            vcn += x.length;
        }
        ASSERT_NE(off, 0u);
        uint8_t flags[2];
        rd.file().read(off + 0x16, flags, 2);
        flags[0] &= uint8_t(~1);  // not in use
        rd.file().write(off + 0x16, flags, 2);
    }
    r = check(torn, man);
    EXPECT_NE(r.code, kConsistent) << r.summary;
    EXPECT_NE(r.code, kLostClusters) << r.summary;
    EXPECT_GE(r.files_differing, 1u) << r.summary;
}

TEST_F(NtfsKit, MftMirrorMismatchIsAFault) {
    make_filled(Profile::basic());
    {
        detail::NtfsReader rd(img, true);
        uint64_t off = rd.geometry().mftmirr_lcn * rd.geometry().cluster_size + 2 * rd.geometry().record_size + 0x100;
        uint8_t b;
        rd.file().read(off, &b, 1);
        b ^= 0x5A;
        rd.file().write(off, &b, 1);
    }
    CheckResult r = check(img, man);
    EXPECT_EQ(r.code, kInconsistent) << r.summary;
    EXPECT_NE(r.summary.find("MFTMirr"), std::string::npos) << r.summary;
}

TEST_F(NtfsKit, BadInputIsAToolError) {
    std::string junk = file("junk.img");
    std::string zeros(1 << 20, '\0');
    detail::write_file(junk, zeros.data(), zeros.size());
    EXPECT_EQ(check(junk, Manifest{}).code, kToolError);
    EXPECT_EQ(check(file("absent.img"), Manifest{}).code, kToolError);
    EXPECT_THROW(make_ntfs(file("x.img"), 64 << 20, 3000), Error);
    EXPECT_THROW(make_ntfs(file("x.img"), 1 << 20, 4096), Error);
    EXPECT_THROW(fill(junk, Profile::basic(), 1), Error);
    // A manifest for another file system is refused, not misjudged.
    make_filled(Profile::basic());
    Manifest other = man;
    other.fs = FsType::fat32;
    EXPECT_EQ(check(img, other).code, kToolError);
}

TEST_F(NtfsKit, SameSeedSameImageOtherSeedOtherFiles) {
    make_filled(Profile::basic(), 7);
    std::string first = img;
    Manifest m1 = man;
    std::string second = file("again.img");
    make_ntfs(second, 64 << 20, 4096);
    Manifest m2 = fill(second, Profile::basic(), 7);
    EXPECT_EQ(m1.to_text(), m2.to_text());
    FragCounts c1 = count(first), c2 = count(second);
    ASSERT_EQ(c1.items.size(), c2.items.size());
    for (size_t i = 0; i < c1.items.size(); i++) {
        EXPECT_EQ(c1.items[i].path, c2.items[i].path);
        EXPECT_EQ(c1.items[i].record, c2.items[i].record);
        EXPECT_EQ(c1.items[i].fragments, c2.items[i].fragments) << c1.items[i].path;
    }
    // The same clusters for the same files.
    for (const char *kind : {"large", "fragmented"}) {
        std::string p = std::string(kind) == "large" ? some_file(m1, 20000) : "";
        if (p.empty())
            for (auto &it : c1.items)
                if (it.fragments > 2 && it.kind == ItemCount::file) {
                    p = it.path;
                    break;
                }
        ASSERT_FALSE(p.empty());
        auto e1 = file_extents(first, p), e2 = file_extents(second, p);
        ASSERT_EQ(e1.size(), e2.size()) << p;
        for (size_t i = 0; i < e1.size(); i++) {
            EXPECT_EQ(e1[i].lcn, e2[i].lcn) << p;
            EXPECT_EQ(e1[i].length, e2[i].length) << p;
        }
    }
    EXPECT_EQ(format_counts(c1), format_counts(c2));
    EXPECT_EQ(detail::NtfsReader(first).volume_bitmap(), detail::NtfsReader(second).volume_bitmap());

    std::string third = file("other.img");
    make_ntfs(third, 64 << 20, 4096);
    Manifest m3 = fill(third, Profile::basic(), 8);
    EXPECT_NE(m1.to_text(), m3.to_text());
}

TEST_F(NtfsKit, CountsAgreeWithNtfsinfo) {
    make_filled(Profile::full());
    FragCounts c = count(img);
    EXPECT_EQ(c.free_clusters, ntfsinfo_free_clusters(img));
    EXPECT_GE(c.fragmented_files, uint64_t(Profile::full().frag_groups * Profile::full().frag_group_files));
    EXPECT_GE(c.fragmented_dirs, 1u);
    EXPECT_GT(c.free_extents, 10u);  // holes left by deletions and interleaving
    EXPECT_LE(c.largest_free_extent, c.free_clusters);
    int compared = 0;
    for (const ItemCount &it : c.items) {
        if (it.kind != ItemCount::file || (it.fragments < 2 && !it.compressed)) continue;
        std::vector<detail::Run> runs = ntfsinfo_runs(img, it.record);
        uint64_t clusters = 0;
        for (auto &r : runs) clusters += r.lcn >= 0 ? r.length : 0;
        EXPECT_EQ(detail::count_fragments(runs), it.fragments) << it.path;
        EXPECT_EQ(clusters, it.clusters) << it.path;
        compared++;
    }
    EXPECT_GE(compared, 8);
    // Free space: the clusters of every extent and the free ones add up.
    uint64_t used = 0;
    for (const ItemCount &it : c.items) used += it.clusters;
    EXPECT_LE(used, c.total_clusters - c.free_clusters);
}

TEST_F(NtfsKit, SpecialFilesAreThereAsLibntfs3gReportsThem) {
    make_filled(Profile::full());
    FragCounts c = count(img);
    EXPECT_GE(c.mft_fragments, Profile::full().mft_fragments);
    EXPECT_GE(c.unmovable_files, 2u);  // the sparse file and the one with a named stream

    ntfs_log_set_handler(ntfs_log_handler_null);
    ntfs_volume *vol = ntfs_mount(img.c_str(), NTFS_MNT_RDONLY);
    ASSERT_NE(vol, nullptr);
    auto open_path = [&](const std::string &p) { return ntfs_pathname_to_inode(vol, nullptr, posix_path(p).c_str()); };
    auto attr_list = [&](ntfs_inode *ni) {
        if (!NInoAttrList(ni)) return 0;
        ntfs_attr_search_ctx *ctx = ntfs_attr_get_search_ctx(ni, nullptr);
        int kind = 0;
        if (!ntfs_attr_lookup(AT_ATTRIBUTE_LIST, AT_UNNAMED, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx))
            kind = ctx->attr->non_resident ? 2 : 1;
        ntfs_attr_put_search_ctx(ctx);
        return kind;
    };
    int compressed = 0, sparse = 0, al_res = 0, al_nonres = 0, streams = 0, dos = 0, big_index = 0;
    for (const ItemCount &it : c.items) {
        if (it.record < 16) continue;
        ntfs_inode *ni = open_path(it.path);
        ASSERT_NE(ni, nullptr) << it.path;
        if (it.kind == ItemCount::directory) {
            if (ntfs_attr_exist(ni, AT_INDEX_ALLOCATION, NTFS_INDEX_I30, 4)) big_index++;
            ntfs_inode_close(ni);
            continue;
        }
        ntfs_attr *na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
        ASSERT_NE(na, nullptr) << it.path;
        if (na->data_flags & ATTR_IS_COMPRESSED) {
            compressed++;
            EXPECT_TRUE(it.compressed) << it.path;
            EXPECT_TRUE(it.has_holes) << it.path << ": compression units leave runs without clusters";
            EXPECT_FALSE(it.sparse_flag) << it.path;
            EXPECT_EQ(it.kind, ItemCount::file) << it.path;
        }
        if (ni->flags & FILE_ATTR_SPARSE_FILE) {
            sparse++;
            EXPECT_TRUE(it.sparse_flag);
            EXPECT_TRUE(it.has_holes);
            EXPECT_EQ(it.kind, ItemCount::unmovable);
        }
        ntfs_attr_close(na);
        int al = attr_list(ni);
        EXPECT_EQ(al, it.attr_list) << it.path;
        if (al == 1) al_res++;
        if (al == 2) al_nonres++;
        if (it.path.find("Fragmented Mailbox") != std::string::npos) {
            EXPECT_EQ(al, 1) << it.path;
            EXPECT_GT(it.records, 1u) << it.path;
        }
        if (it.path.find("Very Fragmented Database") != std::string::npos) {
            EXPECT_EQ(al, 2) << it.path;
            EXPECT_GT(it.records, 1u) << it.path;
        }
        if (man.find(it.path + ":SummaryInformation")) {
            streams++;
            EXPECT_TRUE(it.multi_stream);
            EXPECT_EQ(it.kind, ItemCount::unmovable);
        }
        char dosname[64];
        ntfs_inode *dir = ntfs_dir_parent_inode(ni);
        if (dir) {
            if (ntfs_get_ntfs_dos_name(ni, dir, dosname, sizeof dosname) > 0) dos++;
            ntfs_inode_close(dir);
        }
        ntfs_inode_close(ni);
    }
    ntfs_umount(vol, FALSE);
    EXPECT_GE(compressed, 1);
    EXPECT_GE(sparse, 1);
    EXPECT_GE(al_res, 1);
    EXPECT_GE(al_nonres, 1);
    EXPECT_EQ(streams, 1);
    EXPECT_GT(dos, 100);
    EXPECT_GE(big_index, 2);  // the big directory and the ones grown in turn
    CheckResult r = check(img, man);
    EXPECT_EQ(r.code, kConsistent) << r.summary;
}

class NtfsClusterSizes : public Scratch, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(NtfsClusterSizes, FullProfileFillsAndChecks) {
    uint32_t cs = GetParam();
    std::string img = file("vol.img");
    make_ntfs(img, 64 << 20, cs);
    Profile p = Profile::full();
    Manifest man = fill(img, p, 3);
    CheckResult r = check(img, man);
    EXPECT_EQ(r.code, kConsistent) << r.summary;
    FragCounts c = count(img);
    EXPECT_EQ(c.cluster_size, cs);
    EXPECT_EQ(c.free_clusters, ntfsinfo_free_clusters(img));
    EXPECT_GT(c.fragmented_files, 5u);
    EXPECT_GE(c.mft_fragments, p.mft_fragments);
    EXPECT_GE(double(c.free_clusters), 0.3 * double(c.total_clusters));
    int al_res = 0, al_nonres = 0, compressed = 0;
    for (auto &it : c.items) {
        al_res += it.attr_list == 1;
        al_nonres += it.attr_list == 2;
        compressed += it.compressed && it.kind == ItemCount::file;
    }
    EXPECT_GE(al_res, 1);
    EXPECT_GE(al_nonres, 1);
    // NTFS compresses only with clusters up to 4 KiB.
    EXPECT_EQ(compressed > 0, cs <= 4096);
}

INSTANTIATE_TEST_SUITE_P(Imgkit, NtfsClusterSizes, ::testing::Values(512u, 1024u, 2048u, 4096u, 8192u));

TEST_F(NtfsKit, FreeShareIsKept) {
    Profile p = Profile::basic();
    p.large_files = 200;
    p.large_min = 256 << 10;
    p.large_max = 1 << 20;
    p.min_free_share = 0.5;
    make_filled(p, 5, 4096, 32 << 20);
    FragCounts c = count(img);
    EXPECT_GE(double(c.free_clusters), 0.5 * double(c.total_clusters) - 64) << format_counts(c);
    EXPECT_EQ(check(img, man).code, kConsistent);
}

}  // namespace
