#include "Bindings.h"

#include <dlfcn.h>

#include "TessaryHardwareAPI/Version.h"

// PYBIND11_MODULE refuses any interpreter but the one it was compiled for
// ("Python version mismatch: ...") before anything is registered.
PYBIND11_MODULE(TessaryHardwareAPI, m) {
    // Interpreter exit runs on the main thread: the one thread that may take
    // the interpreter lock back while it finalizes.
    FinalizingThread() = static_cast<pthread_t>(
        py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>());
    IsFinalizing() = reinterpret_cast<FinalizingQuery>(::dlsym(RTLD_DEFAULT, "_Py_IsFinalizing"));
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
}
