#pragma once
// One registration function per binding file; register_all calls them in the
// module's registration order.

#include <pybind11/pybind11.h>

namespace norvi::py_bind {

namespace py = pybind11;

void register_all(py::module_& m);

void register_gpu_context(py::module_& m);  // OptiXContext
void register_gpu_scene(py::module_& m);    // SceneManager
void register_simulator(py::module_& m);    // Simulator
void register_simulator_photon_modes(py::module_& m);  // Simulator.simulate_forward, _flux, _lidar
void register_simulator_energy_balance(py::module_& m);  // Simulator.run_energy_balance(_multiband)
void register_device_info(py::module_& m);  // device_info
void register_mesh_generators(py::module_& m);
void register_embree_scene(py::module_& m);
void register_simulate_cpu(py::module_& m);
void register_simulate_forward_cpu(py::module_& m);
void register_simulate_flux_cpu(py::module_& m);
void register_simulate_lidar_cpu(py::module_& m);
void register_simulate_microwave_cpu(py::module_& m);  // simulate_microwave_cpu, make_mw_phase_tables
void register_energy_balance_cpu(py::module_& m);  // run_energy_balance_cpu, run_energy_balance_multiband_cpu
void register_ptx_dir(py::module_& m);  // PTX_DIR: where the device programs are

// The module of parts, norvi._parts: the four CPU simulations again, each
// with what picks a part of a run (parts_module.cpp).
void register_simulate_cpu_part(pybind11::module_& m);
void register_photon_parts(pybind11::module_& m);  // forward and flux
void register_simulate_lidar_cpu_part(pybind11::module_& m);
void register_energy_balance_parts(pybind11::module_& m);  // both energy-balance runs

}  // namespace norvi::py_bind
