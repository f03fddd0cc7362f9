// Everything the module holds, in the order users see it: shared by
// norvi_gpu and by its build on the emulated GPU.

#include "bindings/registry.h"

namespace norvi::py_bind {

void register_all(py::module_& m) {
    m.doc() = "NORVI - GPU-accelerated 3D Radiative Transfer Model";
    m.attr("__version__") = "0.1.0";

    register_gpu_context(m);  // OptiXContext
    register_gpu_scene(m);    // SceneManager
    register_simulator(m);    // Simulator
    register_device_info(m);  // device_info
    register_mesh_generators(m);  // make_ground_plane, make_sphere, make_cylinder
    m.attr("HAS_EMBREE") = true;
    register_embree_scene(m);  // EmbreeSceneManager
    register_simulate_cpu(m);
    register_simulate_forward_cpu(m);
    register_simulate_flux_cpu(m);
    register_simulate_lidar_cpu(m);
    register_simulate_microwave_cpu(m);  // simulate_microwave_cpu, make_mw_phase_tables
    register_energy_balance_cpu(m);      // run_energy_balance_cpu, run_energy_balance_multiband_cpu
    register_ptx_dir(m);  // PTX_DIR, the last registration
}

}  // namespace norvi::py_bind
