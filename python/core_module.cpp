// vorn_r10._core: the module's Error class, and counters() through the counters reader
// vorn-stat uses.
#include <pybind11/pybind11.h>

#include <stdexcept>

#include "counters_module.h"

namespace py = pybind11;

PYBIND11_MODULE(_core, m) {
    m.doc() = "The vorn_r10 library's counters and error class, for vorn_r10's Python API.";
    static py::exception<std::runtime_error> error(m, "Error", PyExc_RuntimeError);
    m.def("counters", &vorn_python::Counters, py::arg("dir") = "/dev/shm");
}
