// The CPU simulation functions of the module. Each converts its arguments,
// runs one engine of norvi::embree on an EmbreeSceneManager with the
// interpreter lock held, and packs the result.

#include "bindings/convert.h"
#include "bindings/registry.h"
#include "cpu/render_backward.h"
#include "scene/embree_scene.h"

namespace norvi::py_bind {

using embree::EmbreeSceneManager;

namespace {

// Russian roulette from bounce 3, all hardware threads (or NORVI_NUM_THREADS).
py::array_t<float> backward_image(const EmbreeSceneManager& scene, int spp, int max_depth,
                                  const py::object& progress, embree::RowRange rows,
                                  bool release_gil) {
    const ProgressFn report = wrap_progress(progress);
    const embree::BackwardResult r = call_engine(release_gil, [&] {
        return embree::render_backward(scene, spp, max_depth, 3, 0, report, rows);
    });
    return make_array(r.image, {r.height, r.width, r.num_bands});
}

}  // namespace

#define NORVI_SIMULATE_CPU_ARGS                                                      \
    py::arg("scene"), py::arg("spp").noconvert() = 16, py::arg("max_depth").noconvert() = 16, \
        py::arg("progress") = py::none()

void register_simulate_cpu(py::module_& m) {
    def(m, "simulate_cpu",
        [](const EmbreeSceneManager& scene, int spp, int max_depth, const py::object& progress) {
            return backward_image(scene, spp, max_depth, progress, {}, false);
        },
        NORVI_SIMULATE_CPU_ARGS);
}

// The same for the band of rows [first_row, first_row + row_count) (count
// < 0: to the last row), in the module of parts, which renders with the
// interpreter lock released.
void register_simulate_cpu_part(py::module_& m) {
    def(m, "simulate_cpu",
        [](const EmbreeSceneManager& scene, int spp, int max_depth, const py::object& progress,
           int first_row, int row_count) {
            return backward_image(scene, spp, max_depth, progress, {first_row, row_count}, true);
        },
        NORVI_SIMULATE_CPU_ARGS, py::arg("first_row").noconvert() = 0,
        py::arg("row_count").noconvert() = -1);
}

}  // namespace norvi::py_bind
