// Frames of a recorded conversation, read back by the library's own framing:
// the recorded bytes stand in for the port (a SerialStream over a memory
// buffer), and the arm's Receive* calls and the handle's Receive() take them
// as they take a device's. Requests are split by the library's codes. Used by
// `tessary decode`; nothing here touches a port.
#include "Bindings.h"

#include <pybind11/stl.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

using API::Devices::Handle;
using API::Devices::Triaxon;

// The library's devices reading from bytes instead of a port. The memory
// buffer outlives the stream, which never owns a buffer of its own.
class Replayed {
public:
    explicit Replayed(const std::string& bytes) : buffer_(bytes, std::ios_base::in), stream_("capture", false) {
        stream_.rdbuf(&buffer_);
        stream_.clear();
    }
    API::IO::SerialStream* stream() { return &stream_; }
    // Bytes taken so far.
    std::size_t used() { return static_cast<std::size_t>(buffer_.pubseekoff(0, std::ios_base::cur, std::ios_base::in)); }
    bool good() const { return stream_.rdstate() == std::ios_base::goodbit; }

private:
    std::stringbuf buffer_;
    API::IO::SerialStream stream_;
};

std::string Hex(const std::string& bytes, std::size_t from, std::size_t n) {
    std::string out;
    char two[4];
    for (std::size_t i = from; i < from + n && i < bytes.size(); ++i) {
        std::snprintf(two, sizeof two, i == from ? "%02X" : " %02X", static_cast<unsigned char>(bytes[i]));
        out += two;
    }
    return out;
}

std::vector<double> Floats(const float* values, std::size_t n) { return std::vector<double>(values, values + n); }

py::dict Frame(const std::string& bytes, std::size_t offset, std::size_t size, const char* name, py::dict fields,
               py::object error = py::none()) {
    py::dict frame;
    frame["offset"] = offset;
    frame["size"] = size;
    frame["name"] = name;
    frame["fields"] = fields;
    frame["error"] = error;
    frame["hex"] = Hex(bytes, offset, size);
    return frame;
}

// Unknown bytes in a row become one flagged frame.
void AddStray(py::list& frames, const std::string& bytes, std::size_t offset) {
    const auto n = py::len(frames);
    if (n > 0) {
        py::dict last = frames[n - 1];
        if (last["name"].cast<std::string>() == "stray" &&
            last["offset"].cast<std::size_t>() + last["size"].cast<std::size_t>() == offset) {
            const std::size_t size = last["size"].cast<std::size_t>() + 1;
            last["size"] = size;
            last["hex"] = Hex(bytes, last["offset"].cast<std::size_t>(), size);
            return;
        }
    }
    frames.append(Frame(bytes, offset, 1, "stray", py::dict(), py::str("not a frame")));
}

// ------------------------------------------------------------------ requests

constexpr std::size_t kFloatRequest = 1 + 3 * sizeof(float);

const char* FloatRequest(uint8_t code, const char*& field) {
    switch (code) {
        case Triaxon::kForce: field = "force"; return "force";
        case Triaxon::kPosition: field = "position"; return "position";
        case Triaxon::kJointTorques: field = "torques"; return "joint_torques";
        case Triaxon::kAngle: field = "angles"; return "joint_angles";
        default: return nullptr;
    }
}

const char* CodeRequest(uint8_t code) {
    switch (code) {
        case Triaxon::kWakeup: return "wakeup";
        case Triaxon::kOrientation: return "orientation";
        case Triaxon::kTemperature: return "temperature";
        case Triaxon::kCurrent: return "motor_currents";
        case Triaxon::kPowerStatus: return "power_status";
        default: return nullptr;
    }
}

py::list ArmRequests(const std::string& bytes) {
    py::list frames;
    std::size_t at = 0;
    while (at < bytes.size()) {
        const auto code = static_cast<uint8_t>(bytes[at]);
        const std::size_t left = bytes.size() - at;
        const char* field = nullptr;
        if (const char* name = CodeRequest(code)) {
            frames.append(Frame(bytes, at, 1, name, py::dict()));
            at += 1;
        } else if (const char* name = FloatRequest(code, field)) {
            if (left < kFloatRequest) {
                frames.append(Frame(bytes, at, left, name, py::dict(), py::str("short request")));
                break;
            }
            float values[3];
            std::memcpy(values, bytes.data() + at + 1, sizeof values);
            py::dict fields;
            fields[field] = Floats(values, 3);
            frames.append(Frame(bytes, at, kFloatRequest, name, fields));
            at += kFloatRequest;
        } else if (code == Triaxon::kIdentifier && left >= 2 &&
                   (static_cast<uint8_t>(bytes[at + 1]) == Triaxon::kDeviceIdSelector ||
                    static_cast<uint8_t>(bytes[at + 1]) == Triaxon::kFirmwareSelector)) {
            const bool id = static_cast<uint8_t>(bytes[at + 1]) == Triaxon::kDeviceIdSelector;
            frames.append(Frame(bytes, at, 2, id ? "device_id" : "firmware_version", py::dict()));
            at += 2;
        } else {
            AddStray(frames, bytes, at);
            at += 1;
        }
    }
    return frames;
}

py::list HandleRequests(const std::string& bytes) {
    py::list frames;
    std::size_t at = 0;
    while (at < bytes.size()) {
        const auto code = static_cast<uint8_t>(bytes[at]);
        const std::size_t left = bytes.size() - at;
        if (code == Handle::kWakeup || code == Handle::kStatus) {
            frames.append(Frame(bytes, at, 1, code == Handle::kWakeup ? "wakeup" : "status_request", py::dict()));
            at += 1;
        } else if (code == Handle::kHandleState) {
            const std::size_t size = left >= 4 ? 4 + static_cast<uint8_t>(bytes[at + 3]) : 4;
            if (left < size) {
                frames.append(Frame(bytes, at, left, "handle_state", py::dict(), py::str("short request")));
                break;
            }
            uint16_t device_id;
            std::memcpy(&device_id, bytes.data() + at + 1, sizeof device_id);
            py::dict fields;
            fields["device_id"] = device_id;
            fields["user_data"] = std::vector<int>(bytes.begin() + at + 4, bytes.begin() + at + size);
            frames.append(Frame(bytes, at, size, "handle_state", fields));
            at += size;
        } else {
            AddStray(frames, bytes, at);
            at += 1;
        }
    }
    return frames;
}

// -------------------------------------------------------------- arm replies

constexpr uint32_t kUnsetBits = 0x7FE5A5A5u;  // a quiet NaN with a payload of our own

float UnsetFloat() {
    float value;
    std::memcpy(&value, &kUnsetBits, sizeof value);
    return value;
}

bool Set(float value) { return std::memcmp(&value, &kUnsetBits, sizeof value) != 0; }

// One reply: the bytes that came between a request and the next. The
// library's Receive* for that request reads them; its outputs are preset, as
// its callers do, to tell an accepted reply from a rejected one.
py::dict ArmReply(const std::string& request, const std::string& bytes) {
    Replayed line(bytes);
    Triaxon arm(line.stream());
    py::dict fields;
    const char* name = "reply";
    bool accepted = false;
    // Outputs are preset to a bit pattern no reply read leaves behind: a
    // device's own NaN still counts as a value.
    const float unset = UnsetFloat();
    const uint8_t code = request.empty() ? 0 : static_cast<uint8_t>(request[0]);
    const char* field = nullptr;
    if (bytes.empty()) return Frame(bytes, 0, 0, "reply", py::dict(), py::str("no reply"));
    switch (code) {
        case Triaxon::kWakeup: {
            uint16_t device_id = 0;
            uint8_t model = 0, hardware = 0, firmware = 0;
            API::UUID id;
            arm.ReceiveDeviceInfo(device_id, model, hardware, firmware, id);
            name = "device_info";
            accepted = line.good();
            fields["device_id"] = device_id;
            fields["device_model_number"] = model;
            fields["hardware_version"] = hardware;
            fields["firmware_version"] = firmware;
            fields["identifier"] = py::str(MakePythonUuid(id));
            break;
        }
        case Triaxon::kIdentifier: {
            API::UUID id;
            id.data.fill(0xA5);
            const API::UUID unchanged = id;
            const bool device = request.size() > 1 && static_cast<uint8_t>(request[1]) == Triaxon::kDeviceIdSelector;
            if (device) {
                arm.ReceiveDeviceId(id);
            } else {
                arm.ReceiveFirmwareVersion(id);
            }
            name = device ? "device_id" : "firmware_version";
            accepted = line.good() && id.data != unchanged.data;
            fields["identifier"] = py::str(MakePythonUuid(id));
            break;
        }
        case Triaxon::kOrientation: {
            float q[4] = {unset, unset, unset, unset};
            arm.ReceiveOrientation(q);
            name = "orientation";
            accepted = line.good() && Set(q[0]);
            fields["quaternion"] = Floats(q, 4);
            break;
        }
        case Triaxon::kTemperature: {
            float t = unset;
            arm.ReceiveTemperature(t);
            name = "temperature";
            accepted = line.good() && Set(t);
            fields["temperature"] = t;
            break;
        }
        case Triaxon::kCurrent: {
            float c[3] = {unset, unset, unset};
            arm.ReceiveCurrent(c);
            name = "motor_currents";
            accepted = line.good() && Set(c[0]);
            fields["currents"] = Floats(c, 3);
            break;
        }
        case Triaxon::kPowerStatus: {
            bool powered = false;
            arm.ReceivePowerStatus(powered);
            name = "power_status";
            accepted = line.good();
            fields["powered"] = powered;
            break;
        }
        default: {
            if (FloatRequest(code, field) == nullptr) break;
            float first[3] = {unset, unset, unset}, second[3] = {unset, unset, unset};
            const bool joints = code == Triaxon::kJointTorques || code == Triaxon::kAngle;
            if (joints) {
                arm.ReceiveJointState(first, second);
            } else {
                arm.ReceiveState(first, second);
            }
            name = joints ? "joint_state" : "state";
            accepted = line.good() && Set(first[0]);
            fields[joints ? "joint_position" : "position"] = Floats(first, 3);
            fields[joints ? "joint_velocity" : "velocity"] = Floats(second, 3);
            break;
        }
    }
    if (!accepted) {
        const char* why = std::strcmp(name, "reply") == 0 ? "no request to answer" : "malformed reply";
        return Frame(bytes, 0, bytes.size(), name, py::dict(), py::str(why));
    }
    const std::size_t used = line.used();
    py::dict frame = Frame(bytes, 0, used, name, fields);
    if (used < bytes.size()) frame["trailing"] = Hex(bytes, used, bytes.size() - used);
    return frame;
}

// ---------------------------------------------------------- handle messages

class MessageReader : public Handle {
public:
    using Handle::Handle;
    void OnHandleInfoRecord(const API::Devices::HandleInfoRecord& r) override {
        name = "handle_info";
        fields = py::dict();
        fields["device_id"] = r.device_id;
        fields["tool_data_remaining"] = r.tool_data_remaining;
        fields["device_model_number"] = r.device_model_number;
        fields["hardware_version"] = r.hardware_version;
        fields["firmware_version"] = r.firmware_version;
    }
    void OnHandleStatusRecord(const API::Devices::HandleStatusRecord& r) override {
        name = "handle_status";
        fields = py::dict();
        fields["device_id"] = r.device_id;
        fields["quaternion"] = Floats(r.quaternion, 4);
        fields["error_flag"] = r.error_flag;
        fields["hall_effect_sensor_level"] = r.hall_effect_sensor_level;
        fields["user_data"] = std::vector<int>(r.user_data, r.user_data + r.user_data_length);
    }
    void OnHandleErrorRecord(const API::Devices::HandleErrorRecord& r) override {
        name = "handle_error";
        fields = py::dict();
        fields["device_id"] = r.device_id;
        fields["error_code"] = r.error_code;
    }
    const char* name = nullptr;
    py::dict fields;
};

py::list HandleMessages(const std::string& bytes) {
    py::list frames;
    Replayed line(bytes);
    MessageReader handle(line.stream());
    std::size_t at = 0;
    while (at < bytes.size()) {
        handle.name = nullptr;
        const int got = handle.Receive();
        const std::size_t now = line.used();
        if (handle.name != nullptr) {
            frames.append(Frame(bytes, at, now - at, handle.name, handle.fields));
        } else if (got == -1 && now == at + 1) {
            AddStray(frames, bytes, at);
        } else {
            // A message cut short: what is left of the capture.
            frames.append(Frame(bytes, at, bytes.size() - at, "message", py::dict(), py::str("short message")));
            break;
        }
        at = now;
    }
    return frames;
}

std::string Kind(const std::string& kind) {
    if (kind != "triaxon" && kind != "handle") throw py::value_error("kind must be 'triaxon' or 'handle'");
    return kind;
}

}  // namespace

void RegisterFrames(py::module_& m) {
    m.def(
        "decode_requests",
        [](const std::string& kind, const py::bytes& data) {
            return Kind(kind) == "triaxon" ? ArmRequests(data) : HandleRequests(data);
        },
        py::arg("kind"), py::arg("data"),
        "Split the host's bytes to a 'triaxon' or a 'handle' into requests; unknown bytes become 'stray' frames");
    m.def(
        "decode_reply",
        [](const py::bytes& request, const py::bytes& reply) { return ArmReply(request, reply); },
        py::arg("request"), py::arg("reply"),
        "Read an arm's reply to `request` with the library's own reply reading; a rejected one is flagged");
    m.def(
        "decode_messages", [](const py::bytes& data) { return HandleMessages(data); }, py::arg("data"),
        "Read a handle's messages with Handle.Receive(); unknown bytes and short messages are flagged");
}
