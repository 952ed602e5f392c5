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

enum Callback { kOnInfo, kOnStatus, kOnError, kCallbacks };
constexpr const char* kCallbackNames[kCallbacks] = {"OnReceiveHandleInfo", "OnReceiveHandleStatusMessage",
                                                    "OnReceiveHandleErrorResponse"};

// Forwards the argument-form callbacks to methods of the same name on the
// Python subclass. The library calls them from Receive, which runs without
// the interpreter lock, so each one takes the lock for itself (Locked: on a
// thread with no Python thread state the acquire creates one, and at
// interpreter exit the thread is parked instead).
class TrampolineHandle : public Handle {
public:
    using Handle::Handle;

    void OnReceiveHandleInfo(uint8_t tool_data_remaining, uint16_t device_id, uint8_t device_model_number,
                             uint8_t hardware_version, uint8_t firmware_version) override {
        Locked locked;
        Forward(kOnInfo, tool_data_remaining, device_id, device_model_number, hardware_version, firmware_version);
    }

    void OnReceiveHandleStatusMessage(uint16_t device_id, const float* quaternion, uint8_t error_flag,
                                      uint8_t hall_effect_sensor_level, uint8_t user_data_length,
                                      const uint8_t* user_data) override {
        // The pointers are only good for this call: take the values first.
        float q[4];
        std::memcpy(q, quaternion, sizeof q);
        uint8_t data[255];
        if (user_data_length != 0) std::memcpy(data, user_data, user_data_length);

        Locked locked;
        py::list quaternion_list(4);
        for (size_t i = 0; i < 4; ++i) quaternion_list[i] = py::float_(q[i]);
        py::list data_list(user_data_length);
        for (size_t i = 0; i < user_data_length; ++i) data_list[i] = py::int_(data[i]);
        // Raised here, with the lock still held: the library default does
        // nothing, but a Python subclass has to handle status messages.
        if (!Forward(kOnStatus, device_id, quaternion_list, error_flag, hall_effect_sensor_level, user_data_length,
                     data_list)) {
            throw std::runtime_error(kPureStatusMessage);
        }
    }

    void OnReceiveHandleErrorResponse(uint16_t device_id, uint8_t error_code) override {
        Locked locked;
        Forward(kOnError, device_id, error_code);
    }

    // True while this object's override of the callback runs on this thread
    // (at any depth): a call of the base method from inside it (super()) then
    // gets the base behaviour instead of re-entering the override. A call
    // from another thread meanwhile dispatches as it would with none running.
    bool Running(Callback which) const {
        for (const Frame* frame = innermost; frame != nullptr; frame = frame->outer) {
            if (frame->handle == this && frame->which == which) return true;
        }
        return false;
    }

private:
    // The overrides running on this thread, innermost first, on the stack.
    struct Frame {
        const TrampolineHandle* handle;
        Callback which;
        const Frame* outer;
    };
    static inline thread_local const Frame* innermost = nullptr;

    // Calls the override, if the subclass has one; false when it has none.
    template <typename... Args>
    bool Forward(Callback which, Args&&... args) {
        py::object override = Lookup(kCallbackNames[which]);
        if (!override) return false;
        struct Enter {
            Frame frame;
            explicit Enter(Frame f) : frame(f) { innermost = &frame; }
            ~Enter() { innermost = frame.outer; }
        } enter({this, which, innermost});
        const py::tuple arguments = py::make_tuple(std::forward<Args>(args)...);
        PyObject* result = InterpreterExit::Call(override.ptr(), arguments.ptr());
        if (result == nullptr) throw py::error_already_set();
        Py_DECREF(result);
        return true;
    }

    // Looked up on the object's type at every message, with neither of
    // pybind11's shortcuts: its per-type cache of misses would hide a method
    // added to the class later, and its frame check would drop a message
    // that arrives through a nested Receive() inside the same callback. A
    // method of Handle itself is no override. Needs the interpreter lock.
    py::object Lookup(const char* name) const {
        const py::detail::type_info* bound = py::detail::get_type_info(typeid(Handle));
        const py::handle self = py::detail::get_object_handle(static_cast<const Handle*>(this), bound);
        if (!self) return {};
        const py::str key(name);
        PyTypeObject* type = Py_TYPE(self.ptr());
        // Through the type's MRO only; the instance's attributes do not count.
        PyObject* found = _PyType_Lookup(type, key.ptr());
        if (found == nullptr || found == _PyType_Lookup(bound->type, key.ptr())) return {};
        const auto method = py::reinterpret_borrow<py::object>(found);
        // Bound as attribute access would bind it (functions, classmethods...).
        if (descrgetfunc get = Py_TYPE(found)->tp_descr_get) {
            PyObject* result = get(method.ptr(), self.ptr(), reinterpret_cast<PyObject*>(type));
            if (result == nullptr) throw py::error_already_set();
            return py::reinterpret_steal<py::object>(result);
        }
        return method;
    }
};

// The callbacks as Python calls them go through the virtual table, so that on
// a subclass they reach its override; from inside that same override (super())
// they get the base behaviour instead: nothing, or the pure-virtual error.
bool InsideOverride(const Handle& handle, Callback which) {
    const auto* trampoline = dynamic_cast<const TrampolineHandle*>(&handle);
    return trampoline != nullptr && trampoline->Running(which);
}

}  // namespace

void RegisterHandle(py::module_& m) {
    using py::arg;

    // The stream must be a SerialStream whose __init__ ran; None and anything
    // else are refused with TypeError: a handle must never reach the framing
    // without a stream. keep_alive keeps the Python stream alive as long as
    // the handle.
    py::class_<Handle, TrampolineHandle>(m, "Handle")
        .def(py::init([](Constructed<SerialStream> stream) { return new Handle(stream.get()); },
                      [](Constructed<SerialStream> stream) { return new TrampolineHandle(stream.get()); }),
             py::keep_alive<1, 2>())
        .def("SendDeviceWakeup", [](Handle& handle) { Exclusively(*handle.stream, [&] { handle.SendDeviceWakeup(); }); })
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
                Exclusively(*handle.stream,
                            [&] { handle.SendHandleState(device_id, data_length, &user_data.value); });
            },
            arg("device_id") = 0, arg("data_length") = 0, arg("user_data") = py::none(), "send handle state")
        .def(
            "RequestStatus", [](Handle& handle) { Exclusively(*handle.stream, [&] { handle.RequestStatus(); }); },
            "request handle status")
        .def(
            "OnReceiveHandleInfo",
            [](Handle& handle, uint8_t tool_data_remaining, uint16_t device_id, uint8_t device_model_number,
               uint8_t hardware_version, uint8_t firmware_version) {
                if (InsideOverride(handle, kOnInfo)) return;
                handle.OnReceiveHandleInfo(tool_data_remaining, device_id, device_model_number, hardware_version,
                                           firmware_version);
            },
            arg("tool_data_remaining"), arg("device_id"), arg("device_model_number"), arg("hardware_version"),
            arg("firmware_version"), "OnReceiveHandleInfo")
        .def(
            "OnReceiveHandleStatusMessage",
            [](Handle& handle, uint16_t device_id, float quaternion, uint8_t error_flag,
               uint8_t hall_effect_sensor_level, uint8_t user_data_length, uint8_t user_data) {
                // One component and one byte are given; the rest read as
                // zero, so nothing beyond the given values is ever read.
                if (InsideOverride(handle, kOnStatus)) throw std::runtime_error(kPureStatusMessage);
                const float q[4] = {quaternion, 0.0f, 0.0f, 0.0f};
                uint8_t data[255] = {user_data};
                handle.OnReceiveHandleStatusMessage(device_id, q, error_flag, hall_effect_sensor_level,
                                                    user_data_length, data);
            },
            arg("device_id"), arg("quaternion"), arg("error_flag"), arg("hall_effect_sensor_level"),
            arg("user_data_length"), arg("user_data"), "OnReceiveHandleStatusMessage")
        .def(
            "OnReceiveHandleErrorResponse",
            [](Handle& handle, uint16_t device_id, uint8_t error_code) {
                if (InsideOverride(handle, kOnError)) return;
                handle.OnReceiveHandleErrorResponse(device_id, error_code);
            },
            arg("device_id"), arg("error_code"), "OnReceiveHandleErrorResponse")
        .def(
            "Receive", [](Handle& handle) { return Exclusively(*handle.stream, [&] { return handle.Receive(); }); },
            "Receive data from the handle")
        .def(
            "Receive",
            [](Handle& handle, uint8_t /*obsolete*/) {
                // Under warnings-as-errors the error leaves before anything
                // is read, so the message stays for the next Receive.
                if (PyErr_WarnEx(PyExc_DeprecationWarning, "Receive with one argument is deprecated", 1) < 0) {
                    throw py::error_already_set();
                }
                return Exclusively(*handle.stream, [&] { return handle.Receive(); });
            },
            arg("obsolete"), "[DEPRECATED] Receive current and return current")
        // The very object the handle was made with (kept alive by keep_alive).
        .def_property_readonly(
            "stream", [](const Handle& handle) { return handle.stream; }, py::return_value_policy::reference,
            "The SerialStream this handle was made with.");
}
