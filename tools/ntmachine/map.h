// `ntmachine map`: a picture of a volume, one cell per block of clusters,
// coloured by what the block holds most (see frag::Class), with a title and
// a legend. Drawn and written as PNG with cairo.
#pragma once

#include <cstdint>
#include <string>

#include "frag.h"

namespace ntm::map {

// Where the cells go. Cell i sits in column i % columns, row i / columns;
// its square of `cell - gap` pixels starts at (grid_x + column * cell,
// grid_y + row * cell). The title lies above the grid, the legend below.
struct Layout {
    int width = 0;
    int cell = 8;
    int gap = 1;
    int grid_x = 0, grid_y = 0;
    int columns = 0, rows = 0;
    uint64_t per_cell = 1;  // clusters per cell
    uint64_t cells = 0;
};

constexpr int kDefaultWidth = 1024;
constexpr int kMinWidth = 320, kMaxWidth = 8192;

// The grid for a volume of `total_clusters` on a picture `width` pixels wide
// (kMinWidth..kMaxWidth): at most 64 rows, as few clusters per cell as fit.
Layout layout(uint64_t total_clusters, int width);

struct Rgb {
    uint8_t r, g, b;
};
Rgb colour(int cls);

// Draws the map of a drive's report and writes it to `png`. Throws Failure
// when the file cannot be written. Returns the picture's height.
int render(const frag::Report &report, char letter, const Layout &layout, const std::string &png);

}  // namespace ntm::map
