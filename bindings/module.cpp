// The norvi_gpu module: attributes and registration, in the order users see
// them in the module.

#include <pybind11/pybind11.h>

#include "bindings/registry.h"

namespace py = pybind11;

PYBIND11_MODULE(norvi_gpu, m) {
    m.doc() = "NORVI - GPU-accelerated 3D Radiative Transfer Model";
    m.attr("__version__") = "0.1.0";

    using namespace norvi::py_bind;
    // GPU back end: OptiXContext, SceneManager, Simulator, device_info.
    register_gpu_context(m);  // OptiXContext
    // SceneManager, Simulator.
    register_device_info(m);  // device_info
    register_mesh_generators(m);  // make_ground_plane, make_sphere, make_cylinder
    m.attr("HAS_EMBREE") = true;
    register_embree_scene(m);  // EmbreeSceneManager
    // CPU simulations: simulate_cpu, simulate_forward_cpu, simulate_flux_cpu, simulate_lidar_cpu.
    register_simulate_cpu(m);
    register_simulate_forward_cpu(m);
    register_simulate_flux_cpu(m);
    register_simulate_lidar_cpu(m);
    // Passive microwave on the CPU, and the phase tables it reads.
    register_simulate_microwave_cpu(m);
    // run_energy_balance_cpu, run_energy_balance_multiband_cpu: the last registrations.
    register_energy_balance_cpu(m);
}
