#include "Bindings.h"

#include <pybind11/stl.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "TessaryHardwareAPI/SerialStream.h"
#include "TessaryHardwareAPI/Triaxon.h"
#include "TessaryHardwareAPI/UUID.h"

namespace {

using API::Devices::Triaxon;
using API::IO::SerialStream;
// "list[float]" in signatures; any sequence but str and bytes converts, its
// items copied into floats. The library works on this copy, never on the
// caller's object.
using Floats = std::vector<float>;
using Request = void (Triaxon::*)(const float*);
using StateReply = void (Triaxon::*)(float*, float*);

constexpr std::size_t kTriple = 3;

Floats ZeroTriple() { return Floats(kTriple, 0.0f); }

// The library reads three floats from a request and writes three into each
// reply output: a shorter list is refused before anything is sent or read.
void RequireTriple(const Floats& values, const char* name) {
    if (values.size() < kTriple) {
        throw py::value_error(std::string(name) + " must hold at least 3 items, got " +
                              std::to_string(values.size()));
    }
}

// Stack level 1: the warning names the Python line that called the method.
// When the filters turn it into an error, the method raises it at once,
// before any device I/O.
void WarnDeprecated(const char* text) {
    if (PyErr_WarnEx(PyExc_DeprecationWarning, text, 1) == -1) throw py::error_already_set();
}

// Built straight from the floats: this is the control loop's return path.
py::list FloatTriple(const float* values) {
    py::list list(kTriple);
    for (std::size_t i = 0; i < kTriple; ++i) PyList_SET_ITEM(list.ptr(), i, py::float_(values[i]).release().ptr());
    return list;
}

py::tuple StateTuple(const float* first, const float* second) {
    return py::make_tuple(FloatTriple(first), FloatTriple(second));
}

std::vector<uint8_t> ByteList(const API::UUID& id) {
    const auto bytes = id.bytes();
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

// The wake-up exchange with the lock released; all zero when the reply is
// rejected or short.
struct DeviceInfo {
    uint16_t device_id = 0;
    uint8_t model = 0, hardware = 0, firmware = 0;
    API::UUID id;
};

DeviceInfo WakeUp(Triaxon& arm) {
    DeviceInfo info;
    Exclusively(*arm.stream, [&] {
        arm.SendDeviceWakeup();
        arm.ReceiveDeviceInfo(info.device_id, info.model, info.hardware, info.firmware, info.id);
    });
    return info;
}

// One current exchange method: the request vector converted with the lock
// held, the exchange with it released, the result built with it held again.
// The state stays zero when the reply is rejected or short.
template <Request send, StateReply receive>
py::tuple Exchange(Triaxon& arm, const Floats& request, const char* name) {
    RequireTriple(request, name);
    float state[2 * kTriple] = {};
    Exclusively(*arm.stream, [&] {
        (arm.*send)(request.data());
        (arm.*receive)(state, state + kTriple);
    });
    return StateTuple(state, state + kTriple);
}

// One older send method: warning (if any) with the lock held, then the
// request with it released.
template <Request send>
void OlderSend(Triaxon& arm, const Floats& values, const char* name, const char* warning) {
    RequireTriple(values, name);
    if (warning) WarnDeprecated(warning);
    Exclusively(*arm.stream, [&] { (arm.*send)(values.data()); });
}

// One older state read: the two lists are the outputs, so a rejected reply
// returns them unchanged; items beyond the third are returned as passed.
template <StateReply receive>
py::tuple OlderState(Triaxon& arm, Floats first, Floats second, const char* first_name, const char* second_name,
                     const char* warning) {
    RequireTriple(first, first_name);
    RequireTriple(second, second_name);
    WarnDeprecated(warning);
    Exclusively(*arm.stream, [&] { (arm.*receive)(first.data(), second.data()); });
    return py::make_tuple(std::move(first), std::move(second));
}

}  // namespace

void RegisterTriaxon(py::module_& m) {
    py::class_<Triaxon> triaxon(m, "Triaxon");

    // The stream parameter refuses None, other types and a stream whose
    // __init__ never ran with the binding layer's TypeError. keep_alive ties
    // the stream object's life to the arm's: the arm borrows the wrapped stream.
    triaxon.def(py::init([](Constructed<SerialStream> stream) { return new Triaxon(stream.get()); }),
                py::keep_alive<1, 2>());

    // ------------------------------------------------------ current methods

    triaxon.def(
        "device_wakeup",
        [](Triaxon& arm) -> py::tuple {
            const DeviceInfo info = WakeUp(arm);
            return py::make_tuple(info.device_id, info.model, info.hardware, info.firmware, ByteList(info.id));
        },
        "Wakeup the device and return the device info as a tuple.");

    triaxon.def(
        "device_wakeup_dict",
        [](Triaxon& arm) -> py::dict {
            const DeviceInfo info = WakeUp(arm);
            py::dict result;  // keys in this insertion order
            result["device_id"] = info.device_id;
            result["device_model_number"] = info.model;
            result["hardware_version"] = info.hardware;
            result["firmware_version"] = info.firmware;
            result["device_id_ext"] = MakePythonUuid(info.id);
            return result;
        },
        "Wakeup the device and return the device info as a dict.");

    // The six get_ methods hold the interpreter lock for their whole run.
    triaxon.def(
        "get_firmware_version",
        [](Triaxon& arm) -> py::object {
            API::UUID version;
            ExclusivelyLocked(*arm.stream, [&] {
                arm.RequestFirmwareVersion();
                arm.ReceiveFirmwareVersion(version);
            });
            return MakePythonUuid(version);
        },
        "Receive the firmware version of the device.");

    triaxon.def(
        "get_device_id",
        [](Triaxon& arm) -> py::object {
            API::UUID id;
            ExclusivelyLocked(*arm.stream, [&] {
                arm.RequestDeviceId();
                arm.ReceiveDeviceId(id);
            });
            return MakePythonUuid(id);
        },
        "Receive the UUID of the device.");

    triaxon.def(
        "get_motor_currents",
        [](Triaxon& arm) {
            std::array<float, 3> current{};
            ExclusivelyLocked(*arm.stream, [&] {
                arm.RequestCurrent();
                arm.ReceiveCurrent(current.data());
            });
            return current;
        },
        "Receive the motor currents of the device.");

    triaxon.def(
        "get_device_orientation",
        [](Triaxon& arm) {
            std::array<float, 4> quaternion{};
            ExclusivelyLocked(*arm.stream, [&] {
                arm.RequestOrientation();
                arm.ReceiveOrientation(quaternion.data());
            });
            return quaternion;
        },
        "Receive the orientation of the base of the device.");

    triaxon.def(
        "get_power_status",
        [](Triaxon& arm) {
            bool powered = false;
            ExclusivelyLocked(*arm.stream, [&] {
                arm.RequestPowerStatus();
                arm.ReceivePowerStatus(powered);
            });
            return powered;
        },
        "Receive the power status of the device.");

    triaxon.def(
        "get_temperature",
        [](Triaxon& arm) {
            float temperature = 0.0f;
            ExclusivelyLocked(*arm.stream, [&] {
                arm.RequestTemperature();
                arm.ReceiveTemperature(temperature);
            });
            return temperature;
        },
        "Receive the temperature of the device.");

    // The argument keeps its published name, spaces and all, which help()
    // shows; a name with spaces cannot be written as a keyword, so scripts
    // pass the request vector positionally.
    triaxon.def(
        "end_effector_force",
        [](Triaxon& arm, const Floats& force) {
            return Exchange<&Triaxon::SendForce, &Triaxon::ReceiveState>(arm, force, "force request vector");
        },
        py::arg("force request vector") = ZeroTriple(), "Send forces to the device and receive device states");

    triaxon.def(
        "joint_torques",
        [](Triaxon& arm, const Floats& torque) {
            return Exchange<&Triaxon::SendJointTorques, &Triaxon::ReceiveJointState>(arm, torque,
                                                                                     "joint torque request vector");
        },
        py::arg("joint torque request vector") = ZeroTriple(),
        "Send joint torques to the device and receive the joint states");

    triaxon.def(
        "end_effector_position",
        [](Triaxon& arm, const Floats& position) {
            return Exchange<&Triaxon::SendPosition, &Triaxon::ReceiveState>(arm, position,
                                                                            "position request vector");
        },
        py::arg("position request vector") = ZeroTriple(), "Send end-effector position and receive device states");

    triaxon.def(
        "joint_angles",
        [](Triaxon& arm, const Floats& angle) {
            return Exchange<&Triaxon::SendAngle, &Triaxon::ReceiveJointState>(arm, angle,
                                                                              "joint angle request vector");
        },
        py::arg("joint angle request vector") = ZeroTriple(),
        "Send joint angles to the device and receive the joint states");

    // -------------------------------------------------------- older methods
    // Arguments are converted and the warning issued with the lock held; the
    // lock is released for the one library operation only.

    triaxon.def(
        "SendDeviceWakeup",
        [](Triaxon& arm) {
            WarnDeprecated("SendDeviceWakeup is deprecated, use device_wakeup instead");
            Exclusively(*arm.stream, [&] { arm.SendDeviceWakeup(); });
        },
        "[DEPRECATED] Send a device wakeup command");

    triaxon.def(
        "ReceiveDeviceInfo",
        [](Triaxon& arm, uint16_t device_id, uint8_t model, uint8_t hardware, uint8_t firmware,
           Constructed<API::UUID> initial) -> py::tuple {
            API::UUID id = *initial;  // the result is a copy of its own
            Exclusively(*arm.stream, [&] { arm.ReceiveDeviceInfo(device_id, model, hardware, firmware, id); });
            return py::make_tuple(device_id, model, hardware, firmware, py::cast(std::move(id)));
        },
        py::arg("device_id") = 0, py::arg("device_model_num") = 0, py::arg("hardware_version") = 0,
        py::arg("firmware_version") = 0, py::arg_v("UUID", API::UUID(), "UUID()"), "Receive device info and return a tuple");

    // Two forms under one name, the list form first: a sequence selects it,
    // one to three numbers select the other.
    triaxon.def(
        "SendForce",
        [](Triaxon& arm, const Floats& force) {
            OlderSend<&Triaxon::SendForce>(arm, force, "force",
                                           "SendForce is deprecated, use end_effector_force instead");
        },
        py::arg("force") = ZeroTriple(), "[Deprecated] Send force to the device");

    triaxon.def(
        "SendForce",
        [](Triaxon& arm, float x, float y, float z) {
            const Floats force{x, y, z};
            OlderSend<&Triaxon::SendForce>(arm, force, "force",
                                           "SendForce is deprecated, use end_effector_force instead");
        },
        py::arg("ForceX") = 0, py::arg("ForceY") = 0, py::arg("ForceZ") = 0, "[Deprecated] Send force to the device");

    triaxon.def(
        "ReceiveState",
        [](Triaxon& arm, Floats position, Floats velocity) {
            return OlderState<&Triaxon::ReceiveState>(arm, std::move(position), std::move(velocity), "position",
                                                      "velocity", "ReceiveState is deprecated, use end_effector instead");
        },
        py::arg("position") = ZeroTriple(), py::arg("velocity") = ZeroTriple(),
        "[Deprecated] receive state and return position and velocity");

    triaxon.def(
        "ReceiveJointState",
        [](Triaxon& arm, Floats joint_position, Floats joint_velocity) {
            return OlderState<&Triaxon::ReceiveJointState>(
                arm, std::move(joint_position), std::move(joint_velocity), "joint_position", "joint_velocity",
                "ReceiveJointState is deprecated, use joint_torques instead");
        },
        py::arg("joint_position") = ZeroTriple(), py::arg("joint_velocity") = ZeroTriple(),
        "[Deprecated] receive joint state and return position and velocity in the joint reference frame");

    triaxon.def(
        "SendJointTorques",
        [](Triaxon& arm, const Floats& joint_torque) {
            OlderSend<&Triaxon::SendJointTorques>(arm, joint_torque, "joint_torque",
                                                  "SendJointTorques is deprecated, use joint_torques instead");
        },
        py::arg("joint_torque") = ZeroTriple(), "[Deprecated] send joint torque");

    triaxon.def(
        "SendAngle",
        [](Triaxon& arm, const Floats& angle) { OlderSend<&Triaxon::SendAngle>(arm, angle, "angle", nullptr); },
        py::arg("angle") = ZeroTriple(), "Send angles to the device");

    triaxon.def(
        "RequestCurrent",
        [](Triaxon& arm) { Exclusively(*arm.stream, [&] { arm.RequestCurrent(); }); },
        "request current");

    triaxon.def(
        "ReceiveCurrent",
        [](Triaxon& arm, Floats current) {
            RequireTriple(current, "current");
            Exclusively(*arm.stream, [&] { arm.ReceiveCurrent(current.data()); });
            return current;
        },
        py::arg("current") = ZeroTriple(), "receive current and return current");

    triaxon.def(
        "SendPosition",
        [](Triaxon& arm, const Floats& position) {
            OlderSend<&Triaxon::SendPosition>(arm, position, "position",
                                              "SendPosition is deprecated, use end_effector_position instead");
        },
        py::arg("position") = ZeroTriple(), "[Deprecated] Send Position to the device");

    // The very object the arm was made with: keep_alive holds it, so pybind11
    // finds its registered instance for the borrowed pointer.
    triaxon.def_property_readonly(
        "stream", [](const Triaxon& arm) { return arm.stream; }, py::return_value_policy::reference,
        "The SerialStream this arm was made with.");
}
