#pragma once
// Simulator.simulate_microwave, added to the Simulator class where it is bound.

#include <memory>

#include "bindings/convert.h"
#include "gpu/simulator.h"

namespace norvi::py_bind {

// Adds the method to the Simulator class already registered in m.
void register_simulator_microwave(py::module_& m);

}  // namespace norvi::py_bind
