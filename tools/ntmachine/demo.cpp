// `ntmachine demo`: a machine with a fragmented NTFS volume (C:), a
// fragmented FAT32 volume (D:) and a log folder (A:), made with the image
// test kit. With --run it is scheduled and booted, and the fragmentation and
// the independent checks are shown before and after.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <imgkit/imgkit.h>

#include "map.h"
#include "tool.h"

namespace fs = std::filesystem;

namespace ntm {

namespace {

constexpr const char *kMarker = ".demo-machine";  // a folder the demo may rebuild
constexpr uint64_t kNtfsSize = 64ull << 20;
constexpr uint64_t kFatSize = 64ull << 20;

struct Volume {
    char letter;
    const char *image;     // inside disks/
    const char *manifest;  // inside disks/
    const char *program;   // as it shows in BootExecute
    const char *log;
};
const Volume kVolumes[] = {
    {'C', "ntfs.img", "ntfs.manifest", "DOZUZORO", "A:\\dozuzoro.log"},
    {'D', "fat32.img", "fat32.manifest", "ZIRIZUD", "A:\\zirizud.log"},
};

void build(const fs::path &dir, uint64_t seed) {
    std::error_code ec;
    if (fs::exists(dir, ec)) {
        if (fs::exists(dir / kMarker, ec)) {
            fs::remove_all(dir, ec);
            if (ec)
                throw Failure(
                    format("%s: the old demo machine cannot be removed: %s", dir.c_str(), ec.message().c_str()));
        } else if (!fs::is_directory(dir, ec) || !fs::is_empty(dir, ec)) {
            throw Failure(format("%s exists and is not a demo machine: choose another folder", dir.c_str()));
        }
    }
    create_machine(dir.string());
    std::ofstream(dir / kMarker) << "made by ntmachine demo; ntmachine demo may remove and rebuild this folder\n";
    fs::create_directories(dir / "disks");
    fs::create_directories(dir / "logs");
    fs::create_directories(dir / "maps");

    std::printf("Making C: (NTFS, %llu MiB) and filling it with fragmented files...\n",
                static_cast<unsigned long long>(kNtfsSize >> 20));
    std::fflush(stdout);
    std::string ntfs = (dir / "disks" / kVolumes[0].image).string();
    imgkit::make_ntfs(ntfs, kNtfsSize, 4096, "DEMO");
    imgkit::fill(ntfs, imgkit::Profile::full(), seed).save((dir / "disks" / kVolumes[0].manifest).string());

    std::printf("Making D: (FAT32, %llu MiB) and filling it with fragmented files...\n",
                static_cast<unsigned long long>(kFatSize >> 20));
    std::fflush(stdout);
    std::string fat = (dir / "disks" / kVolumes[1].image).string();
    imgkit::make_fat(fat, kFatSize, 32, 0, "DEMO");
    imgkit::fill(fat, imgkit::Profile::basic(), seed + 1).save((dir / "disks" / kVolumes[1].manifest).string());

    attach_drive(dir.string(), "C:", "image", ntfs);
    attach_drive(dir.string(), "D:", "image", fat);
    attach_drive(dir.string(), "A:", "folder", (dir / "logs").string());
    register_paging_file(dir.string(), "C:", "pagefile.sys", 2, 4);
}

// Shows the fragmentation of both drives and writes their maps to
// DIR/maps/X-STAGE.png.
void show_frag(const fs::path &dir, const char *when, const char *stage, std::vector<frag::Report> *out) {
    std::printf("\n--- Fragmentation %s ---\n", when);
    std::string maps;
    for (const Volume &v : kVolumes) {
        frag::Report r = fragmentation(dir.string(), v.letter);
        std::fputs(frag::to_text(r, v.letter, 5).c_str(), stdout);
        std::string png = (dir / "maps" / format("%c-%s.png", v.letter, stage)).string();
        map::render(r, v.letter, map::layout(r.total_clusters, map::kDefaultWidth), png);
        maps += "  " + png + "\n";
        out->push_back(std::move(r));
    }
    std::printf("Maps %s:\n%s", when, maps.c_str());
    std::fflush(stdout);
}

bool check_volumes(const fs::path &dir) {
    bool good = true;
    std::printf("\n--- Independent checks (file-system checkers and file contents) ---\n");
    for (const Volume &v : kVolumes) {
        imgkit::Manifest m = imgkit::Manifest::load((dir / "disks" / v.manifest).string());
        imgkit::CheckResult r = imgkit::check((dir / "disks" / v.image).string(), m);
        const char *verdict = r.code == imgkit::kConsistent        ? "consistent"
                              : r.code == imgkit::kLostClusters    ? "consistent, with lost clusters"
                              : r.code == imgkit::kInconsistent    ? "INCONSISTENT"
                              : r.code == imgkit::kContentMismatch ? "CONTENT CHANGED"
                                                                   : "could not be checked";
        std::printf("%c: %s: %s (%llu files compared)\n", v.letter, verdict, r.summary.c_str(),
                    static_cast<unsigned long long>(r.files_checked));
        if (r.code != imgkit::kConsistent && r.code != imgkit::kLostClusters) good = false;
    }
    return good;
}

}  // namespace

int cmd_demo(const std::vector<std::string> &args) {
    std::string dirArg;
    bool run = false;
    uint64_t seed = 1;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--run")
            run = true;
        else if (args[i] == "--seed" && i + 1 < args.size())
            seed = std::strtoull(args[++i].c_str(), nullptr, 10);
        else if (dirArg.empty() && args[i].rfind("--", 0) != 0)
            dirArg = args[i];
        else
            throw Failure(format("demo: unexpected argument \"%s\"", args[i].c_str()));
    }
    if (dirArg.empty()) throw Failure("usage: ntmachine demo DIR [--run] [--seed N]");
    fs::path dir = fs::absolute(dirArg).lexically_normal();
    if (!dir.has_filename()) dir = dir.parent_path();

    try {
        build(dir, seed);
    } catch (const imgkit::Error &e) {
        throw Failure(format("the demo volumes cannot be made: %s", e.what()));
    }
    std::printf("\nDemo machine ready: %s\n  C: NTFS image, D: FAT32 image, A: log folder (logs/)\n", dir.c_str());
    std::vector<frag::Report> before, after;
    if (!run) {
        show_frag(dir, "before a run", "before", &before);
        std::printf("Next:\n");
        for (const Volume &v : kVolumes)
            std::printf("  ntmachine schedule %s %c: FILES=FULL 'LOG=%s'\n", dir.c_str(), v.letter, v.log);
        std::printf("  ntmachine boot %s --fast\n  ntmachine frag %s C:\n", dir.c_str(), dir.c_str());
        return 0;
    }

    show_frag(dir, "before the boot-time runs", "before", &before);
    std::printf("\n");
    for (const Volume &v : kVolumes) {
        std::string entry =
            schedule_run(dir.string(), std::string(1, v.letter) + ":", {"FILES=FULL", std::string("LOG=") + v.log});
        std::printf("Scheduled \"%s\"\n", entry.c_str());
    }
    std::printf("\n");
    BootSummary sum = boot_machine(dir.string(), true, 8);
    show_frag(dir, "after the boot-time runs", "after", &after);

    std::printf("\n--- Before -> after ---\n");
    for (size_t i = 0; i < before.size(); ++i) {
        const frag::Report &b = before[i], &a = after[i];
        std::printf("%c: %-5s fragmented files %llu -> %llu, extra fragments %llu -> %llu, "
                    "fragmented directories %llu -> %llu, free extents %llu -> %llu\n",
                    kVolumes[i].letter, b.fs.c_str(), (unsigned long long)b.fragmented_files,
                    (unsigned long long)a.fragmented_files, (unsigned long long)b.extra_file_fragments,
                    (unsigned long long)a.extra_file_fragments, (unsigned long long)b.fragmented_dirs,
                    (unsigned long long)a.fragmented_dirs, (unsigned long long)b.free_extents,
                    (unsigned long long)a.free_extents);
    }
    bool good = check_volumes(dir);
    if (sum.programs_run == 0)
        std::printf("\nNote: no boot-time program ran (they are not built yet): the volumes are unchanged.\n");
    std::printf("Logs of the runs, when written: %s\n", (dir / "logs").c_str());
    return good && (sum.completed || sum.halted) ? 0 : 1;
}

}  // namespace ntm
