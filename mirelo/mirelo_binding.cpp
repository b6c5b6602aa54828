#include <pybind11/pybind11.h>

namespace py = pybind11;

PYBIND11_MODULE(_mirelo, m) { m.doc() = "QOLT Mirelo Python API (bind with C++ API by pybind11)"; }
