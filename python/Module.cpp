#include "Bindings.h"

#include "TessaryHardwareAPI/Version.h"

// Frame reading for captures (FrameBinding.cpp).
void RegisterFrames(py::module_& m);

// PYBIND11_MODULE refuses any interpreter but the one it was compiled for
// ("Python version mismatch: ...") before anything is registered.
PYBIND11_MODULE(TessaryHardwareAPI, m) {
    // From its atexit hook on, threads coming back from a call are parked
    // and running servo loops are stopped (InterpreterExit.h).
    InterpreterExit::Install();
    m.doc() = "Python Implementation of the Tessary Hardware API";
    RegisterSerialStream(m);
    RegisterIdentifier(m);
    m.def("get_cpp_version", &API::GetLibraryVersion, "Get the version of the CPP library");
    m.def("print_cpp_version", &API::PrintLibraryVersion, "Print the version of the CPP library");
    RegisterDetection(m);
    RegisterTriaxon(m);
    RegisterHandle(m);
    m.attr("__version__") = "dev";
    RegisterPortProbes(m);
    RegisterLinkState(m);
    RegisterServoLoop(m);
    RegisterFrames(m);
}
