#include "Bindings.h"

#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "TessaryHardwareAPI/Discovery.h"

// The interpreter lock stays held for the whole detection, so other Python
// threads wait until it returns; the probe threads never call into the
// interpreter, so this cannot deadlock. Paths become str as UTF-8; one that is
// not raises the decode error.
void RegisterDetection(py::module_& m) {
    m.def("detect_triaxons", [] { return API::DetectTriaxons(); }, "detect available triaxon devices");
    m.def("detect_handles", [] { return API::DetectHandles(); }, "detect available handles");
    m.def("detect_wired_handles", [] { return API::DetectWiredHandles(); }, "detect available wired handles");
    m.def("detect_wireless_handles", [] { return API::DetectWirelessHandles(); },
          "detect available wireless handles");
}
