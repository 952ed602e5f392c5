#include "Bindings.h"

#include <cstring>
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
            Unlocked unlocked;
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
        .def(
            "close",
            [](SerialStream& stream) {
                RefuseIfDriven(stream);
                Unlocked unlocked;
                stream.Close();
            },
             "Close the port. Idempotent; later exchanges fail at once and quietly.")
        .def(
            "reopen",
            [](SerialStream& stream) {
                RefuseIfDriven(stream);
                Unlocked unlocked;
                return stream.Reopen() == 1;
            },
            "Close and open the same port again with a clean state, so that the devices over this stream work "
            "again. True on success; False after the usual error lines.")
        .def(
            "__enter__", [](SerialStream& stream) -> SerialStream& { return stream; },
            py::return_value_policy::reference, "Return the stream itself.")
        .def(
            "__exit__",
            [](SerialStream& stream, const py::args&) {
                // The block's end is the end of the port's use: a loop still
                // driving it is stopped first (zero force), never left
                // pushing, nor cut off in the middle of an exchange.
                StopLoopDriving(stream);
                Unlocked unlocked;
                stream.Close();
            },
            "Stop a ServoLoop that drives the stream (zero force), then close the port; exceptions propagate.");
}

void RefuseIfDriven(const SerialStream& stream) {
    if (stream.Owner() != nullptr) {
        throw std::runtime_error("a running ServoLoop drives this stream: stop the loop before using its arm or "
                                 "stream");
    }
}

namespace {

// The errno of the link's state as the OSError Python would raise for it
// (FileNotFoundError, TimeoutError, ...), naming the port; None when there
// is none.
py::object LinkError(const SerialStream& stream) {
    const int error = stream.Error();
    if (error == 0) return py::none();
    const std::string& port = stream.Port();
    PyObject* name = PyUnicode_DecodeFSDefaultAndSize(port.data(), static_cast<Py_ssize_t>(port.size()));
    if (name == nullptr) throw py::error_already_set();
    const auto filename = py::reinterpret_steal<py::object>(name);
    return py::reinterpret_borrow<py::object>(PyExc_OSError)(error, std::strerror(error), filename);
}

}  // namespace

void RegisterLinkState(py::module_& m) {
    using API::IO::LinkState;
    py::enum_<LinkState> states(m, "LinkState", "What became of a stream's link.");
    states
        .value("OPEN", LinkState::Open, "Open, and nothing has failed since it was opened.")
        .value("TIMED_OUT", LinkState::TimedOut,
               "A read ran out of its 1000 ms budget; every exchange fails at once until reopen().")
        .value("HUNG_UP", LinkState::HungUp, "The device went away (unplugged, or the line was closed at its end).")
        .value("FAILED", LinkState::Failed, "A read or write failed, or the port could not be opened.")
        .value("CLOSED", LinkState::Closed, "Closed by close(), or not inherited by a forked child.");

    // The members themselves, so that `stream.state is LinkState.OPEN` holds
    // (a plain cast would make a new object each time). The class keeps them.
    static py::handle members[5];
    for (const char* name : {"OPEN", "TIMED_OUT", "HUNG_UP", "FAILED", "CLOSED"}) {
        const py::handle member = states.attr(name);
        members[member.attr("value").cast<int>()] = member;
    }
    // A second __init__ would change a member for every holder of it.
    py::delattr(states, "__init__");
    InitOnce(states, +[](int value) -> LinkState {
        if (value < 0 || value > 4) throw py::value_error("not a LinkState: " + std::to_string(value));
        return static_cast<LinkState>(value);
    }, py::arg("value"));

    // The stream class exists already; these read the one state record that
    // good, timed_out and is_open are views of.
    auto stream = py::reinterpret_borrow<py::class_<SerialStream>>(m.attr("SerialStream"));
    stream.def_property_readonly(
        "state",
        [](const SerialStream& stream) {
            return py::reinterpret_borrow<py::object>(members[static_cast<int>(stream.State())]);
        },
        "The link's state, a LinkState.");
    stream.def_property_readonly(
        "error", &LinkError,
        "The cause of the state as an OSError (errno, strerror and the port as its filename), or None while "
        "the stream is open or closed by its owner.");
}
