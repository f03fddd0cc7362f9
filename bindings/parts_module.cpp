// norvi._parts: the four CPU simulations with what picks a part of a run
// (a band of image rows, a range of photons, the run-wide index of the first
// pulse), and the two energy-balance runs over a range of primitives, for
// norvi.distributed, which splits a run into such parts. The
// norvi_gpu module keeps its functions as they are; this module takes the
// scenes it makes.

#include <pybind11/pybind11.h>

#include "bindings/registry.h"

PYBIND11_MODULE(_parts, m) {
    // EmbreeSceneManager arguments are norvi_gpu's class: load it first.
    pybind11::module_::import("norvi_gpu");
    using namespace norvi::py_bind;
    register_simulate_cpu_part(m);
    register_photon_parts(m);
    register_simulate_lidar_cpu_part(m);
    register_energy_balance_parts(m);
}
