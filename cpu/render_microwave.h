#pragma once
// Passive microwave brightness-temperature image of a built CPU scene: the
// shared per-pixel path of physics/mw_path.h on worker threads.

#include <functional>
#include <vector>

#include "scene/embree_scene.h"
#include "scene/microwave_types.h"

namespace norvi::embree {

// Brightness temperatures [K]; channel k of pixel (column x, row y) is at
// image[(y * width + x) * n_channels + k].
struct MicrowaveResult {
    std::vector<float> image;
    int width = 0;
    int height = 0;
    int n_channels = 0;
};

// One image at p.frequency with p.spp samples per pixel, on num_threads
// workers (below 1: all hardware threads). Pixel i = y * width + x draws from
// its own generator (seeded as the GPU seeds it), so the image does not depend
// on the thread count.
//
// Throws std::runtime_error "Scene not built. Call scene.build() first." for
// an unbuilt scene, and std::invalid_argument (before any tracing) for a
// sensor without pixels, a mesh naming a missing material, or parameters that
// validate_microwave_params refuses.
//
// progress, when set, is called after each batch of rows with (rows done,
// height, elapsed ms); an exception it throws stops the run.
MicrowaveResult simulate_microwave_cpu(const EmbreeSceneManager& scene, const MicrowaveParams& p,
                                       int num_threads,
                                       const std::function<void(int, int, float)>& progress = {});

}  // namespace norvi::embree
