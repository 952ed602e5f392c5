#include "Bindings.h"

#include <pybind11/stl.h>

#include <cstdio>
#include <vector>

#include "TessaryHardwareAPI/Device.h"

py::object MakePythonUuid(const API::UUID& id) {
    // 32 lowercase hex digits, two per byte, byte 0 first: uuid.UUID reads the
    // text most significant digit first, so its big-endian bytes are ours.
    char hex[2 * 16 + 1];
    for (std::size_t i = 0; i < id.data.size(); ++i) {
        std::snprintf(hex + 2 * i, 3, "%02x", static_cast<unsigned>(id.data[i]));
    }
    // Imported on every call, not kept: the module then holds no Python object
    // between calls (nothing to let go of at interpreter exit), and a module
    // already imported is one look-up in sys.modules. A failing import or call
    // raises error_already_set, which reaches the script unchanged.
    py::object standard_uuid = py::module_::import("uuid").attr("UUID");
    return standard_uuid(py::arg("hex") = py::str(hex, 2 * 16));
}

void RegisterIdentifier(py::module_& m) {
    py::class_<API::UUID>(m, "UUID")
        .def(py::init<>())
        // std::vector gives the annotation "list[int]" and a new list of 16
        // ints, each 0 to 255, in storage order.
        .def("bytes", [](const API::UUID& id) {
            const auto bytes = id.bytes();
            return std::vector<uint8_t>(bytes.begin(), bytes.end());
        });

    // A bare type name: no constructor, so pybind11 raises TypeError
    // "TessaryHardwareAPI.Device: No constructor defined!".
    py::class_<API::Devices::Device>(m, "Device");
}
