// Volume setup and teardown on mkntfs images filled by the image kit,
// opened through the emulated machine: what Initialize and InitializeDefrag
// load (checked against libntfs-3g and ntfsinfo), the partition data block,
// the refusals (not NTFS, no such drive, dirty, another NTFS version) and
// that none of it writes to the volume, and what OffLineExit releases.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include <imgkit/imgkit.h>

#include "frame_support.h"
#include "internal.h"
#include "ntfs.h"
#include "ntfs3g_reference.h"
#include "setup_support.h"

using frametest::Contains;

namespace {

// Filled images made once per cluster size, copied for each test.
struct Template {
    std::unique_ptr<imgkit::ScratchDir> dir;
    std::string image, error;
};

const Template &TemplateFor(uint32_t cluster) {
    static std::map<uint32_t, Template> templates;
    Template &t = templates[cluster];
    if (!t.dir) {
        t.dir = std::make_unique<imgkit::ScratchDir>();
        t.image = t.dir->file("c.img");
        try {
            imgkit::make_ntfs(t.image, 24 << 20, cluster);
            imgkit::Profile profile = imgkit::Profile::basic();
            profile.compressed_file = cluster <= 4096;
            imgkit::fill(t.image, profile, 7);
        } catch (const std::exception &e) {
            t.error = e.what();
        }
    }
    return t;
}

std::string Text(const WCHAR *w) {
    std::string s;
    for (; *w; w++) s += (char)*w;
    return s;
}

class VolumeSetup : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(machine.ok());
        ResetRun();
        units_ = dwNumUnits;
        writes_ = ntp::raw_write_count();
    }
    void TearDown() override {
        OffLineExit();
        EXPECT_EQ(dwNumUnits, units_) << "a block outlived the teardown";
        ResetRun();
    }
    static void ResetRun() {
        lPageOpt = 0;
        llPageFileZone = -1;
        bLast50 = 0;
        bLogFile = 0;
        hLogFile = nullptr;
        lLogLevel = 0;
        bScreenLog = 0;
        bExcludes = 0;
        lExcludes = 0;
    }
    // Copies the template for the cluster size to the machine's C:.
    void Image(uint32_t cluster = 4096) {
        const Template &t = TemplateFor(cluster);
        ASSERT_EQ(t.error, "");
        image = machine.Path("c.img");
        imgkit::copy_image(t.image, image);
    }
    bool Setup(std::string *screen) {
        BOOL ok = FALSE;
        *screen = frametest::Screen([&] {
            ok = Initialize(u"C:");
            if (ok) ok = InitializeDefrag();
        });
        return ok != FALSE;
    }
    uint64_t RawWrites() const { return ntp::raw_write_count() - writes_; }

    frametest::Machine machine{"C: image c.img\nD: folder ddrive\nA: folder logs\n"};
    std::string image;
    DWORD units_ = 0;
    uint64_t writes_ = 0;
};

TEST_F(VolumeSetup, LoadsWhatTheVolumeHolds) {
    for (uint32_t cluster : {512u, 4096u}) {
        SCOPED_TRACE("cluster " + std::to_string(cluster));
        Image(cluster);
        if (HasFatalFailure()) return;
        ntfsref::Volume reference = ntfsref::Load(image);
        ASSERT_EQ(reference.error, "");
        bLast50 = 1;
        std::string screen;
        ASSERT_TRUE(Setup(&screen)) << screen;
        EXPECT_EQ(screen, "");

        EXPECT_EQ(VolData.BytesPerCluster, cluster);
        EXPECT_EQ(VolData.TotalFileRecords * 1024, (LONGLONG)reference.mft.size());
        // The MFT's extents, without the system-area entry.
        std::vector<ntfsref::Run> mft = ntfsref::Merge(reference.mftRuns);
        ASSERT_EQ(VolData.MftExtentCount, (LONGLONG)mft.size());
        for (size_t i = 0; i < mft.size(); i++) {
            EXPECT_EQ(VolData.pMftExtentList[i].StartingLcn, mft[i].lcn);
            EXPECT_EQ(VolData.pMftExtentList[i].ClusterCount, mft[i].length);
        }
        EXPECT_EQ(VolData.MftSize, (LONGLONG)reference.mft.size());
        EXPECT_GE(VolData.InUseFileRecords, (LONGLONG)reference.records.size() - 8);
        EXPECT_LE(VolData.InUseFileRecords, VolData.TotalFileRecords);
        // The volume-bitmap file's runs.
        std::vector<ntfsref::Run> bitmap = ntfsref::Merge(reference.records.at(6).data.at(0).runs);
        ASSERT_EQ(llVolumeBitMapExtents, (LONGLONG)bitmap.size());
        for (size_t i = 0; i < bitmap.size(); i++) {
            EXPECT_EQ(pVolumeBitMapExtent[i].StartingLcn, bitmap[i].lcn);
            EXPECT_EQ(pVolumeBitMapExtent[i].ClusterCount, bitmap[i].length);
        }
        // The end of record 10's first extent.
        const auto &upcase = reference.records.at(10).data.at(0).runs.at(0);
        EXPECT_EQ(VolData.SystemAreaEnd, upcase.lcn + upcase.length);
        // Buffers of the sizes the moves rely on.
        EXPECT_EQ(GlobalSize(VolData.hVolumeBitmap), (SIZE_T)VolumeBitmapBlockBytes());
        EXPECT_EQ((ULONG_PTR)pMoveBuffer % 512, 0u);
        EXPECT_EQ((ULONG_PTR)pFrsBuffer % 512, 0u);
        EXPECT_GE((BYTE *)hMoveBuffer + GlobalSize(hMoveBuffer), pMoveBuffer + 65536 + 512);
        EXPECT_EQ((ULONG_PTR)VolData.pMftBuffer % 512, 0u);
        EXPECT_GE((BYTE *)VolData.hMftBuffer + GlobalSize(VolData.hMftBuffer), VolData.pMftBuffer + 65536);
        EXPECT_EQ(llMaxFrns, 200);
        EXPECT_EQ(llUsedFrns, 0);
        EXPECT_EQ(GlobalSize(hLast50), 3280400u);
        EXPECT_EQ(bMoveDirs, 1);
        EXPECT_EQ(VolData.hAttribExtentList, nullptr);
        // Reading the volume is all setup did.
        EXPECT_EQ(RawWrites(), 0u);

        EXPECT_TRUE(OffLineExit());
        EXPECT_EQ(dwNumUnits, units_);
        EXPECT_EQ(VolData.hVolume, INVALID_HANDLE_VALUE);
        EXPECT_EQ(hMoveBuffer, nullptr);
        EXPECT_EQ(pMoveBuffer, nullptr);
        EXPECT_EQ(hPageFileNames, nullptr);
        EXPECT_EQ(hLast50, nullptr);
        bLast50 = 0;
        // A second teardown finds nothing left to release.
        EXPECT_TRUE(OffLineExit());
        EXPECT_EQ(dwNumUnits, units_);
    }
}

TEST_F(VolumeSetup, PartitionDataMatchesNtfsinfo) {
    Image(4096);
    if (HasFatalFailure()) return;
    std::map<std::string, std::string> info = setuptest::NtfsInfo(image);
    ASSERT_FALSE(info.empty());
    ntfsref::Volume reference = ntfsref::Load(image);
    ASSERT_EQ(reference.error, "");
    std::string screen;
    ASSERT_TRUE(Setup(&screen)) << screen;
    screen = frametest::Screen([] { DisplayNtfsVolumeStats(); });

    long long total = std::stoll(info.at("Volume Size in Clusters"));
    long long mftLcn = std::stoll(info.at("LCN of Data Attribute for FILE_MFT"));
    std::vector<ntfsref::Run> bitmap = ntfsref::Merge(reference.records.at(6).data.at(0).runs);
    long long bitmapClusters = 0;
    for (auto &r : bitmap) bitmapClusters += r.length;
    char expected[2048];
    snprintf(expected, sizeof expected,
             "          Data for partition C:\n"
             "=========================================\n"
             "Bytes per sector             =   %8s\n"
             "Bytes per cluster            =   %8s\n"
             "Sectors per cluster          =   %8d\n"
             "Total clusters on partition  =   %8lld\n"
             "Bytes per File Record Segment=   %8s\n"
             "Volume Bitmap Start LCN      = 0x%08llx\n"
             "Volume Bitmap Extents        =   %8zu\n"
             "Volume Bitmap Cluster Count  =   %8lld\n"
             "Volume Bitmap Size           =   %8lld\n"
             "Total File Records           =   %8zu\n"
             "MFT Start LCN                = 0x%08llx\n"
             "MFT Area Start               = 0x%08llx\n"
             "MFT Area End                 = 0x%08llx\n"
             "MFT Start Offset             = 0x%08llx\n\n",
             info.at("Sector Size").c_str(), info.at("Cluster Size").c_str(),
             std::stoi(info.at("Cluster Size")) / std::stoi(info.at("Sector Size")), total,
             info.at("MFT Record Size").c_str(), (long long)bitmap.at(0).lcn, bitmap.size(), bitmapClusters,
             (total + 31) / 32 * 32 + 32, reference.mft.size() / 1024, mftLcn, std::stoll(info.at("MFT Zone Start")),
             std::stoll(info.at("MFT Zone End")), mftLcn * 4096);
    EXPECT_EQ(screen, expected);
    // The bitmap file holds one bit per cluster.
    EXPECT_GE(bitmapClusters * 4096 * 8, total);
}

TEST_F(VolumeSetup, DirtyVolumeIsRefusedUntouched) {
    Image(4096);
    if (HasFatalFailure()) return;
    std::string why;
    ASSERT_TRUE(setuptest::PatchVolumeInformation(image, 0x0001, -1, -1, &why)) << why;
    std::string before = machine.ReadFile("c.img");
    std::string screen;
    EXPECT_FALSE(Setup(&screen));
    EXPECT_EQ(screen, "Boot-time defragmenter detected that this volume is slated to have CHKDSK run,\n"
                      "Boot-time defragmenter cannot run on a dirty volume.  Please run CHKDSK /f");
    EXPECT_TRUE(OffLineExit());
    EXPECT_EQ(RawWrites(), 0u);
    EXPECT_TRUE(machine.ReadFile("c.img") == before) << "the dirty volume was changed";
}

TEST_F(VolumeSetup, OtherNtfsVersionIsRefusedBeforeThePagingFileIsTouched) {
    Image(4096);
    if (HasFatalFailure()) return;
    std::string why;
    ASSERT_TRUE(setuptest::PatchVolumeInformation(image, 0, 1, 2, &why)) << why;
    // A paging file to place: the refusal must come first.
    ASSERT_TRUE(machine.SetMultiSz(u"Session Manager\\Memory Management", u"PagingFiles", {u"C:\\pagefile.sys 1 1"}));
    std::string before = machine.ReadFile("c.img");
    lPageOpt = 3;
    std::string screen;
    EXPECT_FALSE(Setup(&screen));
    EXPECT_EQ(screen, "Device C: not legal for boot-time defragmentation (NTFS version incompatible)\n");
    EXPECT_EQ(lPageOpt, 3);
    EXPECT_TRUE(OffLineExit());
    EXPECT_EQ(RawWrites(), 0u);
    EXPECT_TRUE(machine.ReadFile("c.img") == before) << "the refused volume was changed";
    // Version 3.0 (Windows 2000 before its service packs) is version 3.
    ASSERT_TRUE(setuptest::PatchVolumeInformation(image, 0, 3, 0, &why)) << why;
    lPageOpt = 0;
    EXPECT_TRUE(Setup(&screen)) << screen;
}

TEST_F(VolumeSetup, LargeClustersAreNotPrepared) {
    Image(8192);
    if (HasFatalFailure()) return;
    ASSERT_TRUE(machine.SetMultiSz(u"Session Manager\\Memory Management", u"PagingFiles", {u"C:\\pagefile.sys 1 1"}));
    std::string before = machine.ReadFile("c.img");
    lPageOpt = 3;
    std::string screen;
    // Setup succeeds so that the partition data can be shown, but the run
    // will refuse the volume: the paging file is left alone.
    EXPECT_TRUE(Setup(&screen)) << screen;
    EXPECT_EQ(screen, "");
    EXPECT_EQ(VolData.BytesPerCluster, 8192);
    EXPECT_EQ(lPageOpt, 0);
    EXPECT_EQ(bPageFileFound, 0);
    EXPECT_TRUE(OffLineExit());
    EXPECT_EQ(RawWrites(), 0u);
    EXPECT_TRUE(machine.ReadFile("c.img") == before) << "the volume was changed";
}

TEST_F(VolumeSetup, NotNtfsOrNoDriveIsRefused) {
    machine.MakeFolder("ddrive");
    lLogLevel = 1;
    bScreenLog = 1;
    for (const char16_t *drive : {u"D:", u"Q:"}) {
        std::string screen = frametest::Screen([&] { EXPECT_FALSE(Initialize((const WCHAR *)drive)); });
        EXPECT_TRUE(Contains(screen, "Error #0 at line")) << screen;
        EXPECT_EQ(VolData.hFileRecord, nullptr);
        EXPECT_TRUE(OffLineExit());
        EXPECT_EQ(dwNumUnits, units_);
    }
}

TEST_F(VolumeSetup, SetupAfterTeardownStartsAfresh) {
    Image(4096);
    if (HasFatalFailure()) return;
    std::string screen;
    ASSERT_TRUE(Setup(&screen)) << screen;
    LONGLONG records = VolData.TotalFileRecords;
    glFileStats[3] = 99;
    glAttribStats[1][2] = 99;
    OffLineExit();
    ASSERT_TRUE(Setup(&screen)) << screen;
    EXPECT_EQ(VolData.TotalFileRecords, records);
    EXPECT_EQ(glFileStats[3], 0);
    EXPECT_EQ(glAttribStats[1][2], 0);
    EXPECT_EQ(Text(VolData.cDrive), "C:");
}

}  // namespace
