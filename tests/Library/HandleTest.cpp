#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "FakeDevice.h"
#include "TessaryHardwareAPI/Handle.h"
#include "TessaryHardwareAPI/SerialStream.h"

using namespace tessary_test;
using Tessary::HardwareAPI::Devices::Handle;
using Tessary::HardwareAPI::Devices::HandleErrorRecord;
using Tessary::HardwareAPI::Devices::HandleInfoRecord;
using Tessary::HardwareAPI::Devices::HandleStatusRecord;
using Tessary::HardwareAPI::IO::SerialStream;
using Clock = std::chrono::steady_clock;

namespace {

long ElapsedMs(Clock::time_point since) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - since).count();
}

// Notes every callback in call order, with what it was given.
class RecordingHandle : public Handle {
public:
    using Handle::Handle;

    std::vector<std::string> calls;
    HandleInfoRecord info_args{};
    HandleInfoRecord info_record{};
    HandleStatusRecord status_args{};
    HandleStatusRecord status_record{};
    HandleErrorRecord error_args{};
    HandleErrorRecord error_record{};
    bool throw_from_error = false;

    void OnHandleInfoRecord(const HandleInfoRecord& r) override {
        calls.push_back("InfoRecord");
        info_record = r;
    }
    void OnReceiveHandleInfo(uint8_t tool_data_remaining, uint16_t device_id, uint8_t model, uint8_t hardware,
                             uint8_t firmware) override {
        calls.push_back("Info");
        info_args = {device_id, tool_data_remaining, model, hardware, firmware};
    }
    void OnHandleStatusRecord(const HandleStatusRecord& r) override {
        calls.push_back("StatusRecord");
        status_record = r;
    }
    void OnReceiveHandleStatusMessage(uint16_t device_id, const float* quaternion, uint8_t error_flag,
                                      uint8_t hall, uint8_t length, const uint8_t* user_data) override {
        calls.push_back("Status");
        std::memset(&status_args, 0xEE, sizeof status_args);
        status_args.device_id = device_id;
        std::memcpy(status_args.quaternion, quaternion, sizeof status_args.quaternion);
        status_args.error_flag = error_flag;
        status_args.hall_effect_sensor_level = hall;
        status_args.user_data_length = length;
        // All 255 bytes: those beyond the length must read as zero.
        std::memcpy(status_args.user_data, user_data, sizeof status_args.user_data);
    }
    void OnHandleErrorRecord(const HandleErrorRecord& r) override {
        calls.push_back("ErrorRecord");
        error_record = r;
    }
    void OnReceiveHandleErrorResponse(uint16_t device_id, uint8_t error_code) override {
        calls.push_back("Error");
        error_args = {device_id, error_code};
        if (throw_from_error) throw std::runtime_error("from the callback");
    }
};

Bytes Float(float f) {
    Bytes b(4);
    std::memcpy(b.data(), &f, 4);
    return b;
}

Bytes StatusMessage(uint16_t id, uint8_t error_flag, uint8_t hall, const float (&q)[4], const Bytes& user) {
    Bytes m = {0xDA, static_cast<uint8_t>(id & 0xFF), static_cast<uint8_t>(id >> 8), error_flag, hall};
    for (float f : q) {
        const Bytes b = Float(f);
        m.insert(m.end(), b.begin(), b.end());
    }
    m.push_back(static_cast<uint8_t>(user.size()));
    m.insert(m.end(), user.begin(), user.end());
    return m;
}

struct Line {
    FakeDevice device;
    SerialStream stream{device.Path(), true};
    RecordingHandle handle{&stream};
};

constexpr float kQ[4] = {0.5f, -1.25f, 3.0e-7f, 1024.0f};

}  // namespace

TEST(HandleCommands, AreSentByteExact) {
    Line t;
    t.handle.SendDeviceWakeup();
    EXPECT_EQ(t.device.WaitCaptured(1), (Bytes{0x0A}));
    t.handle.RequestStatus();
    EXPECT_EQ(t.device.WaitCaptured(2), (Bytes{0x0A, 0xDA}));
    t.handle.SendHandleState(5, 0, nullptr);
    const uint8_t two[] = {0xAA, 0xBB};
    t.handle.SendHandleState(0x1234, 2, two);
    EXPECT_EQ(t.device.WaitCaptured(12), (Bytes{0x0A, 0xDA, 0xDB, 0x05, 0x00, 0x00, 0xDB, 0x34, 0x12, 0x02, 0xAA, 0xBB}));
}

TEST(HandleCommands, LongestStateCarriesAll255Bytes) {
    Line t;
    uint8_t data[255];
    for (int i = 0; i < 255; ++i) data[i] = static_cast<uint8_t>(255 - i);
    t.handle.SendHandleState(0xBEEF, 255, data);
    const Bytes sent = t.device.WaitCaptured(259);
    ASSERT_EQ(sent.size(), 259u);
    EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 4), (Bytes{0xDB, 0xEF, 0xBE, 0xFF}));
    EXPECT_EQ(Bytes(sent.begin() + 4, sent.end()), Bytes(data, data + 255));
}

TEST(HandleReceive, StatusWithoutUserData) {
    Line t;
    t.device.Send(StatusMessage(0x0102, 7, 200, kQ, {}));
    EXPECT_EQ(t.handle.Receive(), 21);
    EXPECT_EQ(t.handle.calls, (std::vector<std::string>{"Status", "StatusRecord"}));
    for (const HandleStatusRecord* r : {&t.handle.status_args, &t.handle.status_record}) {
        EXPECT_EQ(r->device_id, 0x0102);
        EXPECT_EQ(r->error_flag, 7);
        EXPECT_EQ(r->hall_effect_sensor_level, 200);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(r->quaternion[i], kQ[i]) << i;
        EXPECT_EQ(r->user_data_length, 0);
        EXPECT_EQ(Bytes(r->user_data, r->user_data + 255), Bytes(255, 0));
    }
}

TEST(HandleReceive, StatusWith255BytesThenShorterLeavesNothingOver) {
    Line t;
    Bytes user(255);
    for (int i = 0; i < 255; ++i) user[i] = static_cast<uint8_t>(i + 1);
    t.device.Send(StatusMessage(1, 0, 0, kQ, user));
    EXPECT_EQ(t.handle.Receive(), 276);
    EXPECT_EQ(t.handle.status_args.user_data_length, 255);
    EXPECT_EQ(Bytes(t.handle.status_args.user_data, t.handle.status_args.user_data + 255), user);
    EXPECT_EQ(Bytes(t.handle.status_record.user_data, t.handle.status_record.user_data + 255), user);

    t.device.Send(StatusMessage(2, 0, 0, kQ, {0x55, 0x66}));
    EXPECT_EQ(t.handle.Receive(), 23);
    Bytes expected(255, 0);
    expected[0] = 0x55;
    expected[1] = 0x66;
    EXPECT_EQ(Bytes(t.handle.status_args.user_data, t.handle.status_args.user_data + 255), expected);
    EXPECT_EQ(Bytes(t.handle.status_record.user_data, t.handle.status_record.user_data + 255), expected);
}

TEST(HandleReceive, ErrorResponseAndInformation) {
    Line t;
    t.device.Send({0xDF, 0x07, 0x00, 0x03});
    EXPECT_EQ(t.handle.Receive(), 3);
    EXPECT_EQ(t.handle.calls, (std::vector<std::string>{"Error", "ErrorRecord"}));
    EXPECT_EQ(t.handle.error_args.device_id, 7);
    EXPECT_EQ(t.handle.error_args.error_code, 3);
    EXPECT_EQ(t.handle.error_record.device_id, 7);
    EXPECT_EQ(t.handle.error_record.error_code, 3);

    // device_id at offsets 0-1, tool_data_remaining at 2.
    t.handle.calls.clear();
    t.device.Send({0xD0, 0x34, 0x12, 0x09, 0x02, 0x03, 0x04});
    EXPECT_EQ(t.handle.Receive(), 6);
    EXPECT_EQ(t.handle.calls, (std::vector<std::string>{"Info", "InfoRecord"}));
    for (const HandleInfoRecord* r : {&t.handle.info_args, &t.handle.info_record}) {
        EXPECT_EQ(r->device_id, 0x1234);
        EXPECT_EQ(r->tool_data_remaining, 9);
        EXPECT_EQ(r->device_model_number, 2);
        EXPECT_EQ(r->hardware_version, 3);
        EXPECT_EQ(r->firmware_version, 4);
    }
}

TEST(HandleReceive, UnknownHeaderReadsNothingMore) {
    Line t;
    // 0x42, then what looks like an error response: no resynchronisation,
    // so the byte after the unknown header is the next header.
    t.device.Send({0x42, 0xDF, 0x07, 0x00, 0x03});
    const auto start = Clock::now();
    EXPECT_EQ(t.handle.Receive(), -1);
    EXPECT_TRUE(t.handle.calls.empty());
    EXPECT_EQ(t.handle.Receive(), 3);
    EXPECT_LT(ElapsedMs(start), 200);
    EXPECT_EQ(t.handle.error_args.device_id, 7);
}

TEST(HandleReceive, PlainHandleConsumesEachMessageSilently) {
    FakeDevice device;
    SerialStream stream(device.Path(), true);
    Handle handle(&stream);
    StderrCapture err;
    device.Send(StatusMessage(1, 0, 0, kQ, {1, 2, 3}));
    device.Send({0xD0, 1, 0, 2, 3, 4, 5, 0xDF, 1, 0, 2});
    device.Send(StatusMessage(1, 0, 0, kQ, {}));
    const auto start = Clock::now();
    EXPECT_EQ(handle.Receive(), 24);
    EXPECT_EQ(handle.Receive(), 6);
    EXPECT_EQ(handle.Receive(), 3);
    EXPECT_EQ(handle.Receive(), 21);
    EXPECT_LT(ElapsedMs(start), 200);
    EXPECT_EQ(err.Text(), "");
}

// A short payload read must not pass the bytes of an earlier message off as
// new ones: no callback runs, and the count is what was read in full.
TEST(HandleReceive, StatusStoppingHalfWayRunsNoCallback) {
    Line t;
    t.device.Send(StatusMessage(0x0909, 1, 1, kQ, {9, 9, 9, 9}));
    ASSERT_EQ(t.handle.Receive(), 25);
    t.handle.calls.clear();
    StderrCapture err;
    Bytes half = StatusMessage(0x0909, 1, 1, kQ, {});
    half.resize(11);
    t.device.Send(half);
    const auto start = Clock::now();
    EXPECT_EQ(t.handle.Receive(), 0);
    const long ms = ElapsedMs(start);
    EXPECT_GE(ms, 950);
    EXPECT_LT(ms, 1500);
    EXPECT_TRUE(t.handle.calls.empty());
    // The stream stays at end-of-file: the next Receive fails at once.
    t.device.Send({0xDF, 7, 0, 3});
    const auto again = Clock::now();
    EXPECT_EQ(t.handle.Receive(), -1);
    EXPECT_LT(ElapsedMs(again), 50);
    EXPECT_TRUE(t.handle.calls.empty());
    EXPECT_EQ(err.Text(), "");
}

TEST(HandleReceive, ShortUserDataRunsNoCallbackAndCountsTheFixedPart) {
    Line t;
    Bytes message = StatusMessage(3, 0, 0, kQ, {1, 2, 3, 4, 5});
    message.resize(message.size() - 2);
    t.device.Send(message);
    EXPECT_EQ(t.handle.Receive(), 21);
    EXPECT_TRUE(t.handle.calls.empty());
}

TEST(HandleReceive, ShortInformationAndErrorRunNoCallback) {
    {
        Line t;
        t.device.Send({0xD0, 1, 0, 2});
        EXPECT_EQ(t.handle.Receive(), 0);
        EXPECT_TRUE(t.handle.calls.empty());
    }
    Line t;
    t.device.Send({0xDF, 7});
    EXPECT_EQ(t.handle.Receive(), 0);
    EXPECT_TRUE(t.handle.calls.empty());
}

TEST(HandleReceive, ThrowingCallbackSkipsTheRecordAndConsumesTheMessage) {
    Line t;
    t.handle.throw_from_error = true;
    t.device.Send({0xDF, 7, 0, 3, 0xD0, 1, 0, 2, 3, 4, 5});
    EXPECT_THROW(t.handle.Receive(), std::runtime_error);
    EXPECT_EQ(t.handle.calls, (std::vector<std::string>{"Error"}));
    EXPECT_EQ(t.handle.Receive(), 6);
}

// The callbacks are the first six slots of the virtual table, in this order.
// Under the Itanium ABI a pointer to a virtual member holds 1 + its offset.
TEST(HandleLayout, CallbacksHoldTheFirstSixVirtualSlots) {
    auto slot = [](auto member) {
        std::ptrdiff_t raw;
        std::memcpy(&raw, &member, sizeof raw);
        return (raw - 1) / static_cast<std::ptrdiff_t>(sizeof(void*));
    };
    EXPECT_EQ(slot(&Handle::OnHandleInfoRecord), 0);
    EXPECT_EQ(slot(&Handle::OnReceiveHandleInfo), 1);
    EXPECT_EQ(slot(&Handle::OnHandleStatusRecord), 2);
    EXPECT_EQ(slot(&Handle::OnReceiveHandleStatusMessage), 3);
    EXPECT_EQ(slot(&Handle::OnHandleErrorRecord), 4);
    EXPECT_EQ(slot(&Handle::OnReceiveHandleErrorResponse), 5);
}
