// Fuzzes the arm's exchanges: byte 0 picks one request/reply pair; for the
// three-float requests the next 12 bytes are the floats sent; the rest is
// what the arm answers. The request bytes on the wire, every output, and
// where the stream stands afterwards are checked against the protocol.

#include <cstring>

#include "FuzzPeer.h"
#include "TessaryHardwareAPI/Triaxon.h"

using Tessary::HardwareAPI::UUID;
using Tessary::HardwareAPI::Devices::Triaxon;
using tessary_fuzz::FuzzPeer;
using tessary_fuzz::WireModel;

namespace {

// Every output of every reply operation, each in a field of its own, so that
// a write past a field's end shows up as a changed neighbour.
struct Outputs {
    uint16_t id;
    uint8_t model, hardware, firmware;
    UUID uuid;
    float quaternion[4];
    float temperature;
    float current[3];
    float first[3], second[3];
    bool powered;
};

bool Same(const Outputs& a, const Outputs& b) {
    auto eq = [](const auto& x, const auto& y) { return std::memcmp(&x, &y, sizeof x) == 0; };
    return eq(a.id, b.id) && eq(a.model, b.model) && eq(a.hardware, b.hardware) && eq(a.firmware, b.firmware) &&
           eq(a.uuid, b.uuid) && eq(a.quaternion, b.quaternion) && eq(a.temperature, b.temperature) &&
           eq(a.current, b.current) && eq(a.first, b.first) && eq(a.second, b.second) && a.powered == b.powered;
}

// Decoders write what a reply's payload says into the outputs that its
// operation owns: integers and floats bit for bit, little-endian.
void DecodeInfo(Outputs& o, const uint8_t* p) {
    o.id = static_cast<uint16_t>(p[0] | p[1] << 8);
    o.model = p[2];
    o.hardware = p[3];
    o.firmware = p[4];
    std::memcpy(o.uuid.data.data(), p + 5, 16);
}
void DecodeIdentifier(Outputs& o, const uint8_t* p) { std::memcpy(o.uuid.data.data(), p + 1, 16); }
void DecodeQuaternion(Outputs& o, const uint8_t* p) { std::memcpy(o.quaternion, p, 16); }
void DecodeTemperature(Outputs& o, const uint8_t* p) { std::memcpy(&o.temperature, p, 4); }
void DecodeCurrent(Outputs& o, const uint8_t* p) { std::memcpy(o.current, p, 12); }
void DecodePower(Outputs& o, const uint8_t* p) { o.powered = p[0] != 0; }
void DecodeStatePair(Outputs& o, const uint8_t* p) {
    std::memcpy(o.first, p, 12);
    std::memcpy(o.second, p + 12, 12);
}

struct Exchange {
    const char* name;
    void (*send)(Triaxon&, const float*);
    uint8_t request[2];  // code, then the selector when there is one
    size_t request_size;  // without the floats
    bool floats;
    uint8_t header, selector;  // expected reply; selector 0: none
    size_t payload;
    void (*receive)(Triaxon&, Outputs&);
    void (*decode)(Outputs&, const uint8_t*);
};

const Exchange kExchanges[] = {
    {"wake-up", [](Triaxon& a, const float*) { a.SendDeviceWakeup(); }, {0x0A}, 1, false, 0x0B, 0, 21,
     [](Triaxon& a, Outputs& o) { a.ReceiveDeviceInfo(o.id, o.model, o.hardware, o.firmware, o.uuid); },
     DecodeInfo},
    {"device id", [](Triaxon& a, const float*) { a.RequestDeviceId(); }, {0x0D, 0xD1}, 2, false, 0x0D, 0xD1, 17,
     [](Triaxon& a, Outputs& o) { a.ReceiveDeviceId(o.uuid); }, DecodeIdentifier},
    {"firmware version", [](Triaxon& a, const float*) { a.RequestFirmwareVersion(); }, {0x0D, 0xD2}, 2, false,
     0x0D, 0xD2, 17, [](Triaxon& a, Outputs& o) { a.ReceiveFirmwareVersion(o.uuid); }, DecodeIdentifier},
    {"orientation", [](Triaxon& a, const float*) { a.RequestOrientation(); }, {0x0C}, 1, false, 0x0C, 0, 16,
     [](Triaxon& a, Outputs& o) { a.ReceiveOrientation(o.quaternion); }, DecodeQuaternion},
    {"temperature", [](Triaxon& a, const float*) { a.RequestTemperature(); }, {0xAA}, 1, false, 0xAA, 0, 4,
     [](Triaxon& a, Outputs& o) { a.ReceiveTemperature(o.temperature); }, DecodeTemperature},
    {"current", [](Triaxon& a, const float*) { a.RequestCurrent(); }, {0xAB}, 1, false, 0xAB, 0, 12,
     [](Triaxon& a, Outputs& o) { a.ReceiveCurrent(o.current); }, DecodeCurrent},
    {"power status", [](Triaxon& a, const float*) { a.RequestPowerStatus(); }, {0xAC}, 1, false, 0xAC, 0, 1,
     [](Triaxon& a, Outputs& o) { a.ReceivePowerStatus(o.powered); }, DecodePower},
    {"force", [](Triaxon& a, const float* f) { a.SendForce(f); }, {0x2A}, 1, true, 0x2B, 0, 24,
     [](Triaxon& a, Outputs& o) { a.ReceiveState(o.first, o.second); }, DecodeStatePair},
    {"position", [](Triaxon& a, const float* f) { a.SendPosition(f); }, {0x2C}, 1, true, 0x2B, 0, 24,
     [](Triaxon& a, Outputs& o) { a.ReceiveState(o.first, o.second); }, DecodeStatePair},
    {"joint torques", [](Triaxon& a, const float* f) { a.SendJointTorques(f); }, {0x1A}, 1, true, 0x1B, 0, 24,
     [](Triaxon& a, Outputs& o) { a.ReceiveJointState(o.first, o.second); }, DecodeStatePair},
    {"joint angles", [](Triaxon& a, const float* f) { a.SendAngle(f); }, {0x1C}, 1, true, 0x1B, 0, 24,
     [](Triaxon& a, Outputs& o) { a.ReceiveJointState(o.first, o.second); }, DecodeStatePair},
};

// The accepted payload, or null: a wrong header (or selector) is followed by
// one discard read of the whole 1024-byte buffer; a short payload, or an
// identifier whose length byte is not 16, is rejected.
const uint8_t* Accepted(const Exchange& e, WireModel& wire) {
    const uint8_t code = wire.Header();
    const uint8_t selector = e.selector ? wire.Header() : 0;
    if (code != e.header || selector != e.selector) {
        wire.Read(1024);
        return nullptr;
    }
    const uint8_t* p = wire.Read(e.payload);
    if (p && e.selector && p[0] != 16) return nullptr;
    return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > tessary_fuzz::kMaxInput) return -1;
    const Exchange& e = kExchanges[data[0] % (sizeof kExchanges / sizeof kExchanges[0])];
    ++data, --size;

    uint8_t request[14];
    std::memcpy(request, e.request, e.request_size);
    size_t request_size = e.request_size;
    float values[3] = {};
    if (e.floats) {
        const size_t n = size < 12 ? size : 12;
        std::memcpy(values, data, n);
        std::memcpy(request + 1, values, 12);
        request_size += 12;
        data += n, size -= n;
    }

    FuzzPeer peer;
    Triaxon arm(&peer.stream);
    e.send(arm, values);
    peer.ExpectSent(request, request_size, e.name);

    WireModel wire{data, peer.ReplyAndHangUp(data, size)};
    const uint8_t* payload = Accepted(e, wire);

    // Start from outputs that differ from the expected ones in every byte
    // the reply should write, so a missing write cannot pass unnoticed.
    Outputs before;
    std::memset(&before, 0xA5, sizeof before);
    before.powered = false;
    Outputs want = before;
    if (payload) {
        e.decode(want, payload);
        uint8_t inverted[24];
        for (size_t i = 0; i < e.payload; ++i) inverted[i] = static_cast<uint8_t>(~payload[i]);
        e.decode(before, inverted);
        if (e.decode == DecodePower) before.powered = !want.powered;
    }
    Outputs got = before;
    e.receive(arm, got);
    FUZZ_CHECK(Same(got, want), "%s: outputs differ from the reply (%s)", e.name,
               payload ? "accepted" : "rejected, so untouched");

    // Exactly the reply (or the discarded 1024 bytes) was consumed: the next
    // byte read is the one the protocol leaves next.
    const uint8_t next = wire.Header();
    const uint8_t read = arm.ReadHeaderCode();
    FUZZ_CHECK(read == next, "%s: next byte %02X, expected %02X", e.name, read, next);
    peer.ExpectQuietEnd();
    return 0;
}
