#pragma once
// Conversion of the passive microwave arguments (shared by the CPU function
// simulate_microwave_cpu and the GPU method Simulator.simulate_microwave).

#include "bindings/convert.h"
#include "scene/microwave_types.h"

namespace norvi::py_bind {

// Material list in the order soil rows, vegetation rows (tables from
// mw_veg_mueller_luts), trunk rows; the scalars copied as given. Rows shorter
// than what is read (10 soil, 6 vegetation and trunk values) and sampling
// tables shorter than the Mueller table's shape asks for are refused
// (std::invalid_argument); a Mueller table that is not (cti, cts, dphi, 4, 4)
// raises std::runtime_error "mueller_lut must be 5-D (cti,cts,dphi,4,4)"; a
// material_map whose values are not all 32-bit integers is refused.
MicrowaveParams microwave_params_from_args(float frequency, int n_channels, int spp, int max_depth,
                                           float air_temperature, bool include_atmosphere, float atm_tau,
                                           const FloatArray& mw_soil_params, const FloatArray& mw_veg_params,
                                           const FloatArray& mw_trunk_params, const IntArrayArg& material_map,
                                           const py::list& mw_veg_mueller_luts);

}  // namespace norvi::py_bind
