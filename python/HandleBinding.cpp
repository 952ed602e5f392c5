#include "Bindings.h"

#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "TessaryHardwareAPI/Handle.h"
#include "TessaryHardwareAPI/SerialStream.h"

using API::Devices::Handle;
using API::IO::SerialStream;

namespace {

// One optional byte of user data. std::optional<uint8_t> would show as
// "Optional[int]" in the signature; scripts know this argument as "int = None".
struct OptionalByte {
    bool present = false;
    uint8_t value = 0;
};

}  // namespace

namespace pybind11::detail {

template <>
struct type_caster<OptionalByte> {
    PYBIND11_TYPE_CASTER(OptionalByte, const_name("int"));

    bool load(handle src, bool convert) {
        if (src.is_none()) {
            value = OptionalByte{};
            return true;
        }
        make_caster<uint8_t> byte;
        if (!byte.load(src, convert)) return false;
        value.present = true;
        value.value = cast_op<uint8_t>(byte);
        return true;
    }

    static handle cast(const OptionalByte& src, return_value_policy, handle) {
        if (!src.present) return none().release();
        return PyLong_FromUnsignedLong(src.value);
    }
};

}  // namespace pybind11::detail

namespace {

constexpr const char* kPureStatusMessage =
    "Tried to call pure virtual function \"API::Devices::Handle::OnReceiveHandleStatusMessage\"";

// Forwards the argument-form callbacks to methods of the same name on the
// Python subclass. The library calls them from Receive, which runs without
// the interpreter lock, so each one takes the lock for itself; on a thread
// with no Python thread state the acquire creates one.
class TrampolineHandle : public Handle {
public:
    using Handle::Handle;

    void OnReceiveHandleInfo(uint8_t tool_data_remaining, uint16_t device_id, uint8_t device_model_number,
                             uint8_t hardware_version, uint8_t firmware_version) override {
        py::gil_scoped_acquire locked;
        if (py::function override = Lookup("OnReceiveHandleInfo")) {
            override(tool_data_remaining, device_id, device_model_number, hardware_version, firmware_version);
        }
    }

    void OnReceiveHandleStatusMessage(uint16_t device_id, const float* quaternion, uint8_t error_flag,
                                      uint8_t hall_effect_sensor_level, uint8_t user_data_length,
                                      const uint8_t* user_data) override {
        // The pointers are only good for this call: take the values first.
        float q[4];
        std::memcpy(q, quaternion, sizeof q);
        uint8_t data[255];
        if (user_data_length != 0) std::memcpy(data, user_data, user_data_length);

        py::gil_scoped_acquire locked;
        py::function override = Lookup("OnReceiveHandleStatusMessage");
        // Raised here, with the lock still held: the library default does
        // nothing, but a Python subclass has to handle status messages.
        if (!override) throw std::runtime_error(kPureStatusMessage);
        py::list quaternion_list(4);
        for (size_t i = 0; i < 4; ++i) quaternion_list[i] = py::float_(q[i]);
        py::list data_list(user_data_length);
        for (size_t i = 0; i < user_data_length; ++i) data_list[i] = py::int_(data[i]);
        override(device_id, quaternion_list, error_flag, hall_effect_sensor_level, user_data_length, data_list);
    }

    void OnReceiveHandleErrorResponse(uint16_t device_id, uint8_t error_code) override {
        py::gil_scoped_acquire locked;
        if (py::function override = Lookup("OnReceiveHandleErrorResponse")) {
            override(device_id, error_code);
        }
    }

private:
    // Looked up on every call; nothing is registered at construction. A
    // method of Handle itself, or a call from inside the override on the
    // same object (super()), finds nothing, so an override never re-enters.
    py::function Lookup(const char* name) const { return py::get_override(static_cast<const Handle*>(this), name); }
};

}  // namespace

void RegisterHandle(py::module_& m) {
    using py::arg;
    const auto unlocked = py::call_guard<py::gil_scoped_release>();

    // The stream is taken by reference so that None is refused with
    // TypeError: a handle must never reach the framing without a stream.
    // keep_alive keeps the Python stream alive as long as the handle.
    py::class_<Handle, TrampolineHandle>(m, "Handle")
        .def(py::init([](SerialStream& stream) { return new Handle(&stream); },
                      [](SerialStream& stream) { return new TrampolineHandle(&stream); }),
             py::keep_alive<1, 2>())
        .def("SendDeviceWakeup", &Handle::SendDeviceWakeup, unlocked)
        .def(
            "SendHandleState",
            [](Handle& handle, uint16_t device_id, uint8_t data_length, OptionalByte user_data) {
                // Python hands over at most one byte; a frame must never
                // announce bytes the caller did not give.
                if (data_length > 1 || (data_length == 1 && !user_data.present)) {
                    throw py::value_error("SendHandleState: data_length " + std::to_string(data_length) +
                                          " needs that many bytes of user_data, " +
                                          (user_data.present ? "1 was" : "none were") + " given");
                }
                py::gil_scoped_release released;
                handle.SendHandleState(device_id, data_length, &user_data.value);
            },
            arg("device_id") = 0, arg("data_length") = 0, arg("user_data") = py::none(), "send handle state")
        .def("RequestStatus", &Handle::RequestStatus, unlocked, "request handle status")
        .def("OnReceiveHandleInfo", &Handle::OnReceiveHandleInfo, arg("tool_data_remaining"), arg("device_id"),
             arg("device_model_number"), arg("hardware_version"), arg("firmware_version"), "OnReceiveHandleInfo")
        .def(
            "OnReceiveHandleStatusMessage",
            [](Handle& handle, uint16_t device_id, float quaternion, uint8_t error_flag,
               uint8_t hall_effect_sensor_level, uint8_t user_data_length, uint8_t user_data) {
                // One component and one byte are given; the rest read as
                // zero, so nothing beyond the given values is ever read.
                const float q[4] = {quaternion, 0.0f, 0.0f, 0.0f};
                uint8_t data[255] = {user_data};
                handle.OnReceiveHandleStatusMessage(device_id, q, error_flag, hall_effect_sensor_level,
                                                    user_data_length, data);
            },
            arg("device_id"), arg("quaternion"), arg("error_flag"), arg("hall_effect_sensor_level"),
            arg("user_data_length"), arg("user_data"), "OnReceiveHandleStatusMessage")
        .def("OnReceiveHandleErrorResponse", &Handle::OnReceiveHandleErrorResponse, arg("device_id"),
             arg("error_code"), "OnReceiveHandleErrorResponse")
        .def("Receive", &Handle::Receive, unlocked, "Receive data from the handle")
        .def(
            "Receive",
            [](Handle& handle, uint8_t /*obsolete*/) {
                // Under warnings-as-errors the error leaves before anything
                // is read, so the message stays for the next Receive.
                if (PyErr_WarnEx(PyExc_DeprecationWarning, "Receive with one argument is deprecated", 1) < 0) {
                    throw py::error_already_set();
                }
                py::gil_scoped_release released;
                return handle.Receive();
            },
            arg("obsolete"), "[DEPRECATED] Receive current and return current");
}
