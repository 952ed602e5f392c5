#include "Bindings.h"

#include <string>

#include "TessaryHardwareAPI/SerialStream.h"

void RegisterSerialStream(py::module_& m) {
    // std::string takes str (as UTF-8), bytes and bytearray, and refuses None.
    // The argument has no keyword name on purpose: the port is positional only.
    py::class_<API::IO::SerialStream>(m, "SerialStream")
        .def(py::init([](const std::string& port) {
            // Opening can be slow; other Python threads run meanwhile. A raw
            // pointer lets pybind11 take ownership after the lock is back.
            py::gil_scoped_release unlocked;
            return new API::IO::SerialStream(port.c_str(), true);
        }));
}
