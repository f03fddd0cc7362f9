// The norvi_gpu module (bindings/register_all.cpp lists what it holds).

#include <pybind11/pybind11.h>

#include "bindings/registry.h"

PYBIND11_MODULE(norvi_gpu, m) { norvi::py_bind::register_all(m); }
