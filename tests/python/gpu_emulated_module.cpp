// norvi_gpu_emulated: the GPU bindings of norvi_gpu, linked against the
// platform emulation instead of the CUDA runtime, so the Python tests can
// drive OptiXContext and device_info on an emulated device (test builds only).

#include <pybind11/pybind11.h>

#include "bindings/registry.h"

PYBIND11_MODULE(norvi_gpu_emulated, m) {
    norvi::py_bind::register_gpu_context(m);
    norvi::py_bind::register_device_info(m);
}
