#pragma once
// One registration function per binding file; module.cpp calls them in the
// module's registration order.

#include <pybind11/pybind11.h>

namespace norvi::py_bind {

void register_gpu_context(pybind11::module_& m);   // OptiXContext
void register_device_info(pybind11::module_& m);   // device_info
void register_mesh_generators(pybind11::module_& m);
void register_embree_scene(pybind11::module_& m);
void register_simulate_cpu(pybind11::module_& m);
void register_simulate_forward_cpu(pybind11::module_& m);
void register_simulate_flux_cpu(pybind11::module_& m);
void register_simulate_lidar_cpu(pybind11::module_& m);
void register_simulate_microwave_cpu(pybind11::module_& m);  // simulate_microwave_cpu, make_mw_phase_tables
void register_energy_balance_cpu(pybind11::module_& m);  // both energy-balance runs

// The module of parts, norvi._parts: the four CPU simulations again, each
// with what picks a part of a run (parts_module.cpp).
void register_simulate_cpu_part(pybind11::module_& m);
void register_photon_parts(pybind11::module_& m);  // forward and flux
void register_simulate_lidar_cpu_part(pybind11::module_& m);
void register_energy_balance_parts(pybind11::module_& m);  // both energy-balance runs

}  // namespace norvi::py_bind
