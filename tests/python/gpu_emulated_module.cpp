// norvi_gpu_emulated: the whole norvi_gpu module linked against the platform
// emulation instead of the CUDA runtime, so the Python tests drive the GPU
// classes on an emulated device beside the CPU engines (test builds only).

#include <pybind11/pybind11.h>

#include "bindings/registry.h"

PYBIND11_MODULE(norvi_gpu_emulated, m) { norvi::py_bind::register_all(m); }
