// Fuzzes the handle's messages: byte 0 picks a command to send first (none,
// wake-up, status request, or handle state taking device id, length and user
// data from the bytes that follow); the rest is what the handle sends.
// Receive runs until the stream ends, and every callback, its arguments and
// every return value are checked against the protocol.

#include <cstring>
#include <vector>

#include "FuzzPeer.h"
#include "TessaryHardwareAPI/Handle.h"

using namespace Tessary::HardwareAPI::Devices;
using tessary_fuzz::FuzzPeer;
using tessary_fuzz::WireModel;

namespace {

// One callback call, flattened: which callback, then its values in a fixed
// order. The model builds the same from the message bytes.
using Call = std::vector<uint8_t>;
enum : uint8_t { kInfoArgs = 1, kInfoRecord, kStatusArgs, kStatusRecord, kErrorArgs, kErrorRecord };

void Put(Call& c, const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    c.insert(c.end(), b, b + n);
}
void Put16(Call& c, uint16_t v) { Put(c, &v, 2); }

// Overrides every callback (`override` pins their exact argument types) and
// records each call; ranges are checked by comparing with the model.
class Recorder : public Handle {
public:
    using Handle::Handle;
    std::vector<Call> calls;
    bool receiving = false;

    void OnReceiveHandleInfo(uint8_t tool_data_remaining, uint16_t device_id, uint8_t model, uint8_t hardware,
                             uint8_t firmware) override {
        Args({kInfoArgs}, device_id, {tool_data_remaining, model, hardware, firmware});
    }
    void OnHandleInfoRecord(const HandleInfoRecord& r) override {
        Record({kInfoArgs}, {kInfoRecord}, r.device_id,
               {r.tool_data_remaining, r.device_model_number, r.hardware_version, r.firmware_version});
    }
    void OnReceiveHandleStatusMessage(uint16_t device_id, const float* quaternion, uint8_t error_flag,
                                      uint8_t hall, uint8_t length, const uint8_t* user_data) override {
        FUZZ_CHECK(quaternion && user_data, "status callback given a null pointer");
        Call c{kStatusArgs};
        Put16(c, device_id);
        Put(c, quaternion, 16);  // all four components must be readable
        c.insert(c.end(), {error_flag, hall, length});
        Put(c, user_data, length);
        Add(std::move(c));
    }
    void OnHandleStatusRecord(const HandleStatusRecord& r) override {
        for (size_t i = r.user_data_length; i < sizeof r.user_data; ++i)
            FUZZ_CHECK(r.user_data[i] == 0, "user_data[%zu] beyond length %u is %u", i, r.user_data_length,
                       r.user_data[i]);
        Call c{kStatusArgs};
        Put16(c, r.device_id);
        Put(c, r.quaternion, 16);
        c.insert(c.end(), {r.error_flag, r.hall_effect_sensor_level, r.user_data_length});
        Put(c, r.user_data, r.user_data_length);
        FUZZ_CHECK(!calls.empty() && calls.back() == c, "status record differs from the status arguments");
        c[0] = kStatusRecord;
        Add(std::move(c));
    }
    void OnReceiveHandleErrorResponse(uint16_t device_id, uint8_t error_code) override {
        Args({kErrorArgs}, device_id, {error_code});
    }
    void OnHandleErrorRecord(const HandleErrorRecord& r) override {
        Record({kErrorArgs}, {kErrorRecord}, r.device_id, {r.error_code});
    }

private:
    void Add(Call c) {
        FUZZ_CHECK(receiving, "callback %u outside Receive", c[0]);
        calls.push_back(std::move(c));
    }
    static Call Make(Call c, uint16_t id, std::initializer_list<uint8_t> rest) {
        Put16(c, id);
        c.insert(c.end(), rest);
        return c;
    }
    void Args(Call kind, uint16_t id, std::initializer_list<uint8_t> rest) { Add(Make(kind, id, rest)); }
    // A record callback comes right after its argument form, with the same values.
    void Record(Call args, Call kind, uint16_t id, std::initializer_list<uint8_t> rest) {
        FUZZ_CHECK(!calls.empty() && calls.back() == Make(args, id, rest), "record %u differs from its arguments",
                   kind[0]);
        Add(Make(kind, id, rest));
    }
};

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// One Receive as the protocol has it: its result, and the calls it makes.
// A message whose payload (or user data) came back short makes no call.
int ModelReceive(WireModel& wire, std::vector<Call>& calls) {
    if (wire.ended) return -1;
    const uint8_t header = wire.Header();
    const uint8_t* p;
    switch (header) {
        case 0xD0:  // information: device_id 0-1, tool_data_remaining 2, model, hardware, firmware
            if (!(p = wire.Read(6))) return 0;
            calls.push_back({kInfoArgs, p[0], p[1], p[2], p[3], p[4], p[5]});
            calls.push_back({kInfoRecord, p[0], p[1], p[2], p[3], p[4], p[5]});
            return 6;
        case 0xDA: {  // status: device_id, error_flag, hall level, quaternion, length n, n bytes
            if (!(p = wire.Read(21))) return 0;
            Call c{kStatusArgs};
            Put(c, p, 2);
            Put(c, p + 4, 16);
            c.insert(c.end(), {p[2], p[3], p[20]});
            const uint8_t n = p[20];
            const uint8_t* user = wire.Read(n);
            if (!user) return 21;
            Put(c, user, n);
            calls.push_back(c);
            c[0] = kStatusRecord;
            calls.push_back(c);
            return 21 + n;
        }
        case 0xDF:  // error response: device_id, error_code
            if (!(p = wire.Read(3))) return 0;
            calls.push_back({kErrorArgs, p[0], p[1], p[2]});
            calls.push_back({kErrorRecord, p[0], p[1], p[2]});
            return 3;
        default:  // unknown or unreadable: nothing more is read
            return -1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > tessary_fuzz::kMaxInput) return -1;
    const uint8_t command = data[0] % 4;
    ++data, --size;

    FuzzPeer peer;
    Recorder handle(&peer.stream);
    switch (command) {
        case 1: {
            handle.SendDeviceWakeup();
            const uint8_t sent[] = {0x0A};
            peer.ExpectSent(sent, 1, "SendDeviceWakeup");
            break;
        }
        case 2: {
            handle.RequestStatus();
            const uint8_t sent[] = {0xDA};
            peer.ExpectSent(sent, 1, "RequestStatus");
            break;
        }
        case 3: {
            uint8_t head[3] = {};
            std::memcpy(head, data, size < 3 ? size : 3);
            const size_t taken = size < 3 ? size : 3;
            data += taken, size -= taken;
            const uint8_t length = static_cast<uint8_t>(size < head[2] ? size : head[2]);
            // Null user data is allowed with length 0.
            handle.SendHandleState(U16(head), length, length ? data : nullptr);
            uint8_t sent[4 + 255] = {0xDB, head[0], head[1], length};
            std::memcpy(sent + 4, data, length);
            peer.ExpectSent(sent, 4u + length, "SendHandleState");
            data += length, size -= length;
            break;
        }
    }

    WireModel wire{data, peer.ReplyAndHangUp(data, size)};
    // Each Receive takes at least one byte, so this ends; one more call after
    // the end must return -1 at once and call nothing.
    for (size_t round = 0; round <= size + 1; ++round) {
        const bool was_ended = wire.ended;
        std::vector<Call> want;
        const int expected = ModelReceive(wire, want);
        handle.calls.clear();
        handle.receiving = true;
        const int got = handle.Receive();
        handle.receiving = false;
        FUZZ_CHECK(got == expected, "Receive %zu returned %d, expected %d", round, got, expected);
        FUZZ_CHECK(handle.calls == want, "Receive %zu made %zu calls, expected %zu (or other values)", round,
                   handle.calls.size(), want.size());
        if (was_ended) break;
    }
    peer.ExpectQuietEnd();
    return 0;
}
