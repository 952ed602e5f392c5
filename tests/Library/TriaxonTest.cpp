// Arm protocol, byte-exact, over a pseudo-terminal played by FakeDevice.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>
#include <thread>
#include <type_traits>

#include "FakeDevice.h"
#include "TessaryHardwareAPI/SerialStream.h"
#include "TessaryHardwareAPI/Triaxon.h"
#include "TessaryHardwareAPI/UUID.h"

using namespace tessary_test;
using Tessary::HardwareAPI::UUID;
using Tessary::HardwareAPI::Devices::Triaxon;
using Tessary::HardwareAPI::IO::SerialStream;
using Clock = std::chrono::steady_clock;

namespace {


struct Arm {
    FakeDevice fake;
    SerialStream stream{fake.Path(), true};
    Triaxon arm{&stream};
};

Bytes CapturedAfter(FakeDevice& fake, milliseconds quiet = milliseconds(150)) {
    std::this_thread::sleep_for(quiet);
    return fake.Captured();
}

Bytes FloatBytes(std::initializer_list<float> values) {
    Bytes out;
    for (float v : values) {
        uint8_t b[4];
        std::memcpy(b, &v, 4);
        out.insert(out.end(), b, b + 4);
    }
    return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Counting(uint8_t from, size_t n) {
    Bytes out;
    for (size_t i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(from + i));
    return out;
}

UUID Filled(uint8_t value) {
    UUID id;
    id.data.fill(value);
    return id;
}

Bytes IdBytes(const UUID& id) { return Bytes(id.data.begin(), id.data.end()); }

constexpr float kSentinel = -777.25f;

}  // namespace

// ------------------------------------------------------------- requests

struct RequestCase {
    const char* name;
    std::function<void(Triaxon&)> send;
    Bytes bytes;
};

class Requests : public ::testing::TestWithParam<RequestCase> {};

TEST_P(Requests, SendExactlyTheirBytes) {
    Arm t;
    StderrCapture err;
    GetParam().send(t.arm);
    EXPECT_EQ(t.fake.WaitCaptured(GetParam().bytes.size()), GetParam().bytes);
    EXPECT_EQ(CapturedAfter(t.fake), GetParam().bytes);
    EXPECT_TRUE(t.stream.good());
    EXPECT_EQ(err.Text(), "");
}

namespace {
const float kOneTwoThree[] = {1.0f, 2.0f, 3.0f, 99.0f};  // the fourth is never sent
const Bytes kOneTwoThreeBytes = {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x40, 0x40};
}  // namespace

INSTANTIATE_TEST_SUITE_P(
    Arm, Requests,
    ::testing::Values(
        RequestCase{"SendDeviceWakeup", [](Triaxon& a) { a.SendDeviceWakeup(); }, {0x0A}},
        RequestCase{"RequestDeviceId", [](Triaxon& a) { a.RequestDeviceId(); }, {0x0D, 0xD1}},
        RequestCase{"RequestFirmwareVersion", [](Triaxon& a) { a.RequestFirmwareVersion(); }, {0x0D, 0xD2}},
        RequestCase{"RequestOrientation", [](Triaxon& a) { a.RequestOrientation(); }, {0x0C}},
        RequestCase{"RequestTemperature", [](Triaxon& a) { a.RequestTemperature(); }, {0xAA}},
        RequestCase{"RequestCurrent", [](Triaxon& a) { a.RequestCurrent(); }, {0xAB}},
        RequestCase{"RequestPowerStatus", [](Triaxon& a) { a.RequestPowerStatus(); }, {0xAC}},
        RequestCase{"SendForce", [](Triaxon& a) { a.SendForce(kOneTwoThree); }, Concat({{0x2A}, kOneTwoThreeBytes})},
        RequestCase{"SendPosition", [](Triaxon& a) { a.SendPosition(kOneTwoThree); },
                    Concat({{0x2C}, kOneTwoThreeBytes})},
        RequestCase{"SendJointTorques", [](Triaxon& a) { a.SendJointTorques(kOneTwoThree); },
                    Concat({{0x1A}, kOneTwoThreeBytes})},
        RequestCase{"SendAngle", [](Triaxon& a) { a.SendAngle(kOneTwoThree); }, Concat({{0x1C}, kOneTwoThreeBytes})}),
    [](const ::testing::TestParamInfo<RequestCase>& info) { return std::string(info.param.name); });

TEST(TriaxonConstruction, SendsNothingAndAddsNoState) {
    static_assert(sizeof(Triaxon) == sizeof(Tessary::HardwareAPI::Devices::Device), "no data of its own");
    static_assert(!std::is_polymorphic<Triaxon>::value, "not polymorphic");
    Arm t;
    EXPECT_TRUE(CapturedAfter(t.fake).empty());
}

// -------------------------------------------------------------- replies

TEST(ReceiveDeviceInfo, DecodesTheIdentityPayload) {
    Arm t;
    t.fake.Send(Concat({{0x0B, 0x34, 0x12, 0x04, 0x02, 0x07}, Counting(0x00, 16)}));
    uint16_t id = 1;
    uint8_t model = 1, hardware = 1, firmware = 1;
    UUID uuid = Filled(0xEE);
    const auto start = Clock::now();
    t.arm.ReceiveDeviceInfo(id, model, hardware, firmware, uuid);
    EXPECT_LT(ElapsedMs(start), 200);
    EXPECT_EQ(id, 0x1234);
    EXPECT_EQ(model, 4);
    EXPECT_EQ(hardware, 2);
    EXPECT_EQ(firmware, 7);
    EXPECT_EQ(IdBytes(uuid), Counting(0x00, 16));
    EXPECT_TRUE(t.stream.good());
}

TEST(ReceiveDeviceId, DecodesTheIdentifierAfterTheLengthByte) {
    Arm t;
    t.fake.Send(Concat({{0x0D, 0xD1, 0x10}, Counting(0xA0, 16)}));
    UUID id = Filled(0xEE);
    t.arm.ReceiveDeviceId(id);
    EXPECT_EQ(IdBytes(id), Counting(0xA0, 16));
    EXPECT_TRUE(t.stream.good());
}

TEST(ReceiveFirmwareVersion, DecodesTheVersionAfterTheLengthByte) {
    Arm t;
    t.fake.Send(Concat({{0x0D, 0xD2, 0x10}, Counting(0x30, 16)}));
    UUID version = Filled(0xEE);
    t.arm.ReceiveFirmwareVersion(version);
    EXPECT_EQ(IdBytes(version), Counting(0x30, 16));
}

TEST(ReceiveOrientation, DecodesFourFloatsInWireOrder) {
    Arm t;
    t.fake.Send(Concat({{0x0C}, FloatBytes({0.5f, -0.25f, 0.125f, 1.0f})}));
    float q[5] = {kSentinel, kSentinel, kSentinel, kSentinel, kSentinel};
    t.arm.ReceiveOrientation(q);
    EXPECT_EQ(q[0], 0.5f);
    EXPECT_EQ(q[1], -0.25f);
    EXPECT_EQ(q[2], 0.125f);
    EXPECT_EQ(q[3], 1.0f);
    EXPECT_EQ(q[4], kSentinel);  // nothing beyond four
}

TEST(ReceiveTemperature, DecodesOneFloat) {
    Arm t;
    t.fake.Send(Concat({{0xAA}, FloatBytes({36.625f})}));
    float temperature = kSentinel;
    t.arm.ReceiveTemperature(temperature);
    EXPECT_EQ(temperature, 36.625f);
}

TEST(ReceiveCurrent, DecodesThreeFloats) {
    Arm t;
    t.fake.Send(Concat({{0xAB}, FloatBytes({0.1f, 0.2f, -0.3f})}));
    float current[4] = {kSentinel, kSentinel, kSentinel, kSentinel};
    t.arm.ReceiveCurrent(current);
    EXPECT_EQ(current[0], 0.1f);
    EXPECT_EQ(current[1], 0.2f);
    EXPECT_EQ(current[2], -0.3f);
    EXPECT_EQ(current[3], kSentinel);
}

TEST(ReceivePowerStatus, ZeroIsFalseAnyOtherByteIsTrue) {
    for (uint8_t byte : {0x00, 0x01, 0xFF}) {
        Arm t;
        t.fake.Send({0xAC, byte});
        bool powered = byte == 0;  // the opposite of the answer
        t.arm.ReceivePowerStatus(powered);
        EXPECT_EQ(powered, byte != 0) << int(byte);
    }
}

TEST(ReceiveState, PositionThenVelocity) {
    Arm t;
    t.fake.Send(Concat({{0x2B}, FloatBytes({1.5f, 2.5f, 3.5f, -4.0f, -5.0f, -6.0f})}));
    float position[4] = {kSentinel, kSentinel, kSentinel, kSentinel};
    float velocity[4] = {kSentinel, kSentinel, kSentinel, kSentinel};
    t.arm.ReceiveState(position, velocity);
    EXPECT_EQ(position[0], 1.5f);
    EXPECT_EQ(position[1], 2.5f);
    EXPECT_EQ(position[2], 3.5f);
    EXPECT_EQ(velocity[0], -4.0f);
    EXPECT_EQ(velocity[1], -5.0f);
    EXPECT_EQ(velocity[2], -6.0f);
    EXPECT_EQ(position[3], kSentinel);
    EXPECT_EQ(velocity[3], kSentinel);
}

TEST(ReceiveJointState, JointPositionThenJointVelocity) {
    Arm t;
    t.fake.Send(Concat({{0x1B}, FloatBytes({0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f})}));
    float position[3] = {kSentinel, kSentinel, kSentinel};
    float velocity[3] = {kSentinel, kSentinel, kSentinel};
    t.arm.ReceiveJointState(position, velocity);
    EXPECT_EQ(position[0], 0.1f);
    EXPECT_EQ(position[2], 0.3f);
    EXPECT_EQ(velocity[0], 0.4f);
    EXPECT_EQ(velocity[2], 0.6f);
}

TEST(PairedExchanges, AnswerOneReplyEach) {
    Arm t;
    t.fake.Answer(0x2A, 13, Concat({{0x2B}, FloatBytes({1, 2, 3, 4, 5, 6})}));
    t.fake.Answer(0x1C, 13, Concat({{0x1B}, FloatBytes({7, 8, 9, 10, 11, 12})}));
    float p[3], v[3];
    t.arm.SendForce(kOneTwoThree);
    t.arm.ReceiveState(p, v);
    EXPECT_EQ(p[0], 1.0f);
    EXPECT_EQ(v[2], 6.0f);
    t.arm.SendAngle(kOneTwoThree);
    t.arm.ReceiveJointState(p, v);
    EXPECT_EQ(p[0], 7.0f);
    EXPECT_EQ(v[2], 12.0f);
    EXPECT_TRUE(t.stream.good());
}

// ------------------------------------------- rejected replies: sentinels stay

namespace {

// Every reply operation, with its outputs preset to sentinels, and a check
// that they are all still there.
struct Outputs {
    uint16_t id = 0xBEEF;
    uint8_t model = 0xA1, hardware = 0xA2, firmware = 0xA3;
    UUID uuid = Filled(0x5A);
    float floats[4] = {kSentinel, kSentinel, kSentinel, kSentinel};
    float second[3] = {kSentinel, kSentinel, kSentinel};
    float scalar = kSentinel;
    bool powered = true;

    bool Untouched() const {
        bool ok = id == 0xBEEF && model == 0xA1 && hardware == 0xA2 && firmware == 0xA3 &&
                  IdBytes(uuid) == IdBytes(Filled(0x5A)) && scalar == kSentinel && powered;
        for (float f : floats) ok = ok && f == kSentinel;
        for (float f : second) ok = ok && f == kSentinel;
        return ok;
    }
};

struct ReplyCase {
    const char* name;
    std::function<void(Triaxon&, Outputs&)> receive;
};

const ReplyCase kReplies[] = {
    {"ReceiveDeviceInfo", [](Triaxon& a, Outputs& o) { a.ReceiveDeviceInfo(o.id, o.model, o.hardware, o.firmware, o.uuid); }},
    {"ReceiveDeviceId", [](Triaxon& a, Outputs& o) { a.ReceiveDeviceId(o.uuid); }},
    {"ReceiveFirmwareVersion", [](Triaxon& a, Outputs& o) { a.ReceiveFirmwareVersion(o.uuid); }},
    {"ReceiveOrientation", [](Triaxon& a, Outputs& o) { a.ReceiveOrientation(o.floats); }},
    {"ReceiveTemperature", [](Triaxon& a, Outputs& o) { a.ReceiveTemperature(o.scalar); }},
    {"ReceiveCurrent", [](Triaxon& a, Outputs& o) { a.ReceiveCurrent(o.floats); }},
    {"ReceivePowerStatus", [](Triaxon& a, Outputs& o) { a.ReceivePowerStatus(o.powered); }},
    {"ReceiveState", [](Triaxon& a, Outputs& o) { a.ReceiveState(o.floats, o.second); }},
    {"ReceiveJointState", [](Triaxon& a, Outputs& o) { a.ReceiveJointState(o.floats, o.second); }},
};

}  // namespace

class SilentArm : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(SilentArm, LeavesEveryOutputUntouched) {
    Arm t;
    StderrCapture err;
    Outputs out;
    const auto start = Clock::now();
    GetParam().receive(t.arm, out);
    const long ms = ElapsedMs(start);
    EXPECT_TRUE(out.Untouched());
    EXPECT_GE(ms, 950);
    EXPECT_LT(ms, 1600);  // one wait for the header, then everything fails at once
    EXPECT_TRUE(t.stream.eof());
    EXPECT_EQ(err.Text(), "");
}

// A header that no reply operation expects.
TEST_P(SilentArm, AWrongHeaderIsDiscardedWithOutputsUntouched) {
    Arm t;
    t.fake.Send(Concat({{0x77}, FloatBytes({1, 2, 3, 4, 5, 6})}));
    Outputs out;
    GetParam().receive(t.arm, out);
    EXPECT_TRUE(out.Untouched());
    EXPECT_TRUE(t.stream.eof());  // the discard read waited out the budget
}

INSTANTIATE_TEST_SUITE_P(Arm, SilentArm, ::testing::ValuesIn(kReplies),
                         [](const ::testing::TestParamInfo<ReplyCase>& info) { return std::string(info.param.name); });

TEST(WrongHeader, TheDiscardReadConsumesWhatFollowed) {
    Arm t;
    const Bytes payload = FloatBytes({1, 2, 3, 4, 5, 6});
    t.fake.Send(Concat({{0x2B}, payload}));  // a state reply where a joint state was expected
    Outputs out;
    const auto start = Clock::now();
    t.arm.ReceiveJointState(out.floats, out.second);
    EXPECT_GE(ElapsedMs(start), 950);  // the discard read ran until the budget was spent
    EXPECT_TRUE(out.Untouched());
    // The 24 bytes that followed the header were read into the buffer and thrown away.
    EXPECT_EQ(Bytes(t.arm.read_buffer.get(), t.arm.read_buffer.get() + 24), payload);
    EXPECT_TRUE(t.stream.eof());
}

TEST(WrongHeader, TheDiscardReadTakesExactly1024Bytes) {
    Arm t;
    Bytes junk(1024);
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<uint8_t>(i * 7);
    t.fake.Send(Concat({{0x2B}, junk, {0x1B}, FloatBytes({1, 2, 3, 4, 5, 6})}));
    Outputs out;
    const auto start = Clock::now();
    t.arm.ReceiveJointState(out.floats, out.second);
    EXPECT_TRUE(out.Untouched());
    EXPECT_TRUE(t.stream.good());  // 1024 bytes came: no time-out
    // What follows the 1024 discarded bytes is the next reply, read whole.
    t.arm.ReceiveJointState(out.floats, out.second);
    EXPECT_LT(ElapsedMs(start), 500);
    EXPECT_EQ(out.floats[0], 1.0f);
    EXPECT_EQ(out.second[2], 6.0f);
}

TEST(ShortPayload, LeavesTheOutputsUntouched) {
    Arm t;
    StderrCapture err;
    t.fake.Send(Concat({{0x0B}, Counting(1, 10)}));  // 10 of 21
    Outputs out;
    const auto start = Clock::now();
    t.arm.ReceiveDeviceInfo(out.id, out.model, out.hardware, out.firmware, out.uuid);
    EXPECT_GE(ElapsedMs(start), 950);
    EXPECT_TRUE(out.Untouched());
    EXPECT_EQ(err.Text(), "");
}

TEST(ShortPayload, StateRepliesToo) {
    Arm t;
    t.fake.Send(Concat({{0x2B}, FloatBytes({1, 2, 3, 4, 5})}));  // 20 of 24
    Outputs out;
    t.arm.ReceiveState(out.floats, out.second);
    EXPECT_TRUE(out.Untouched());
}

TEST(IdentifierReply, ALengthByteOtherThan16LeavesTheIdentifierAndConsumes17Bytes) {
    for (uint8_t length : {0x0F, 0x11}) {
        Arm t;
        // After the 17 payload bytes, a good reply: it must be read whole and
        // at once, so the rejected reply left the stream just after its 17 bytes.
        t.fake.Send(Concat({{0x0D, 0xD1, length}, Counting(0x40, 16), {0x0D, 0xD1, 0x10}, Counting(0x80, 16)}));
        UUID id = Filled(0x5A);
        const auto start = Clock::now();
        t.arm.ReceiveDeviceId(id);
        EXPECT_EQ(IdBytes(id), IdBytes(Filled(0x5A))) << int(length);
        EXPECT_TRUE(t.stream.good());
        t.arm.ReceiveDeviceId(id);
        EXPECT_LT(ElapsedMs(start), 300);
        EXPECT_EQ(IdBytes(id), Counting(0x80, 16)) << int(length);
    }
}

TEST(IdentifierReply, FirmwareVersionChecksItsLengthByteToo) {
    Arm t;
    t.fake.Send(Concat({{0x0D, 0xD2, 0x0F}, Counting(0x40, 16)}));
    UUID version = Filled(0x5A);
    t.arm.ReceiveFirmwareVersion(version);
    EXPECT_EQ(IdBytes(version), IdBytes(Filled(0x5A)));
}

TEST(IdentifierReply, AWrongFirstByteConsumesBothThenDiscards) {
    Arm t;
    t.fake.Send(Concat({{0x0C, 0xD1, 0x10}, Counting(0x40, 16)}));
    UUID id = Filled(0x5A);
    const auto start = Clock::now();
    t.arm.ReceiveDeviceId(id);
    EXPECT_GE(ElapsedMs(start), 950);
    EXPECT_EQ(IdBytes(id), IdBytes(Filled(0x5A)));
    // Both header bytes were read before the discard: it starts at the length byte.
    EXPECT_EQ(Bytes(t.arm.read_buffer.get(), t.arm.read_buffer.get() + 17), Concat({{0x10}, Counting(0x40, 16)}));
}

TEST(IdentifierReply, TheOtherSelectorIsRejected) {
    Arm t;
    t.fake.Send(Concat({{0x0D, 0xD2, 0x10}, Counting(0x40, 16)}));
    UUID id = Filled(0x5A);
    t.arm.ReceiveDeviceId(id);
    EXPECT_EQ(IdBytes(id), IdBytes(Filled(0x5A)));
    EXPECT_EQ(t.arm.read_buffer[0], 0x10);  // discarded after both header bytes
}

// --------------------------------------------------- after a time-out

TEST(AfterATimeOut, TheNextExchangeReturnsAtOnceWithoutSending) {
    Arm t;
    StderrCapture err;
    float p[3] = {kSentinel, kSentinel, kSentinel}, v[3] = {kSentinel, kSentinel, kSentinel};
    t.arm.ReceiveState(p, v);  // nothing was asked: times out
    ASSERT_TRUE(t.stream.eof());
    // A live arm from now on; the stream stays at end-of-file regardless.
    t.fake.Answer(0x2A, 13, Concat({{0x2B}, FloatBytes({1, 2, 3, 4, 5, 6})}));
    const auto start = Clock::now();
    t.arm.SendForce(kOneTwoThree);
    t.arm.ReceiveState(p, v);
    EXPECT_LT(ElapsedMs(start), 100);
    for (float f : p) EXPECT_EQ(f, kSentinel);
    for (float f : v) EXPECT_EQ(f, kSentinel);
    EXPECT_TRUE(CapturedAfter(t.fake, milliseconds(200)).empty());
    EXPECT_EQ(err.Text(), "");
}

TEST(AfterAFailedWrite, TheReplyPrintsItsLinesAndLeavesOutputsUntouched) {
    SerialStream stream("/nonexistent/ttyACM4", true);
    Triaxon arm(&stream);
    StderrCapture err;
    float p[3] = {kSentinel, kSentinel, kSentinel}, v[3] = {kSentinel, kSentinel, kSentinel};
    const auto start = Clock::now();
    arm.SendForce(kOneTwoThree);
    arm.ReceiveState(p, v);
    EXPECT_LT(ElapsedMs(start), 100);
    for (float f : p) EXPECT_EQ(f, kSentinel);
    const std::string text = err.Text();
    EXPECT_NE(text.find("unable to write '13' bytes to stream"), std::string::npos) << text;
    EXPECT_NE(text.find("unable to read header code from stream"), std::string::npos) << text;
    EXPECT_NE(text.find("unable to read '1024' bytes from stream"), std::string::npos) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3) << text;
}

// ------------------------------------------------------------ identifier

TEST(UUIDValue, IsSixteenBytesZeroByDefaultAndCopiesVerbatim) {
    static_assert(sizeof(UUID) == 16 && alignof(UUID) == 1, "16 byte-aligned bytes");
    UUID zero;
    EXPECT_EQ(IdBytes(zero), Bytes(16, 0));
    UUID a;
    for (size_t i = 0; i < 16; ++i) a.data[i] = static_cast<uint8_t>(0xF0 - i);
    UUID b = a;
    EXPECT_EQ(IdBytes(b), IdBytes(a));
    const auto bytes = a.bytes();
    EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), IdBytes(a));
    a.data[0] = 0;
    EXPECT_EQ(b.data[0], 0xF0);  // a copy, not a view
}
