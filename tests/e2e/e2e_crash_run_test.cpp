// Whole runs stopped in place of one raw write, as a power cut would stop
// them. A small kit image, NTFS, FAT16 or FAT32, is scheduled (FILES=FULL, or with
// no keywords: the default run) and booted once with every raw write logged,
// to count them;
// then, per stop point k, a fresh copy of the scheduled machine is booted
// and the platform stops the program in place of its k-th raw write
// (NT_FAIL_WRITE_AT). The stop points are the first and the last 20 writes
// and a spread between them, at least 200 in all (every write of a shorter
// run), within a time budget. After every stop the volume is judged by tools
// nobody here wrote: on NTFS ntfsresize --info, ntfs-3g.probe, ntfsfix -n
// and every file's content through the image kit, every record's runs
// against $Bitmap through libntfs-3g, every directory's listing through
// ntfsls; on FAT fsck.fat -n, every file's content through mcopy, every
// directory's listing through mdir. Clusters in use that no file owns (lost
// clusters) are allowed. A stop in place of the MFT mirror's write, which
// follows every write of record 0, leaves the mirror as the record was:
// that, and nothing else, is reported, and ntfsfix's repair leaves a sound
// volume. A stop between the writes of two FAT copies leaves them
// different: each copy, taken as the FAT, must then give a sound volume. Last, the image one stop in
// the middle of the run left is scheduled again and booted: that run
// completes and leaves the volume sound but for lost clusters.
#include <chrono>
#include <filesystem>
#include <iterator>

#include "e2e_support.h"
#include "move_reference.h"
#include "mtools.h"

using namespace e2e;

namespace {

struct CrashRun {
    const char *name;
    bool fat;
    const char *keywords;
    int bits = 0;             // FAT16 or FAT32
    uint64_t megabytes = 16;  // the volume's size
    uint32_t cluster = 1024;  // bytes per cluster
};
void PrintTo(const CrashRun &c, std::ostream *os) { *os << c.name; }

// The stop points of a run of `writes` raw writes: the first and the last
// 20, then `spread` more spread evenly between them, in that order, each
// once.
std::vector<int> StopPoints(int writes, int spread) {
    std::vector<int> points;
    std::set<int> seen;
    auto add = [&](int k) {
        if (k >= 1 && k <= writes && seen.insert(k).second) points.push_back(k);
    };
    for (int k = 1; k <= 20; k++) add(k);
    for (int k = writes - 19; k <= writes; k++) add(k);
    for (int i = 1; i <= spread; i++) add(20 + (int)((int64_t)i * (writes - 40) / (spread + 1)));
    for (int k = 21; k < writes - 20 && (int)points.size() < 40 + spread; k++) add(k);  // a short run: all
    return points;
}

// Little-endian field of a byte string.
uint64_t Field(const std::string &bytes, size_t at, size_t size) {
    uint64_t v = 0;
    for (size_t i = 0; i < size; i++) v |= (uint64_t)(uint8_t)bytes[at + i] << (8 * i);
    return v;
}

class CrashRunTest : public testing::TestWithParam<CrashRun> {
protected:
    void SetUp() override {
        fat_ = GetParam().fat;
        image_ = dir_.file("c.img");
        machine_ = dir_.file("m");
        if (fat_)
            imgkit::make_fat(image_, GetParam().megabytes << 20, GetParam().bits, GetParam().cluster);
        else
            imgkit::make_ntfs(image_, GetParam().megabytes << 20, GetParam().cluster);
        imgkit::Profile profile = imgkit::Profile::basic();
        profile.frag_dirs = 40;  // a default run moves enough to write 200 times
        manifest_ = imgkit::fill(image_, profile, 19);
        Tool("create " + Quote(machine_));
        Tool("attach " + Quote(machine_) + " C: image " + Quote(image_));
        std::filesystem::copy(machine_ + "/config", dir_.file("unscheduled"));
        std::ifstream in(image_, std::ios::binary);
        boot_.assign(512, '\0');
        in.read(&boot_[0], 512);
        if (fat_) {
            listing_ = Unlisted(mtools::Listing(image_));
            ASSERT_FALSE(listing_.empty());
            return;
        }
        std::string error;
        paths_ = ntfsref::ListPaths(image_, &error);
        ASSERT_EQ(error, "");
        mirrorOffset_ = (int64_t)(Field(boot_, 0x38, 8) * Field(boot_, 0x0B, 2) * Field(boot_, 0x0D, 1));
    }
    std::string Tool(const std::string &arguments, const std::string &environment = "") {
        int rc = -1;
        std::string out = Shell(environment + " " + Quote(NTMACHINE) + " " + arguments, &rc);
        EXPECT_EQ(rc, 0) << "ntmachine " << arguments << ":\n" << out;
        return out;
    }
    // The machine's registry as it was saved in `folder`.
    void Registry(const std::string &folder) {
        std::filesystem::copy(dir_.file(folder), machine_ + "/config",
                              std::filesystem::copy_options::overwrite_existing |
                                  std::filesystem::copy_options::recursive);
    }
    // Schedules the run with the keywords, on the volume as it is.
    void Schedule(const std::string &keywords) {
        Registry("unscheduled");
        Tool("schedule " + Quote(machine_) + " C: " + keywords);
    }
    std::string Boot(const std::string &environment) {
        return Tool("boot " + Quote(machine_) + " --fast", "NT_TIME_SCALE=0 " + environment);
    }
    // A FAT listing without the trigger file's lines.
    static std::string Unlisted(const std::string &listing) {
        std::string out, line;
        std::istringstream lines(listing);
        while (std::getline(lines, line))
            if (line.find("DEFRAGME") == std::string::npos && line.find("Defragme") == std::string::npos)
                out += line + "\n";
        return out;
    }
    // The FAT checkers: fsck.fat -n and every file's content, and every
    // directory's listing. When the copies differ, each is taken as the FAT
    // on a copy of the image in turn.
    void JudgeFat(const std::string &when) {
        imgkit::CheckOptions structure;
        structure.compare_content = false;
        imgkit::CheckResult r = imgkit::check(image_, manifest_, structure);
        bool differ = false;
        for (const auto &l : r.details) differ |= l.find("FATs differ") != std::string::npos;
        std::vector<std::string> images{image_};
        if (differ) {
            images.clear();
            std::ifstream in(image_, std::ios::binary);
            std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            uint64_t first = Field(boot_, 14, 2) * Field(boot_, 11, 2), copies = Field(boot_, 16, 1);
            uint64_t size = (Field(boot_, 22, 2) ? Field(boot_, 22, 2) : Field(boot_, 36, 4)) * Field(boot_, 11, 2);
            for (uint64_t from = 0; from < copies; from++) {
                std::string taken = bytes;
                for (uint64_t to = 0; to < copies; to++)
                    taken.replace(first + to * size, size, bytes, first + from * size, size);
                images.push_back(dir_.file("copy" + std::to_string(from) + ".img"));
                std::ofstream(images.back(), std::ios::binary) << taken;
            }
        }
        for (const std::string &image : images) {
            std::string as = when + (differ ? ", FAT copy " + image.substr(image.size() - 5, 1) + " taken" : "");
            r = imgkit::check(image, manifest_);
            EXPECT_TRUE(r.code == imgkit::kConsistent || r.code == imgkit::kLostClusters) << as << ": " << r.summary;
            EXPECT_EQ(r.files_checked, manifest_.files.size()) << as;
            EXPECT_EQ(Unlisted(mtools::Listing(image)), listing_) << as << ": every directory lists as before";
        }
        fatsDiffered_ += differ;
    }
    // The independent checkers on the volume as a run left it; `mirror`: the
    // run stopped in place of the mirror's write.
    void Judge(bool mirror, const std::string &when) {
        if (fat_) return JudgeFat(when);
        imgkit::CheckResult r = imgkit::check(image_, manifest_);
        if (mirror) {
            EXPECT_EQ(r.code, imgkit::kInconsistent) << when << ": " << r.summary;
            bool stale = false;
            for (const auto &l : r.details)
                stale |= l.find("$MFTMirr does not match $MFT (record 0)") != std::string::npos;
            EXPECT_TRUE(stale) << when << ": " << r.summary;
            int rc = -1;
            std::string out = Shell("ntfsfix " + Quote(image_), &rc);
            EXPECT_EQ(rc, 0) << when << ": " << out;
            r = imgkit::check(image_, manifest_);
        }
        EXPECT_TRUE(r.code == imgkit::kConsistent || r.code == imgkit::kLostClusters) << when << ": " << r.summary;
        EXPECT_EQ(r.files_checked, manifest_.files.size()) << when;
        moveref::CrossCheck x = moveref::Check(image_);
        for (size_t i = 0; i < x.errors.size() && i < 3; i++) ADD_FAILURE() << when << ": " << x.errors[i];
        EXPECT_GT(x.records, 100u) << when;
        std::string error;
        auto now = ntfsref::ListPaths(image_, &error);
        EXPECT_EQ(error, "") << when;
        auto before = paths_;
        for (auto *listing : {&now, &before})
            for (auto it = listing->begin(); it != listing->end();)
                it = it->second.count("/Defragme.dat") ? listing->erase(it) : std::next(it);
        EXPECT_TRUE(now == before) << when << ": every directory lists as before, the trigger file aside";
    }

    imgkit::ScratchDir dir_;
    bool fat_ = false;
    std::string image_, machine_, boot_, listing_;
    imgkit::Manifest manifest_;
    std::map<uint64_t, std::set<std::string>> paths_;
    int64_t mirrorOffset_ = -1;
    int fatsDiffered_ = 0;  // stops that left the FAT copies different
};

TEST_P(CrashRunTest, StoppedAnywhereTheVolumeStaysSoundAndASecondRunCompletes) {
    const CrashRun &c = GetParam();
    const int kSpread = 200;
    const double kBudgetSeconds = 480;
    Schedule(c.keywords);
    std::filesystem::copy(machine_ + "/config", dir_.file("scheduled"));
    std::string scheduled = dir_.file("scheduled.img"), crashed = dir_.file("crashed.img"), log = dir_.file("w.log");
    imgkit::copy_image(image_, scheduled);

    // The counting run.
    std::string screen = Boot("NT_WRITE_LOG=" + Quote(log));
    ASSERT_NE(screen.find("failed 0; the machine is up"), std::string::npos) << screen;
    std::vector<int64_t> offsets;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) {
        unsigned long long offset = 0, length = 0;
        if (sscanf(line.c_str(), "C: %llu %llu", &offset, &length) == 2) offsets.push_back((int64_t)offset);
    }
    int writes = (int)offsets.size();
    ASSERT_GE(writes, 240) << "a run long enough to stop at 200 points and more";
    Judge(false, "after the whole run");

    std::vector<int> points = StopPoints(writes, kSpread);
    int middle = 0;  // the stop the second run starts from
    auto start = std::chrono::steady_clock::now();
    int stopped = 0, mirrors = 0;
    for (int k : points) {
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (seconds > kBudgetSeconds) break;
        std::string when =
            std::string(c.name) + " stopped at write " + std::to_string(k) + " of " + std::to_string(writes);
        imgkit::copy_image(scheduled, image_);
        Registry("scheduled");
        screen = Boot("NT_FAIL_WRITE_AT=" + std::to_string(k));
        ASSERT_NE(screen.find("ended with exit status 99"), std::string::npos) << when << ": the run must stop there\n"
                                                                               << screen;
        bool mirror = offsets[(size_t)k - 1] == mirrorOffset_;
        if (!middle && !mirror && k >= writes / 2 && k <= writes - 20) {
            middle = k;
            imgkit::copy_image(image_, crashed);
        }
        Judge(mirror, when);
        stopped++;
        mirrors += mirror;
        if (testing::Test::HasFailure()) break;
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("%s: stopped at %d of %d write points (%d in place of the mirror's write, %d between two FAT copy "
           "writes; first and last 20 included) in %.0f s\n",
           c.name, stopped, writes, mirrors, fatsDiffered_, seconds);
    EXPECT_EQ(stopped, (int)points.size()) << "the time budget of " << kBudgetSeconds << " s ran out";
    EXPECT_GE(stopped, 200);
    if (testing::Test::HasFailure()) return;

    // A second run on the volume a stop in the middle left.
    ASSERT_GT(middle, 0);
    imgkit::copy_image(crashed, image_);
    Schedule(c.keywords);
    screen = Boot("");
    EXPECT_NE(screen.find("failed 0; the machine is up"), std::string::npos) << screen;
    EXPECT_NE(screen.find("\nTesserin boot-time processing completed.\n"), std::string::npos) << screen;
    Judge(false, std::string(c.name) + ": a second run after the stop at write " + std::to_string(middle));
    printf("%s: a second run after the stop at write %d completed\n", c.name, middle);
}

INSTANTIATE_TEST_SUITE_P(Runs, CrashRunTest,
                         testing::Values(CrashRun{"NtfsFilesFull", false, "FILES=FULL"},
                                         CrashRun{"NtfsDefault", false, ""},
                                         CrashRun{"Fat16FilesFull", true, "FILES=FULL", 16, 16, 2048},
                                         CrashRun{"Fat16Default", true, "", 16, 16, 2048},
                                         CrashRun{"Fat32FilesFull", true, "FILES=FULL", 32, 34, 512},
                                         CrashRun{"Fat32Default", true, "", 32, 34, 512}),
                         [](const testing::TestParamInfo<CrashRun> &i) { return std::string(i.param.name); });

}  // namespace
