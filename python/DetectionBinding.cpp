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

namespace {

// Detection's probe of one port, given the lock away while it waits.
template <bool (*Check)(const char*)>
bool ProbeOnePort(const std::string& port) {
    const char* path = PortPath(port);
    Unlocked unlocked;
    return Check(path);
}

}  // namespace

// One port at a time, for tools that report each probe as it ends. Unlike the
// detection functions these give the interpreter lock away while they wait, so
// other Python threads (a progress display) keep running.
void RegisterPortProbes(py::module_& m) {
    m.def("probe_triaxon", &ProbeOnePort<API::CheckTriaxon>, py::arg("port"),
          "probe one port for a triaxon (waits up to 3 s)");
    m.def("probe_handle", &ProbeOnePort<API::CheckHandle>, py::arg("port"),
          "probe one port for a handle (waits up to 5 s)");
}
