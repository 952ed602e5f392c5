#include "Bindings.h"

#include <dlfcn.h>

#include "TessaryHardwareAPI/Version.h"

// PYBIND11_MODULE refuses any interpreter but the one it was compiled for
// ("Python version mismatch: ...") before anything is registered.
PYBIND11_MODULE(TessaryHardwareAPI, m) {
    // Interpreter exit runs on the main thread; from the atexit hooks on,
    // other threads coming back from a call are parked (see Unlocked).
    InterpreterExit::MainThread() = static_cast<pthread_t>(
        py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>());
    InterpreterExit::Finalizing() = reinterpret_cast<int (*)()>(::dlsym(RTLD_DEFAULT, "_Py_IsFinalizing"));
    py::module_::import("atexit").attr("register")(
        py::cpp_function([] { InterpreterExit::Begun().store(true, std::memory_order_release); }));
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
}
