#include "Bindings.h"

#include <string>

#include "TessaryHardwareAPI/SerialStream.h"

using API::IO::SerialStream;

void RegisterSerialStream(py::module_& m) {
    // std::string takes str (as UTF-8), bytes and bytearray, and refuses None.
    // The argument has no keyword name on purpose: the port is positional only.
    py::class_<SerialStream>(m, "SerialStream")
        .def(py::init([](const std::string& port) {
            const char* path = PortPath(port);
            // Opening can be slow; other Python threads run meanwhile. A raw
            // pointer lets pybind11 take ownership after the lock is back.
            py::gil_scoped_release unlocked;
            return new SerialStream(path, true);
        }))
        // Decoded as os.fsdecode does, so a bytes path that is not UTF-8
        // still reads back (and opens again) unchanged.
        .def_property_readonly(
            "port",
            [](const SerialStream& stream) {
                const std::string& port = stream.Port();
                PyObject* text = PyUnicode_DecodeFSDefaultAndSize(port.data(), static_cast<Py_ssize_t>(port.size()));
                if (text == nullptr) throw py::error_already_set();
                return py::reinterpret_steal<py::str>(text);
            },
            "The path the stream was opened with.")
        .def_property_readonly("is_open", &SerialStream::IsOpen, "True while the port is open.")
        .def_property_readonly("good", &SerialStream::Good,
                               "True while the port is open and no read or write has failed or timed out "
                               "since it was opened.")
        .def_property_readonly("timed_out", &SerialStream::TimedOut,
                               "True once a read has run out of its 1000 ms budget; the stream is then at "
                               "end-of-file until reopen().")
        // Closing a tty waits for its output to drain, and opening one can
        // be slow: other Python threads run meanwhile.
        .def("close", &SerialStream::Close, py::call_guard<py::gil_scoped_release>(),
             "Close the port. Idempotent; later exchanges fail at once and quietly.")
        .def(
            "reopen", [](SerialStream& stream) { return stream.Reopen() == 1; },
            py::call_guard<py::gil_scoped_release>(),
            "Close and open the same port again with a clean state, so that the devices over this stream work "
            "again. True on success; False after the usual error lines.")
        .def(
            "__enter__", [](SerialStream& stream) -> SerialStream& { return stream; },
            py::return_value_policy::reference, "Return the stream itself.")
        .def(
            "__exit__",
            [](SerialStream& stream, const py::args&) {
                py::gil_scoped_release unlocked;
                stream.Close();
            },
            "Close the port; exceptions propagate.");
}
