#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FakeDevice.h"
#include "Replies.h"
#include "Timing.h"
#include "TessaryHardwareAPI/Handle.h"

using namespace tessary_test;
using namespace Tessary::HardwareAPI::Devices;
using Tessary::HardwareAPI::IO::SerialStream;
using Clock = std::chrono::steady_clock;

namespace {

// Notes the callbacks in call order ("i" info, "s" status, "e" error; upper
// case for the record form) and keeps what they were given.
struct Recorder : Handle {
    using Handle::Handle;
    std::string calls;
    HandleInfoRecord info{}, info_record{};
    HandleStatusRecord status{}, status_record{};
    HandleErrorRecord error{}, error_record{};

    void OnHandleInfoRecord(const HandleInfoRecord& r) override { calls += 'I'; info_record = r; }
    void OnReceiveHandleInfo(uint8_t tool, uint16_t id, uint8_t model, uint8_t hw, uint8_t fw) override {
        calls += 'i'; info = {id, tool, model, hw, fw};
    }
    void OnHandleStatusRecord(const HandleStatusRecord& r) override { calls += 'S'; status_record = r; }
    void OnReceiveHandleStatusMessage(uint16_t id, const float* q, uint8_t flag, uint8_t hall, uint8_t n,
                                      const uint8_t* data) override {
        calls += 's';
        status = {id, {q[0], q[1], q[2], q[3]}, flag, hall, n, {}};
        std::memcpy(status.user_data, data, sizeof status.user_data);  // all 255: the rest must be zero
    }
    void OnHandleErrorRecord(const HandleErrorRecord& r) override { calls += 'E'; error_record = r; }
    void OnReceiveHandleErrorResponse(uint16_t id, uint8_t code) override { calls += 'e'; error = {id, code}; }
};

constexpr float kQ[4] = {0.5f, -1.25f, 3.0e-7f, 1024.0f};

Bytes Status(uint16_t id, const Bytes& user) { return HandleStatus(id, 7, 200, kQ, user); }

Bytes UserData(const HandleStatusRecord& r) { return Bytes(r.user_data, r.user_data + 255); }

struct Line {
    FakeDevice device;
    SerialStream stream{device.Path(), true};
    Recorder handle{&stream};
};

}  // namespace

TEST(HandleCommands, AreSentByteExact) {
    Line t;
    const uint8_t two[] = {0xAA, 0xBB};
    t.handle.SendDeviceWakeup();
    t.handle.RequestStatus();
    t.handle.SendHandleState(5, 0, nullptr);
    t.handle.SendHandleState(0x1234, 2, two);
    EXPECT_EQ(t.device.WaitCaptured(12), (Bytes{0x0A, 0xDA, 0xDB, 5, 0, 0, 0xDB, 0x34, 0x12, 2, 0xAA, 0xBB}));
}

TEST(HandleReceive, StatusUserDataOfEveryLengthWithNothingLeftOver) {
    Line t;
    Bytes full(255);
    for (int i = 0; i < 255; ++i) full[i] = uint8_t(i + 1);
    t.device.Send(Status(0x0102, {}));
    t.device.Send(Status(1, full));
    t.device.Send(Status(2, {0x55, 0x66}));

    EXPECT_EQ(t.handle.Receive(), 21);
    EXPECT_EQ(t.handle.calls, "sS");
    for (const HandleStatusRecord* r : {&t.handle.status, &t.handle.status_record}) {
        EXPECT_EQ(r->device_id, 0x0102);
        EXPECT_EQ(r->error_flag, 7);
        EXPECT_EQ(r->hall_effect_sensor_level, 200);
        EXPECT_EQ(std::memcmp(r->quaternion, kQ, sizeof kQ), 0);
        EXPECT_EQ(r->user_data_length, 0);
        EXPECT_EQ(UserData(*r), Bytes(255, 0));
    }
    EXPECT_EQ(t.handle.Receive(), 276);
    EXPECT_EQ(UserData(t.handle.status), full);
    EXPECT_EQ(UserData(t.handle.status_record), full);
    EXPECT_EQ(t.handle.Receive(), 23);
    Bytes expected(255, 0);
    expected[0] = 0x55; expected[1] = 0x66;
    EXPECT_EQ(UserData(t.handle.status), expected);
    EXPECT_EQ(UserData(t.handle.status_record), expected);
}

TEST(HandleReceive, ErrorInformationAndUnknownHeader) {
    Line t;
    // 0x42 is unknown and nothing after it is skipped: the next byte is the
    // next header.
    t.device.Send(Concat({HandleError(7, 3), HandleInfo(0x1234, 9, 2, 3, 4), {0x42}, HandleError(8, 1)}));
    EXPECT_EQ(t.handle.Receive(), 3);
    EXPECT_EQ(t.handle.Receive(), 6);
    EXPECT_EQ(t.handle.calls, "eEiI");
    EXPECT_EQ(t.handle.Receive(), -1);
    EXPECT_EQ(t.handle.calls, "eEiI");
    EXPECT_EQ(t.handle.Receive(), 3);
    EXPECT_EQ(t.handle.error.device_id, 8);
    EXPECT_EQ(t.handle.error_record.error_code, 1);
    // device_id at offsets 0-1, tool_data_remaining at 2.
    for (const HandleInfoRecord* r : {&t.handle.info, &t.handle.info_record}) {
        EXPECT_EQ(r->device_id, 0x1234);
        EXPECT_EQ(r->tool_data_remaining, 9);
        EXPECT_EQ(r->device_model_number, 2);
        EXPECT_EQ(r->hardware_version, 3);
        EXPECT_EQ(r->firmware_version, 4);
    }
}

TEST(HandleReceive, PlainHandleConsumesEachMessageSilently) {
    FakeDevice device;
    SerialStream stream(device.Path(), true);
    Handle handle(&stream);
    StderrCapture err;
    Bytes all = Status(1, {1, 2, 3});
    device.Send(Concat({all, HandleInfo(1, 2, 3, 4, 5), HandleError(1, 2)}));
    const auto start = Clock::now();
    EXPECT_EQ(handle.Receive(), 24);
    EXPECT_EQ(handle.Receive(), 6);
    EXPECT_EQ(handle.Receive(), 3);
    EXPECT_LT(ElapsedMs(start), kPromptMs);
    EXPECT_EQ(err.Text(), "");
}

// read_buffer still holds an earlier message then; a short read must not pass
// it off as new data. The count is what the fixed part read in full.
// Both cuts (in the fixed part, in the user data) wait out the budget side by side.
TEST(HandleReceive, ShortPayloadRunsNoCallback) {
    struct Run {
        explicit Run(size_t c) : cut(c) {}
        size_t cut;
        std::unique_ptr<Line> t = std::make_unique<Line>();
        int first = 0, count = 0, again = 0;
        long waited = 0, again_ms = 0;
        std::string calls;
    };
    Run runs[] = {Run(11), Run(23)};
    StderrCapture err;
    std::vector<std::thread> threads;
    for (Run& run : runs) {
        threads.emplace_back([&run] {
            Line& t = *run.t;
            t.device.Send(Status(9, {9, 9, 9, 9}));
            run.first = t.handle.Receive();
            t.handle.calls.clear();
            Bytes partial = Status(9, {1, 2, 3, 4});
            partial.resize(run.cut);
            t.device.Send(partial);
            auto start = Clock::now();
            run.count = t.handle.Receive();
            run.waited = ElapsedMs(start);
            run.calls = t.handle.calls;
            t.device.Send(HandleError(7, 3));
            start = Clock::now();
            run.again = t.handle.Receive();
            run.again_ms = ElapsedMs(start);
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (const Run& run : runs) {
        SCOPED_TRACE(run.cut);
        EXPECT_EQ(run.first, 25);
        EXPECT_EQ(run.count, run.cut == 11 ? 0 : 21);
        EXPECT_GE(run.waited, kTimedOutMs);
        EXPECT_EQ(run.calls, "");
        EXPECT_EQ(run.again, -1);  // the stream stays at end-of-file
        EXPECT_LT(run.again_ms, kInstantMs);
    }
    EXPECT_EQ(err.Text(), "");
}

// The callbacks own the first six slots of the virtual table, in this order.
// Under the Itanium ABI a pointer to a virtual member holds 1 + its offset.
TEST(HandleLayout, CallbacksHoldTheFirstSixVirtualSlots) {
    auto slot = [](auto member) {
        std::ptrdiff_t raw;
        std::memcpy(&raw, &member, sizeof raw);
        return (raw - 1) / std::ptrdiff_t(sizeof(void*));
    };
    EXPECT_EQ(slot(&Handle::OnHandleInfoRecord), 0);
    EXPECT_EQ(slot(&Handle::OnReceiveHandleInfo), 1);
    EXPECT_EQ(slot(&Handle::OnHandleStatusRecord), 2);
    EXPECT_EQ(slot(&Handle::OnReceiveHandleStatusMessage), 3);
    EXPECT_EQ(slot(&Handle::OnHandleErrorRecord), 4);
    EXPECT_EQ(slot(&Handle::OnReceiveHandleErrorResponse), 5);
}
