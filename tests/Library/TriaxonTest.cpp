// Arm protocol, byte-exact, over a pseudo-terminal played by FakeDevice.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "FakeDevice.h"
#include "Replies.h"
#include "Timing.h"
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

UUID Filled(uint8_t value) {
    UUID id;
    id.data.fill(value);
    return id;
}

UUID FromBytes(const Bytes& bytes) {
    UUID id;
    std::copy(bytes.begin(), bytes.end(), id.data.begin());
    return id;
}

Bytes IdBytes(const UUID& id) { return Bytes(id.data.begin(), id.data.end()); }

Bytes ReadBuffer(const Triaxon& arm, size_t n) { return Bytes(arm.read_buffer.get(), arm.read_buffer.get() + n); }

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
    EXPECT_EQ(t.fake.CapturedAfter(), GetParam().bytes);
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
    EXPECT_TRUE(t.fake.CapturedAfter().empty());
}

// -------------------------------------------------------------- replies

namespace {

// The outputs of every reply operation, preset to sentinels; each array is
// one longer than any operation writes, so a write past the end shows too.
struct Outputs {
    uint16_t id = 0xBEEF;
    uint8_t model = 0xA1, hardware = 0xA2, firmware = 0xA3;
    UUID uuid = Filled(0x5A);
    float floats[5] = {kSentinel, kSentinel, kSentinel, kSentinel, kSentinel};
    float second[4] = {kSentinel, kSentinel, kSentinel, kSentinel};
    float scalar = kSentinel;
    bool powered = true;     // for a reply that says "off"
    bool unpowered = false;  // for a reply that says "on"

    bool operator==(const Outputs& o) const {
        return id == o.id && model == o.model && hardware == o.hardware && firmware == o.firmware &&
               IdBytes(uuid) == IdBytes(o.uuid) && std::equal(floats, floats + 5, o.floats) &&
               std::equal(second, second + 4, o.second) && scalar == o.scalar && powered == o.powered &&
               unpowered == o.unpowered;
    }
};

void PrintTo(const Outputs& o, std::ostream* os) {
    *os << "{id " << o.id << ", model " << int(o.model) << ", hardware " << int(o.hardware) << ", firmware "
        << int(o.firmware) << ", uuid";
    for (uint8_t b : o.uuid.data) *os << ' ' << int(b);
    *os << ", floats";
    for (float f : o.floats) *os << ' ' << f;
    *os << ", second";
    for (float f : o.second) *os << ' ' << f;
    *os << ", scalar " << o.scalar << ", powered " << o.powered << ", unpowered " << o.unpowered << "}";
}

const Outputs kUntouched{};

// One row per reply operation (power status once per kind of byte): how to
// receive it, the header bytes it reads before judging them, a good reply,
// and the outputs that reply must give, every value of them.
struct ReplyCase {
    const char* name;
    std::function<void(Triaxon&, Outputs&)> receive;
    size_t header_bytes;
    Bytes reply;
    Outputs decoded;
};

Outputs Decoded(const std::function<void(Outputs&)>& set) {
    Outputs o;
    set(o);
    return o;
}

const ReplyCase kReplies[] = {
    {"ReceiveDeviceInfo",
     [](Triaxon& a, Outputs& o) { a.ReceiveDeviceInfo(o.id, o.model, o.hardware, o.firmware, o.uuid); }, 1,
     WakeupReply(0x1234, 4, 2, 7, Counting(0x00, 16)), Decoded([](Outputs& o) {
         o.id = 0x1234, o.model = 4, o.hardware = 2, o.firmware = 7, o.uuid = FromBytes(Counting(0x00, 16));
     })},
    {"ReceiveDeviceId", [](Triaxon& a, Outputs& o) { a.ReceiveDeviceId(o.uuid); }, 2,
     IdentifierReply(0xD1, Counting(0xA0, 16)), Decoded([](Outputs& o) { o.uuid = FromBytes(Counting(0xA0, 16)); })},
    {"ReceiveFirmwareVersion", [](Triaxon& a, Outputs& o) { a.ReceiveFirmwareVersion(o.uuid); }, 2,
     IdentifierReply(0xD2, Counting(0x30, 16)), Decoded([](Outputs& o) { o.uuid = FromBytes(Counting(0x30, 16)); })},
    {"ReceiveOrientation", [](Triaxon& a, Outputs& o) { a.ReceiveOrientation(o.floats); }, 1,
     FloatReply(0x0C, {0.5f, -0.25f, 0.125f, 1.0f}), Decoded([](Outputs& o) {
         o.floats[0] = 0.5f, o.floats[1] = -0.25f, o.floats[2] = 0.125f, o.floats[3] = 1.0f;
     })},
    {"ReceiveTemperature", [](Triaxon& a, Outputs& o) { a.ReceiveTemperature(o.scalar); }, 1,
     FloatReply(0xAA, {36.625f}), Decoded([](Outputs& o) { o.scalar = 36.625f; })},
    {"ReceiveCurrent", [](Triaxon& a, Outputs& o) { a.ReceiveCurrent(o.floats); }, 1,
     FloatReply(0xAB, {0.1f, 0.2f, -0.3f}),
     Decoded([](Outputs& o) { o.floats[0] = 0.1f, o.floats[1] = 0.2f, o.floats[2] = -0.3f; })},
    {"ReceivePowerStatusZeroIsOff", [](Triaxon& a, Outputs& o) { a.ReceivePowerStatus(o.powered); }, 1, {0xAC, 0x00},
     Decoded([](Outputs& o) { o.powered = false; })},
    {"ReceivePowerStatusOneIsOn", [](Triaxon& a, Outputs& o) { a.ReceivePowerStatus(o.unpowered); }, 1, {0xAC, 0x01},
     Decoded([](Outputs& o) { o.unpowered = true; })},
    {"ReceivePowerStatusAnyOtherByteIsOn", [](Triaxon& a, Outputs& o) { a.ReceivePowerStatus(o.unpowered); }, 1,
     {0xAC, 0xFF}, Decoded([](Outputs& o) { o.unpowered = true; })},
    {"ReceiveState", [](Triaxon& a, Outputs& o) { a.ReceiveState(o.floats, o.second); }, 1,
     FloatReply(0x2B, {1.5f, 2.5f, 3.5f, -4.0f, -5.0f, -6.0f}), Decoded([](Outputs& o) {
         o.floats[0] = 1.5f, o.floats[1] = 2.5f, o.floats[2] = 3.5f;
         o.second[0] = -4.0f, o.second[1] = -5.0f, o.second[2] = -6.0f;
     })},
    {"ReceiveJointState", [](Triaxon& a, Outputs& o) { a.ReceiveJointState(o.floats, o.second); }, 1,
     FloatReply(0x1B, {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f}), Decoded([](Outputs& o) {
         o.floats[0] = 0.1f, o.floats[1] = 0.2f, o.floats[2] = 0.3f;
         o.second[0] = 0.4f, o.second[1] = 0.5f, o.second[2] = 0.6f;
     })},
};

}  // namespace

class Replies : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(Replies, DecodeEveryValue) {
    Arm t;
    StderrCapture err;
    t.fake.Send(GetParam().reply);
    Outputs out;
    const auto start = Clock::now();
    GetParam().receive(t.arm, out);
    EXPECT_LT(ElapsedMs(start), kPromptMs);
    EXPECT_EQ(out, GetParam().decoded);
    EXPECT_TRUE(t.stream.good());
    EXPECT_EQ(err.Text(), "");
}

// A header that no reply operation expects, then 1024 bytes: the discard read
// takes exactly those at once, and the good reply after them is read whole.
TEST_P(Replies, AWrongHeaderAndThe1024BytesAfterItAreDiscardedAtOnce) {
    Arm t;
    t.fake.Send(Concat({Bytes(GetParam().header_bytes, 0x77), Junk(1024), GetParam().reply}));
    Outputs out;
    const auto start = Clock::now();
    GetParam().receive(t.arm, out);
    EXPECT_EQ(out, kUntouched);
    EXPECT_TRUE(t.stream.good());
    GetParam().receive(t.arm, out);
    EXPECT_LT(ElapsedMs(start), kPromptMs);
    EXPECT_EQ(out, GetParam().decoded);
}

INSTANTIATE_TEST_SUITE_P(Arm, Replies, ::testing::ValuesIn(kReplies),
                         [](const ::testing::TestParamInfo<ReplyCase>& info) { return std::string(info.param.name); });

TEST(PairedExchanges, AnswerOneReplyEach) {
    Arm t;
    t.fake.Answer(0x2A, 13, FloatReply(0x2B, {1, 2, 3, 4, 5, 6}));
    t.fake.Answer(0x1C, 13, FloatReply(0x1B, {7, 8, 9, 10, 11, 12}));
    float p[3], v[3];
    t.arm.SendForce(kOneTwoThree);
    t.arm.ReceiveState(p, v);
    EXPECT_EQ(std::vector<float>(p, p + 3), (std::vector<float>{1, 2, 3}));
    EXPECT_EQ(std::vector<float>(v, v + 3), (std::vector<float>{4, 5, 6}));
    t.arm.SendAngle(kOneTwoThree);
    t.arm.ReceiveJointState(p, v);
    EXPECT_EQ(std::vector<float>(p, p + 3), (std::vector<float>{7, 8, 9}));
    EXPECT_EQ(std::vector<float>(v, v + 3), (std::vector<float>{10, 11, 12}));
    EXPECT_TRUE(t.stream.good());
}

// ------------------------------------------- a silent arm, then a live one

// Every reply operation against its own silent arm, all at once so the read
// budget is waited out once. Each waits once and leaves its outputs; from
// then on its stream stays at end-of-file, so even a live arm is neither
// asked nor heard.
TEST(SilentArm, EachReplyWaitsOnceThenTheStreamFailsAtOnceWithoutSending) {
    struct Run {
        std::unique_ptr<Arm> t = std::make_unique<Arm>();
        Outputs first, again;
        long waited = 0, again_ms = 0;
        bool eof = false;
    };
    std::vector<Run> runs(std::size(kReplies));
    StderrCapture err;
    std::vector<std::thread> threads;
    for (size_t i = 0; i < runs.size(); ++i) {
        threads.emplace_back([&run = runs[i], &row = kReplies[i]] {
            auto start = Clock::now();
            row.receive(run.t->arm, run.first);
            run.waited = ElapsedMs(start);
            run.eof = run.t->stream.eof();
            // A live arm from now on.
            run.t->fake.Answer(0x2A, 13, row.reply);
            run.t->fake.Send(row.reply);
            start = Clock::now();
            run.t->arm.SendForce(kOneTwoThree);
            row.receive(run.t->arm, run.again);
            run.again_ms = ElapsedMs(start);
        });
    }
    for (std::thread& thread : threads) thread.join();
    std::this_thread::sleep_for(FakeDevice::kQuiet);  // for any byte still under way
    for (size_t i = 0; i < runs.size(); ++i) {
        SCOPED_TRACE(kReplies[i].name);
        EXPECT_EQ(runs[i].first, kUntouched);
        EXPECT_GE(runs[i].waited, kTimedOutMs);
        EXPECT_LT(runs[i].waited, kOneWaitMs);  // one wait for the header, then everything fails at once
        EXPECT_TRUE(runs[i].eof);
        EXPECT_LT(runs[i].again_ms, kAtOnceMs);
        EXPECT_EQ(runs[i].again, kUntouched);
        EXPECT_TRUE(runs[i].t->fake.Captured().empty());
    }
    EXPECT_EQ(err.Text(), "");
}

// ------------------------------------------------- rejected replies

TEST(WrongHeader, TheDiscardReadConsumesWhatFollowed) {
    Arm t;
    const Bytes payload = FloatBytes({1, 2, 3, 4, 5, 6});
    t.fake.Send(Concat({{0x2B}, payload}));  // a state reply where a joint state was expected
    Outputs out;
    const auto start = Clock::now();
    t.arm.ReceiveJointState(out.floats, out.second);
    EXPECT_GE(ElapsedMs(start), kTimedOutMs);  // the discard read ran until the budget was spent
    EXPECT_EQ(out, kUntouched);
    // The 24 bytes that followed the header were read into the buffer and thrown away.
    EXPECT_EQ(ReadBuffer(t.arm, 24), payload);
    EXPECT_TRUE(t.stream.eof());
}

TEST(WrongHeader, TheDiscardReadTakesExactly1024Bytes) {
    Arm t;
    t.fake.Send(Concat({{0x2B}, Junk(1024), FloatReply(0x1B, {1, 2, 3, 4, 5, 6})}));
    Outputs out;
    const auto start = Clock::now();
    t.arm.ReceiveJointState(out.floats, out.second);
    EXPECT_EQ(out, kUntouched);
    EXPECT_TRUE(t.stream.good());  // 1024 bytes came: no time-out
    // What follows the 1024 discarded bytes is the next reply, read whole.
    t.arm.ReceiveJointState(out.floats, out.second);
    EXPECT_LT(ElapsedMs(start), kWithinBudgetMs);
    EXPECT_EQ(out, Decoded([](Outputs& o) {
                  o.floats[0] = 1, o.floats[1] = 2, o.floats[2] = 3, o.second[0] = 4, o.second[1] = 5, o.second[2] = 6;
              }));
}

TEST(ShortPayload, LeavesTheOutputsUntouched) {
    Arm t;
    StderrCapture err;
    t.fake.Send(Concat({{0x0B}, Counting(1, 10)}));  // 10 of 21
    Outputs out;
    const auto start = Clock::now();
    t.arm.ReceiveDeviceInfo(out.id, out.model, out.hardware, out.firmware, out.uuid);
    EXPECT_GE(ElapsedMs(start), kTimedOutMs);
    EXPECT_EQ(out, kUntouched);
    EXPECT_EQ(err.Text(), "");
}

TEST(ShortPayload, StateRepliesToo) {
    Arm t;
    t.fake.Send(FloatReply(0x2B, {1, 2, 3, 4, 5}));  // 20 of 24
    Outputs out;
    t.arm.ReceiveState(out.floats, out.second);
    EXPECT_EQ(out, kUntouched);
}

TEST(IdentifierReply, ALengthByteOtherThan16LeavesTheIdentifierAndConsumes17Bytes) {
    for (uint8_t length : {0x0F, 0x11}) {
        Arm t;
        // After the 17 payload bytes, a good reply: it must be read whole and
        // at once, so the rejected reply left the stream just after its 17 bytes.
        t.fake.Send(Concat({IdentifierReply(0xD1, Counting(0x40, 16), length), IdentifierReply(0xD1, Counting(0x80, 16))}));
        UUID id = Filled(0x5A);
        const auto start = Clock::now();
        t.arm.ReceiveDeviceId(id);
        EXPECT_EQ(IdBytes(id), IdBytes(Filled(0x5A))) << int(length);
        EXPECT_TRUE(t.stream.good());
        t.arm.ReceiveDeviceId(id);
        EXPECT_LT(ElapsedMs(start), kPromptMs);
        EXPECT_EQ(IdBytes(id), Counting(0x80, 16)) << int(length);
    }
}

TEST(IdentifierReply, FirmwareVersionChecksItsLengthByteToo) {
    Arm t;
    t.fake.Send(IdentifierReply(0xD2, Counting(0x40, 16), 0x0F));
    UUID version = Filled(0x5A);
    t.arm.ReceiveFirmwareVersion(version);
    EXPECT_EQ(IdBytes(version), IdBytes(Filled(0x5A)));
}

// 1024 bytes after the two header bytes in all, so the discard returns at
// once; the reply after them is read whole.
TEST(IdentifierReply, AWrongFirstByteConsumesBothThenDiscards) {
    Arm t;
    t.fake.Send(Concat({{0x0C, 0xD1, 0x10}, Counting(0x40, 16), Junk(1024 - 17), IdentifierReply(0xD1, Counting(0x80, 16))}));
    UUID id = Filled(0x5A);
    const auto start = Clock::now();
    t.arm.ReceiveDeviceId(id);
    EXPECT_EQ(IdBytes(id), IdBytes(Filled(0x5A)));
    // Both header bytes were read before the discard: it starts at the length byte.
    EXPECT_EQ(ReadBuffer(t.arm, 17), Concat({{0x10}, Counting(0x40, 16)}));
    t.arm.ReceiveDeviceId(id);
    EXPECT_LT(ElapsedMs(start), kPromptMs);
    EXPECT_EQ(IdBytes(id), Counting(0x80, 16));
}

TEST(IdentifierReply, TheOtherSelectorIsRejected) {
    Arm t;
    t.fake.Send(Concat({IdentifierReply(0xD2, Counting(0x40, 16)), Junk(1024 - 17)}));
    UUID id = Filled(0x5A);
    const auto start = Clock::now();
    t.arm.ReceiveDeviceId(id);
    EXPECT_LT(ElapsedMs(start), kPromptMs);
    EXPECT_EQ(IdBytes(id), IdBytes(Filled(0x5A)));
    EXPECT_EQ(t.arm.read_buffer[0], 0x10);  // discarded after both header bytes
    EXPECT_TRUE(t.stream.good());
}

// --------------------------------------------------- after a failed write

TEST(AfterAFailedWrite, TheReplyPrintsItsLinesAndLeavesOutputsUntouched) {
    SerialStream stream("/nonexistent/ttyACM4", true);
    Triaxon arm(&stream);
    StderrCapture err;
    float p[3] = {kSentinel, kSentinel, kSentinel}, v[3] = {kSentinel, kSentinel, kSentinel};
    const auto start = Clock::now();
    arm.SendForce(kOneTwoThree);
    arm.ReceiveState(p, v);
    EXPECT_LT(ElapsedMs(start), kAtOnceMs);
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
