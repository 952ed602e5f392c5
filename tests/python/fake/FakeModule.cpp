// tessary_fake: the C++ FakeDevice of the library tests, for pytest. Only the
// byte scripting crosses over; everything that may block runs without the
// interpreter lock, so the fake keeps answering while a call under test holds
// the lock.
#include <pybind11/pybind11.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <string>

#include "FakeDevice.h"

namespace py = pybind11;
using tessary_test::Bytes;
using tessary_test::FakeDevice;
using std::chrono::milliseconds;

namespace {

// bytes(data): bytes, bytearray, memoryview or an iterable of ints.
Bytes ToBytes(const py::handle& data) {
    PyObject* raw = PyBytes_FromObject(data.ptr());
    if (raw == nullptr) throw py::error_already_set();
    const auto bytes = py::reinterpret_steal<py::bytes>(raw);
    const std::string_view view = bytes;
    return Bytes(view.begin(), view.end());
}

py::bytes ToPython(const Bytes& bytes) {
    return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

milliseconds Ms(double seconds) { return milliseconds(std::llround(seconds * 1000.0)); }

// The Python object: close() ends the fake early (its worker and descriptors).
class Fake {
public:
    explicit Fake(bool hold_slave) : device_(std::make_unique<FakeDevice>(hold_slave)), path_(device_->Path()) {}

    FakeDevice& Device() {
        if (!device_) throw py::value_error("the fake device is closed");
        return *device_;
    }
    const std::string& Path() const { return path_; }
    void Close() {
        std::unique_ptr<FakeDevice> device = std::move(device_);
        py::gil_scoped_release unlocked;
        if (device) device->HangUp();
        device.reset();
    }

private:
    std::unique_ptr<FakeDevice> device_;
    std::string path_;
};

}  // namespace

PYBIND11_MODULE(tessary_fake, m) {
    m.doc() = "A device played on the master side of a pseudo-terminal (test-only).";
    py::class_<Fake>(m, "FakeDevice")
        .def(py::init<bool>(), py::arg("hold_slave") = true)
        .def_property_readonly("path", &Fake::Path, "The slave side, which the module under test opens.")
        .def("send", [](Fake& f, const py::object& data) {
            const Bytes bytes = ToBytes(data);
            FakeDevice& device = f.Device();
            py::gil_scoped_release unlocked;
            device.Send(bytes);
        }, py::arg("data"), "Write bytes to the module at once.")
        .def("send_after", [](Fake& f, double delay, const py::object& data) {
            const Bytes bytes = ToBytes(data);
            FakeDevice& device = f.Device();
            py::gil_scoped_release unlocked;
            device.SendAfter(Ms(delay), bytes);
        }, py::arg("delay"), py::arg("data"), "Write bytes from the worker thread after `delay` seconds.")
        .def("expect", [](Fake& f, size_t request_len, const py::object& reply, double delay) {
            const Bytes bytes = ToBytes(reply);
            FakeDevice& device = f.Device();
            py::gil_scoped_release unlocked;
            device.Expect(request_len, bytes, Ms(delay));
        }, py::arg("request_len"), py::arg("reply"), py::arg("delay") = 0.0,
           "Once `request_len` more bytes arrived, answer with `reply` after `delay` seconds.")
        .def("answer", [](Fake& f, int code, size_t request_len, const py::object& reply) {
            const Bytes bytes = ToBytes(reply);
            FakeDevice& device = f.Device();
            py::gil_scoped_release unlocked;
            device.Answer(static_cast<uint8_t>(code), request_len, bytes);
        }, py::arg("code"), py::arg("request_len"), py::arg("reply"),
           "Answer every request starting with `code` (not claimed by expect).")
        .def("captured", [](Fake& f) {
            FakeDevice& device = f.Device();
            Bytes bytes;
            {
                py::gil_scoped_release unlocked;
                bytes = device.Captured();
            }
            return ToPython(bytes);
        }, "Every byte the module has sent so far.")
        .def("captured_after", [](Fake& f, double quiet) {
            FakeDevice& device = f.Device();
            Bytes bytes;
            {
                py::gil_scoped_release unlocked;
                bytes = device.CapturedAfter(Ms(quiet));
            }
            return ToPython(bytes);
        }, py::arg("quiet") = FakeDevice::kQuiet.count() / 1000.0,
           "Every byte the module has sent, once `quiet` seconds have passed.")
        .def("wait_captured", [](Fake& f, size_t n, double timeout) {
            FakeDevice& device = f.Device();
            Bytes bytes;
            {
                py::gil_scoped_release unlocked;
                bytes = device.WaitCaptured(n, Ms(timeout));
            }
            return ToPython(bytes);
        }, py::arg("n"), py::arg("timeout") = 2.0, "Wait until at least n bytes were captured; return them all.")
        .def_property_readonly("hangups", [](Fake& f) {
            FakeDevice& device = f.Device();
            py::gil_scoped_release unlocked;
            return device.Hangups();
        }, "How often the module closed its last descriptor of the port (hold_slave=False only).")
        .def("wait_hangups", [](Fake& f, int n, double timeout) {
            FakeDevice& device = f.Device();
            py::gil_scoped_release unlocked;
            return device.WaitHangups(n, Ms(timeout));
        }, py::arg("n"), py::arg("timeout") = 3.0, "Wait until hangups reaches n.")
        .def("hang_up", [](Fake& f) {
            FakeDevice& device = f.Device();
            py::gil_scoped_release unlocked;
            device.HangUp();
        }, "Close the master: the module's side of the line hangs up.")
        .def("close", &Fake::Close, "Hang up and stop the worker; idempotent.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](Fake& f, const py::args&) { f.Close(); });
}
