// Device framing over a pseudo-terminal played by FakeDevice.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "FakeDevice.h"
#include "Timing.h"
#include "TessaryHardwareAPI/Device.h"
#include "TessaryHardwareAPI/SerialStream.h"

using namespace tessary_test;
using Tessary::HardwareAPI::Devices::Device;
using Tessary::HardwareAPI::IO::SerialStream;
using Clock = std::chrono::steady_clock;

namespace {

// A device over an open stream on a fake's slave side.
struct Framing {
    FakeDevice fake;
    SerialStream stream{fake.Path(), true};
    Device device{&stream};
};

Bytes ReadBuffer(const Device& device, size_t n) { return Bytes(device.read_buffer.get(), device.read_buffer.get() + n); }

const char* kLinePrefix = "\\[err\\] Library/src/Device\\.cpp:[0-9]+> ";

std::string WriteLine(size_t n, int err) {
    return std::string(kLinePrefix) + "unable to write '" + std::to_string(n) + "' bytes to stream: \\[" +
           std::to_string(err) + "\\] " + std::strerror(err) + "\n";
}
std::string HeaderLine(int err) {
    return std::string(kLinePrefix) + "unable to read header code from stream: \\[" + std::to_string(err) + "\\] " +
           std::strerror(err) + "\n";
}
std::string ReadLine(size_t n, int err) {
    return std::string(kLinePrefix) + "unable to read '" + std::to_string(n) + "' bytes from stream: \\[" +
           std::to_string(err) + "\\] " + std::strerror(err) + "\n";
}

}  // namespace

TEST(DeviceConstruction, BuffersAreZeroFilledAndNothingIsSent) {
    Framing t;
    EXPECT_EQ(t.device.stream, &t.stream);
    for (size_t i = 0; i < Device::kBufferSize; ++i) {
        ASSERT_EQ(t.device.write_buffer[i], 0) << i;
        ASSERT_EQ(t.device.read_buffer[i], 0) << i;
    }
    EXPECT_TRUE(t.fake.CapturedAfter().empty());
    EXPECT_TRUE(t.stream.good());
}

TEST(WriteFloats, SendsCodeAndThreeLittleEndianBinary32Values) {
    Framing t;
    StderrCapture err;
    const float values[] = {1.0f, 2.0f, 3.0f};
    const int count = 3;
    t.device.WriteFloats(42, values, count);
    const Bytes expected = {0x2A, 0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x40, 0x40};
    EXPECT_EQ(t.fake.WaitCaptured(13), expected);
    EXPECT_EQ(t.fake.CapturedAfter(), expected);  // exactly 13, nothing more
    EXPECT_EQ(Bytes(t.device.write_buffer.get(), t.device.write_buffer.get() + 13), expected);
    EXPECT_EQ(t.device.write_buffer[13], 0);
    EXPECT_TRUE(t.stream.good());
    EXPECT_EQ(err.Text(), "");
}

TEST(WriteFloats, OtherCountsPackWithoutPadding) {
    Framing t;
    const float values[] = {-2.0f, 0.5f};
    const int count = 2;
    t.device.WriteFloats(7, values, count);
    EXPECT_EQ(t.fake.WaitCaptured(9), (Bytes{0x07, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x3F}));
}

TEST(WriteBytes, SendsTheFirstNBytesOfTheWriteBuffer) {
    Framing t;
    t.device.write_buffer[0] = 0x0D;
    t.device.write_buffer[1] = 0xD1;
    t.device.write_buffer[2] = 0x55;
    t.device.WriteBytes(2);
    EXPECT_EQ(t.fake.CapturedAfter(), (Bytes{0x0D, 0xD1}));
    EXPECT_TRUE(t.stream.good());
}

TEST(ReadHeaderCode, ThenReadBytesLeavesThePayloadAtTheStartOfTheReadBuffer) {
    Framing t;
    StderrCapture err;
    Bytes reply = {0x0B};
    for (uint8_t i = 0; i < 21; ++i) reply.push_back(static_cast<uint8_t>(0x60 + i));
    t.fake.Send(reply);
    const auto start = Clock::now();
    EXPECT_EQ(t.device.ReadHeaderCode(), 0x0B);
    EXPECT_EQ(t.device.read_buffer[0], 0x0B);
    EXPECT_EQ(t.device.ReadBytes(21), 21);
    EXPECT_LT(ElapsedMs(start), kPromptMs);
    // The header byte is overwritten: read_buffer[0..20] is the payload.
    EXPECT_EQ(ReadBuffer(t.device, 21), Bytes(reply.begin() + 1, reply.end()));
    EXPECT_EQ(t.device.read_buffer[21], 0);
    EXPECT_TRUE(t.stream.good());
    EXPECT_EQ(err.Text(), "");
}

TEST(ReadBytes, BytesBeyondTheLastReadKeepTheirValues) {
    Framing t;
    t.fake.Send({1, 2, 3, 4, 9});
    EXPECT_EQ(t.device.ReadBytes(4), 4);
    EXPECT_EQ(t.device.ReadBytes(1), 1);
    EXPECT_EQ(ReadBuffer(t.device, 5), (Bytes{9, 2, 3, 4, 0}));
}

TEST(ReadBytes, ZeroOnAGoodStreamReturnsZeroAndKeepsItGood) {
    Framing t;
    StderrCapture err;
    const auto start = Clock::now();
    EXPECT_EQ(t.device.ReadBytes(0), 0);
    EXPECT_LT(ElapsedMs(start), kAtOnceMs);
    EXPECT_TRUE(t.stream.good());
    // The stream still works afterwards.
    t.fake.Send({0x2B});
    EXPECT_EQ(t.device.ReadHeaderCode(), 0x2B);
    EXPECT_EQ(err.Text(), "");
}

TEST(ReadHeaderCode, SilenceReturnsZeroAfterTheBudgetWithoutALine) {
    Framing t;
    StderrCapture err;
    const auto start = Clock::now();
    EXPECT_EQ(t.device.ReadHeaderCode(), 0);
    const long ms = ElapsedMs(start);
    EXPECT_GE(ms, kTimedOutMs);
    EXPECT_LT(ms, kOneWaitMs);
    EXPECT_TRUE(t.stream.eof());
    EXPECT_EQ(err.Text(), "");
}

TEST(ShortRead, ReturnsZeroAfterTheBudgetAndTheEndOfFileSticks) {
    Framing t;
    StderrCapture err;
    t.fake.Send({0, 1, 2, 3, 4, 5, 6, 7, 8, 9});  // 10 of 21
    const auto start = Clock::now();
    EXPECT_EQ(t.device.ReadBytes(21), 0);
    const long ms = ElapsedMs(start);
    EXPECT_GE(ms, kTimedOutMs);
    EXPECT_LT(ms, kOneWaitMs);
    EXPECT_TRUE(t.stream.eof());
    EXPECT_EQ(err.Text(), "");

    // From now on: writes send nothing, reads return 0 at once, all silently.
    t.device.write_buffer[0] = 0x0A;
    t.device.WriteBytes(1);
    const float values[] = {1.0f, 2.0f, 3.0f};
    t.device.WriteFloats(42, values, 3);
    EXPECT_TRUE(t.fake.CapturedAfter(2 * FakeDevice::kQuiet).empty());
    t.fake.Send({0x2B, 1, 2, 3});
    const auto again = Clock::now();
    EXPECT_EQ(t.device.ReadHeaderCode(), 0);
    EXPECT_EQ(t.device.ReadBytes(3), 0);
    EXPECT_LT(ElapsedMs(again), kAtOnceMs);
    EXPECT_EQ(err.Text(), "");
}

TEST(UnopenedPort, AFirstReadReturnsZeroSilentlyAndEndsTheStream) {
    SerialStream stream("/nonexistent/ttyACM7", true);  // prints its own open lines
    Device device(&stream);
    StderrCapture err;
    const auto start = Clock::now();
    EXPECT_EQ(device.ReadHeaderCode(), 0);
    EXPECT_LT(ElapsedMs(start), kAtOnceMs);
    EXPECT_TRUE(stream.eof());
    // Everything after it is quiet too: the end-of-file flag stays set.
    device.write_buffer[0] = 0x0A;
    device.WriteBytes(1);
    EXPECT_EQ(device.ReadBytes(4), 0);
    EXPECT_EQ(err.Text(), "");
}

TEST(UnopenedPort, AFirstWritePrintsTheWriteLineAndLaterOperationsPrintTheirs) {
    SerialStream stream("/nonexistent/ttyACM6", true);
    Device device(&stream);
    StderrCapture err;
    // No call reaches a port that never opened, so whatever errno holds is
    // stale: every line says EIO instead.
    errno = 0;
    device.write_buffer[0] = 0x0A;
    device.WriteBytes(1);
    EXPECT_TRUE(stream.bad());
    EXPECT_FALSE(stream.eof());
    std::string expected = WriteLine(1, EIO);
    EXPECT_TRUE(std::regex_match(err.Text(), std::regex(expected))) << err.Text();

    errno = ENODEV;
    EXPECT_EQ(device.ReadHeaderCode(), 0);
    expected += HeaderLine(EIO);
    errno = EBADF;
    EXPECT_EQ(device.ReadBytes(5), 0);
    expected += ReadLine(5, EIO);
    const float values[] = {1.0f, 2.0f, 3.0f};
    device.WriteFloats(42, values, 3);
    expected += WriteLine(13, EIO);
    EXPECT_TRUE(std::regex_match(err.Text(), std::regex(expected))) << err.Text();
    EXPECT_FALSE(stream.eof());  // the state is never cleared, nor turned into end-of-file
}

TEST(ErrorLines, NameTheSourceLineOfTheReport) {
    SerialStream stream("/nonexistent/ttyACM5", true);
    Device device(&stream);
    StderrCapture err;
    device.WriteBytes(1);
    device.ReadHeaderCode();
    device.ReadBytes(2);
    const std::string text = err.Text();
    const std::regex line("\\[err\\] Library/src/Device\\.cpp:([0-9]+)> ");
    std::vector<int> numbers;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), line); it != std::sregex_iterator(); ++it) {
        numbers.push_back(std::stoi((*it)[1]));
    }
    ASSERT_EQ(numbers.size(), 3u) << text;
    // Three different reporting places, each a real line of the file.
    EXPECT_NE(numbers[0], numbers[1]);
    EXPECT_NE(numbers[1], numbers[2]);
    for (int n : numbers) EXPECT_GT(n, 0);
}

TEST(HangUp, TheOperationThatFindsTheDeviceGoneSaysSoOnceAndTheRestAreQuiet) {
    FakeDevice device;
    SerialStream stream(device.Path(), true);
    Device arm(&stream);
    StderrCapture err;
    std::thread([&] {
        std::this_thread::sleep_for(milliseconds(kInstantMs));
        device.HangUp();
    }).detach();
    const auto start = Clock::now();
    EXPECT_EQ(arm.ReadHeaderCode(), 0);  // waiting for a reply when the line drops
    EXPECT_LT(ElapsedMs(start), kPromptMs);
    EXPECT_EQ(stream.State(), Tessary::HardwareAPI::IO::LinkState::HungUp);
    EXPECT_EQ(stream.Error(), EIO);
    arm.write_buffer[0] = 0x0A;
    arm.WriteBytes(1);
    EXPECT_EQ(arm.ReadBytes(4), 0);
    EXPECT_TRUE(std::regex_match(err.Text(), std::regex(HeaderLine(EIO)))) << err.Text();
}
