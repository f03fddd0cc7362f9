// The CPU simulation functions of the module. Each converts its arguments,
// runs one engine of norvi::embree on an EmbreeSceneManager with the
// interpreter lock held, and packs the result.

#include "bindings/convert.h"
#include "bindings/registry.h"
#include "cpu/render_backward.h"
#include "scene/embree_scene.h"

namespace norvi::py_bind {

using embree::EmbreeSceneManager;

void register_simulate_cpu(py::module_& m) {
    m.def(
        "simulate_cpu",
        [](const EmbreeSceneManager& scene, int spp, int max_depth, const py::object& progress) {
            // Russian roulette from bounce 3, all hardware threads.
            const embree::BackwardResult r =
                embree::render_backward(scene, spp, max_depth, 3, 0, wrap_progress(progress));
            return make_array(r.image, {r.height, r.width, r.num_bands});
        },
        py::arg("scene"), py::arg("spp").noconvert() = 16, py::arg("max_depth").noconvert() = 16,
        py::arg("progress") = py::none());
}

}  // namespace norvi::py_bind
