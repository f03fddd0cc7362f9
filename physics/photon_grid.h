#pragma once
// Where a photon's energy lands in the horizontal tally grids of the photon
// engines. Both grids start at the world origin with cells of size
// (cell_x, cell_y); the forward grid adds vertical layers between given
// heights. Indices are computed in float and never overflow an int, whatever
// the coordinate (infinities and NaN included).

#include <cstddef>

#include "scene/host_device.h"

namespace norvi {

// Forward grid column (or row) of coordinate `coord`: coord / cell truncated
// toward zero, clamped to [0, n - 1]. Hits outside the tile land in the edge
// cells.
NORVI_HD int clamped_cell(float coord, float cell, int n) {
    const float q = coord / cell;
    if (!(q >= 1.0f)) return 0;  // below one cell, negative or NaN
    if (q >= static_cast<float>(n)) return n - 1;
    const int i = static_cast<int>(q);
    return i < n ? i : n - 1;
}

// Flux grid column (or row): coord / cell truncated toward zero, or -1 when
// that lies outside [0, n - 1]. A coordinate of -0.3 cells truncates to 0 and
// is inside; -1.2 cells is outside.
NORVI_HD int grid_cell_or_none(float coord, float cell, int n) {
    const float q = coord / cell;
    if (!(q > -1.0f)) return -1;  // at or below -1 cell, or NaN
    if (q >= static_cast<float>(n)) return -1;
    const int i = static_cast<int>(q);
    return i < n ? i : -1;
}

// Layer of height z among `layers` layers bounded by heights[0..layers]: the
// first k with heights[k] <= z < heights[k + 1]; heights below heights[0] go
// to layer 0, any other height outside every layer to the last one.
NORVI_HD int layer_of_height(const float* heights, int layers, float z) {
    for (int k = 0; k < layers; ++k)
        if (heights[k] <= z && z < heights[k + 1]) return k;
    return z < heights[0] ? 0 : layers - 1;
}

// Flat index of band b of cell (ix, iy) in layer k of an nx x ny x layers
// grid: band fastest, then x, then y, then layer.
NORVI_HD std::size_t grid_index(int k, int iy, int ix, int nx, int ny, int num_bands, int b) {
    const std::size_t cell = (static_cast<std::size_t>(k) * static_cast<std::size_t>(ny) +
                              static_cast<std::size_t>(iy)) *
                                 static_cast<std::size_t>(nx) +
                             static_cast<std::size_t>(ix);
    return cell * static_cast<std::size_t>(num_bands) + static_cast<std::size_t>(b);
}

}  // namespace norvi
