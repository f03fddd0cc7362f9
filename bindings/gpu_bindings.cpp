// OptiXContext and device_info: the GPU device as Python sees it.

#include <Python.h>

#include <memory>

#include "bindings/int_args.h"
#include "bindings/registry.h"
#include "gpu/device_info.h"
#include "gpu/optix_context.h"

namespace norvi::py_bind {

namespace py = pybind11;

namespace {

// Device names are UTF-8; a malformed byte becomes U+FFFD instead of an error.
py::str utf8_text(const std::string& s) {
    PyObject* text = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
    if (!text) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

}  // namespace

void register_gpu_context(py::module_& m) {
    Class<OptiXContext, std::unique_ptr<OptiXContext>>(m, "OptiXContext",
                                                            py::release_gil_before_calling_cpp_dtor())
        .def(py::init(with_named_ints(
                 "OptiXContext", false, [](int device_id) { return std::make_unique<OptiXContext>(device_id); },
                 py::arg("device_id"))),
             py::arg("device_id") = 0)
        .def("device_name", [](const OptiXContext& c) { return utf8_text(c.device_name()); })
        .def("total_vram_mb", &OptiXContext::total_vram_mb)
        .def("free_vram_mb", &OptiXContext::free_vram_mb);
}

void register_device_info(py::module_& m) {
    def(m, "device_info",
        [](int device_id) {
            const DeviceInfo info = query_device_info(device_id);
            py::dict d;
            d["name"] = utf8_text(info.name);
            d["total_vram_mb"] = info.total_vram_mb;
            d["free_vram_mb"] = info.free_vram_mb;
            d["compute_capability"] = info.compute_capability;
            d["optix_abi"] = info.optix_abi;
            return d;
        },
        py::arg("device_id") = 0);
}

}  // namespace norvi::py_bind
