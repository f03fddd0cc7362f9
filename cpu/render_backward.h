#pragma once
// Backward Monte Carlo rendering of the sensor image of a built CPU scene.

#include <functional>
#include <vector>

#include "scene/embree_scene.h"

namespace norvi {
struct BackwardSetup;
}

namespace norvi::embree {

using norvi::BackwardSetup;

// Spectral radiance image; band b of pixel (column x, row y) is at
// image[(y * width + x) * num_bands + b]. A render of a band of rows holds
// those rows only: row y of the result is sensor row first_row + y.
struct BackwardResult {
    std::vector<float> image;
    int width = 0;
    int height = 0;
    int num_bands = 0;
    int first_row = 0;
};

// The sensor rows a render covers: [first, first + count); count < 0 means
// up to the last row. Each pixel's random stream depends on its sensor row
// and column and on the pass only, so bands of rows rendered apart and
// stacked give the whole image bit for bit.
struct RowRange {
    int first = 0;
    int count = -1;
};

// spp passes of one jittered sample per pixel, paths of at most max_depth
// surface interactions (NORVI_MAX_DEPTH overrides it), Russian roulette from
// bounce rr_depth, num_threads workers (below 1: all hardware threads).
// progress(done passes, spp, elapsed ms) runs on the calling thread after each
// pass, with the image so far. spp below 1 gives an all-zero image. `rows`
// picks the band of sensor rows to render (default: all).
//
// Throws std::runtime_error when the scene is not built and
// std::invalid_argument for a sensor without pixels, a missing material, a
// thermal wavelength list shorter than the band count, or spectral arrays
// that run past the uploaded parameters, or a row range outside the sensor.
BackwardResult render_backward(const EmbreeSceneManager& scene, int spp, int max_depth, int rr_depth,
                               int num_threads,
                               const std::function<void(int, int, float)>& progress,
                               RowRange rows = {});

// Checks the scene and the sensor as render_backward does, and reads what a
// path needs (used by render_backward and by tools that drive the path code
// themselves). max_depth is taken as given (no environment override).
BackwardSetup make_backward_setup(const EmbreeSceneManager& scene, int max_depth, int rr_depth);

}  // namespace norvi::embree
