// `ntmachine map`: the cluster map of a drive as a PNG picture.
#include "map.h"

#include <cairo.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "tool.h"

namespace ntm::map {

namespace {

constexpr int kMargin = 12;
constexpr int kTitleHeight = 46;  // two lines of text above the grid
constexpr int kMaxRows = 64;
constexpr int kLegendRow = 18;
constexpr int kLegendColumn = 300;

const Rgb kColours[frag::kClassCount] = {
    {0xFF, 0xFF, 0xFF},  // free
    {0xF2, 0xE2, 0x9B},  // MFT zone
    {0x55, 0x55, 0x55},  // system records
    {0x8E, 0x44, 0xC8},  // MFT
    {0xE8, 0x9A, 0x1E},  // directories
    {0x2F, 0x6F, 0xD6},  // contiguous files
    {0xD6, 0x2F, 0x2F},  // fragmented files
    {0x2E, 0xA0, 0x4E},  // paging file
    {0x1A, 0x1A, 0x1A},  // unmovable
    {0xB8, 0xB8, 0xB8},  // in use, held by no file
};
constexpr Rgb kGrid = {0xDD, 0xDD, 0xDD};

using ull = unsigned long long;

// 1234567 -> "1,234,567"
std::string grouped(uint64_t n) {
    std::string digits = std::to_string(n), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

void set(cairo_t *cr, Rgb c) { cairo_set_source_rgb(cr, c.r / 255.0, c.g / 255.0, c.b / 255.0); }

void text(cairo_t *cr, double x, double y, double size, bool bold, const std::string &s) {
    cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL,
                           bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
    cairo_move_to(cr, x, y);
    cairo_show_text(cr, s.c_str());
}

// The classes a legend shows for the file system.
std::vector<int> legend_classes(const frag::Report &r) {
    std::vector<int> out;
    for (int c = 0; c < frag::kClassCount; ++c) {
        bool ntfsOnly = c == frag::kMftZone || c == frag::kSystem || c == frag::kMft;
        if (r.fs == "NTFS" || !ntfsOnly) out.push_back(c);
    }
    return out;
}

}  // namespace

Rgb colour(int cls) { return kColours[std::clamp(cls, 0, frag::kClassCount - 1)]; }

Layout layout(uint64_t total_clusters, int width) {
    Layout l;
    l.width = std::clamp(width, kMinWidth, kMaxWidth);
    l.grid_x = kMargin;
    l.grid_y = kMargin + kTitleHeight;
    l.columns = std::max(1, (l.width - 2 * kMargin) / l.cell);
    uint64_t room = uint64_t(l.columns) * kMaxRows;
    l.per_cell = std::max<uint64_t>(1, (total_clusters + room - 1) / room);
    l.cells = (total_clusters + l.per_cell - 1) / l.per_cell;
    l.rows = int((l.cells + l.columns - 1) / uint64_t(l.columns));
    return l;
}

int render(const frag::Report &r, char letter, const Layout &l, const std::string &png) {
    frag::Cells cells = frag::tally(r, l.per_cell);
    std::array<uint64_t, frag::kClassCount> totals{};
    for (const auto &c : cells.counts)
        for (int k = 0; k < frag::kClassCount; ++k) totals[k] += c[k];
    std::vector<int> legend = legend_classes(r);
    int legendColumns = std::max(1, (l.width - 2 * kMargin) / kLegendColumn);
    int legendRows = int((legend.size() + legendColumns - 1) / legendColumns);
    int legendY = l.grid_y + l.rows * l.cell + 14;
    int height = legendY + legendRows * kLegendRow + kMargin;

    cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, l.width, height);
    cairo_t *cr = cairo_create(surface);
    set(cr, {0xFF, 0xFF, 0xFF});
    cairo_paint(cr);

    // Title: the drive and its geometry; below it the fragmentation counts.
    set(cr, {0, 0, 0});
    double freeShare = r.total_clusters ? 100.0 * double(r.free_clusters) / double(r.total_clusters) : 0;
    text(cr, kMargin, kMargin + 14, 15, true,
         format("%c:  %s  %s-byte clusters  %s clusters, %s free (%.1f%%)  1 cell = %s cluster%s", letter, r.fs.c_str(),
                grouped(r.cluster_size).c_str(), grouped(r.total_clusters).c_str(), grouped(r.free_clusters).c_str(),
                freeShare, grouped(l.per_cell).c_str(), l.per_cell == 1 ? "" : "s"));
    std::string counts =
        format("Files %s (%s fragmented, %s extra fragments)   Directories %s (%s fragmented)",
               grouped(r.files).c_str(), grouped(r.fragmented_files).c_str(), grouped(r.extra_file_fragments).c_str(),
               grouped(r.dirs).c_str(), grouped(r.fragmented_dirs).c_str());
    if (r.fs == "NTFS") counts += format("   MFT %s fragments", grouped(r.mft_fragments).c_str());
    counts += format("   Free space %s extents, largest %s clusters", grouped(r.free_extents).c_str(),
                     grouped(r.largest_free_extent).c_str());
    text(cr, kMargin, kMargin + 34, 11.5, false, counts);

    // The grid: its background shows between the cells.
    set(cr, kGrid);
    int fullRows = int(l.cells / uint64_t(l.columns)), lastRow = int(l.cells % uint64_t(l.columns));
    cairo_rectangle(cr, l.grid_x - l.gap, l.grid_y - l.gap, l.columns * l.cell + l.gap, fullRows * l.cell + l.gap);
    if (lastRow)
        cairo_rectangle(cr, l.grid_x - l.gap, l.grid_y - l.gap + fullRows * l.cell, lastRow * l.cell + l.gap,
                        l.cell + l.gap);
    cairo_fill(cr);
    int side = l.cell - l.gap;
    for (size_t i = 0; i < cells.counts.size(); ++i) {
        set(cr, colour(cells.major(i)));
        cairo_rectangle(cr, l.grid_x + int(i % l.columns) * l.cell, l.grid_y + int(i / l.columns) * l.cell, side, side);
        cairo_fill(cr);
    }

    // The legend: a swatch, the class, its clusters and share.
    for (size_t i = 0; i < legend.size(); ++i) {
        int c = legend[i];
        double x = kMargin + double(i % legendColumns) * kLegendColumn;
        double y = legendY + double(i / legendColumns) * kLegendRow;
        set(cr, {0x80, 0x80, 0x80});
        cairo_rectangle(cr, x, y, 12, 12);
        cairo_fill(cr);
        set(cr, colour(c));
        cairo_rectangle(cr, x + 1, y + 1, 10, 10);
        cairo_fill(cr);
        set(cr, {0, 0, 0});
        double share = r.total_clusters ? 100.0 * double(totals[c]) / double(r.total_clusters) : 0;
        text(cr, x + 18, y + 10.5, 11, false,
             format("%s  %s (%.1f%%)", frag::class_name(c), grouped(totals[c]).c_str(), share));
    }

    cairo_destroy(cr);
    cairo_surface_flush(surface);
    cairo_status_t status = cairo_surface_write_to_png(surface, png.c_str());
    cairo_surface_destroy(surface);
    if (status != CAIRO_STATUS_SUCCESS)
        throw Failure(format("%s: the picture cannot be written (%s)", png.c_str(), cairo_status_to_string(status)));
    return height;
}

}  // namespace ntm::map

namespace ntm {

int cmd_map(const std::vector<std::string> &args) {
    std::vector<std::string> plain;
    std::string png;
    int width = map::kDefaultWidth;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--png" && i + 1 < args.size()) {
            png = args[++i];
        } else if (args[i] == "--width" && i + 1 < args.size()) {
            char *end = nullptr;
            long w = std::strtol(args[++i].c_str(), &end, 10);
            if (!end || *end || w < map::kMinWidth || w > map::kMaxWidth)
                throw Failure(format("--width takes a number of pixels from %d to %d", map::kMinWidth, map::kMaxWidth));
            width = int(w);
        } else if (args[i].rfind("--", 0) == 0) {
            throw Failure(format("map: unknown option %s (see ntmachine map --help)", args[i].c_str()));
        } else {
            plain.push_back(args[i]);
        }
    }
    if (plain.size() != 2 || png.empty()) throw Failure("usage: ntmachine map DIR X: --png FILE [--width N]");
    char letter = parse_drive_letter(plain[1]);
    frag::Report r = fragmentation(plain[0], letter);
    map::Layout l = map::layout(r.total_clusters, width);
    int height = map::render(r, letter, l, png);
    std::printf("Map of %c: written to %s (%d x %d pixels, %llu cells of %llu cluster%s)\n", letter, png.c_str(),
                l.width, height, static_cast<unsigned long long>(l.cells), static_cast<unsigned long long>(l.per_cell),
                l.per_cell == 1 ? "" : "s");
    return 0;
}

}  // namespace ntm
