#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <regex>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "FakeDevice.h"
#include "TessaryHardwareAPI/SerialStream.h"

using namespace tessary_test;
using Tessary::HardwareAPI::IO::serialib;
using Tessary::HardwareAPI::IO::SerialStream;
using Clock = std::chrono::steady_clock;
using Traits = std::char_traits<char>;

namespace {


// A buffer opened on a fake device's slave.
struct OpenBuffer {
    FakeDevice device;
    serialib buffer;
    OpenBuffer() { EXPECT_EQ(buffer.open_tty(device.Path()), 1); }
};

}  // namespace

TEST(TimedRead, SilenceReturnsZeroAfterTheBudget) {
    OpenBuffer t;
    unsigned char data[4];
    const auto start = Clock::now();
    EXPECT_EQ(t.buffer.timed_read(data, 4), 0);
    const long ms = ElapsedMs(start);
    EXPECT_GE(ms, 995);
    EXPECT_LT(ms, 1300);
}

TEST(TimedRead, PartialReplyReturnsShortCountAfterTheBudget) {
    OpenBuffer t;
    t.device.Send({1, 2, 3});
    unsigned char data[5] = {};
    const auto start = Clock::now();
    EXPECT_EQ(t.buffer.timed_read(data, 5), 3);
    EXPECT_GE(ElapsedMs(start), 995);
    EXPECT_EQ(data[2], 3);
}

TEST(TimedRead, CompleteReplyReturnsAsSoonAsTheLastByteArrives) {
    OpenBuffer t;
    t.device.Send({1, 2});
    t.device.SendAfter(milliseconds(40), {3, 4});
    unsigned char data[4] = {};
    const auto start = Clock::now();
    EXPECT_EQ(t.buffer.timed_read(data, 4), 4);
    const long ms = ElapsedMs(start);
    EXPECT_GE(ms, 35);
    EXPECT_LT(ms, 100);
    EXPECT_EQ(data[3], 4);
}

TEST(TimedRead, HangUpFailsAtOnce) {
    OpenBuffer t;
    t.device.SendAfter(milliseconds(30), {});
    std::thread([&] {
        std::this_thread::sleep_for(milliseconds(30));
        t.device.HangUp();
    }).detach();
    unsigned char data[4];
    const auto start = Clock::now();
    EXPECT_EQ(t.buffer.timed_read(data, 4), -2);
    EXPECT_LT(ElapsedMs(start), 200);
    // Once hung up, a new request fails without waiting either.
    const auto again = Clock::now();
    EXPECT_EQ(t.buffer.timed_read(data, 4), -2);
    EXPECT_LT(ElapsedMs(again), 50);
}

TEST(TimedRead, ReadErrorFailsAtOnce) {
    serialib buffer;
    buffer.fd = ::open("/dev/null", O_WRONLY);  // read() fails with EBADF
    unsigned char data[1];
    const auto start = Clock::now();
    EXPECT_EQ(buffer.timed_read(data, 1), -2);
    EXPECT_LT(ElapsedMs(start), 50);
}

TEST(TimedRead, LargeTransfersReportTheirFullCount) {
    OpenBuffer t;
    Bytes block(200);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i);
    t.device.Send(block);
    char data[200];
    EXPECT_EQ(t.buffer.sgetn(data, 200), 200);
    EXPECT_EQ(static_cast<uint8_t>(data[199]), 199);
    EXPECT_EQ(t.buffer.sputn(data, 200), 200);
    EXPECT_EQ(t.device.WaitCaptured(200).size(), 200u);
}

TEST(HeldByte, UnderflowPeeksAndUflowConsumes) {
    OpenBuffer t;
    t.device.Send({0xC8});
    const auto start = Clock::now();
    // Two peeks read the device once: only one byte was sent, and a second
    // read would have waited out the budget.
    EXPECT_EQ(t.buffer.sgetc(), 0xC8);
    EXPECT_EQ(t.buffer.sgetc(), 0xC8);
    EXPECT_LT(ElapsedMs(start), 100);
    t.device.Send({0x07});
    EXPECT_EQ(t.buffer.sbumpc(), 0xC8);
    EXPECT_EQ(t.buffer.sbumpc(), 0x07);
    EXPECT_LT(ElapsedMs(start), 100);
}

TEST(HeldByte, PutBackHoldsOneByteOnly) {
    serialib buffer;
    EXPECT_EQ(buffer.sputbackc('x'), 'x');
    EXPECT_EQ(buffer.sputbackc('y'), Traits::eof());
    EXPECT_TRUE(buffer.has_held);
    EXPECT_EQ(buffer.held, 'x');
}

TEST(HeldByte, BlockReadStartsWithTheHeldByte) {
    {
        // With n == 1 the held byte is the whole answer: no read is made (the
        // descriptor here would fail any read).
        serialib buffer;
        buffer.fd = ::open("/dev/null", O_WRONLY);
        buffer.sputbackc('h');
        char c = 0;
        EXPECT_EQ(buffer.sgetn(&c, 1), 1);
        EXPECT_EQ(c, 'h');
        EXPECT_FALSE(buffer.has_held);
    }
    OpenBuffer t;
    t.device.Send({'a'});
    EXPECT_EQ(t.buffer.sgetc(), 'a');
    t.device.Send({'b', 'c', 'd', 'e'});
    char data[5] = {};
    EXPECT_EQ(t.buffer.sgetn(data, 5), 5);
    EXPECT_EQ(std::string(data, 5), "abcde");
}

TEST(HeldByte, ShowmanycTakesAWaitingByteIntoTheSlot) {
    OpenBuffer t;
    t.device.Send({'z'});
    EXPECT_EQ(t.buffer.in_avail(), 1);
    EXPECT_TRUE(t.buffer.has_held);
    EXPECT_EQ(t.buffer.in_avail(), 1);  // still held, nothing more read
    EXPECT_EQ(t.buffer.sbumpc(), 'z');
    const int flags = ::fcntl(t.buffer.fd, F_GETFL);
    EXPECT_TRUE(flags & O_NONBLOCK);
}

TEST(ClosedBuffer, EveryOperationGivesItsEmptyValue) {
    serialib buffer;
    char data[8];
    EXPECT_EQ(buffer.sgetc(), Traits::eof());
    EXPECT_EQ(buffer.sbumpc(), Traits::eof());
    EXPECT_EQ(buffer.sgetn(data, 8), 0);
    EXPECT_EQ(buffer.in_avail(), 0);
    EXPECT_EQ(buffer.sputc('a'), Traits::eof());
    EXPECT_EQ(buffer.sputn("abc", 3), 0);
    EXPECT_EQ(buffer.pubsetbuf(data, 8), &buffer);
    EXPECT_EQ(buffer.open_tty("/nonexistent/tty"), -2);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(buffer.fd, -1);
    EXPECT_EQ(buffer.sgetn(data, 8), 0);
}

TEST(OpenPort, AppliesRawLineSettings) {
    FakeDevice device;
    SerialStream stream(device.Path(), false);
    EXPECT_EQ(stream.OpenPort(), 1);
    EXPECT_TRUE(stream.good());
    const int fd = ::open(device.Path(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios t{};
    ASSERT_EQ(::tcgetattr(fd, &t), 0);
    ::close(fd);
    EXPECT_EQ(::cfgetispeed(&t), B115200);
    EXPECT_EQ(::cfgetospeed(&t), B115200);
    EXPECT_EQ(t.c_cflag & ~static_cast<tcflag_t>(CBAUD), static_cast<tcflag_t>(CS8 | CREAD | CLOCAL));
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_TRUE(::fcntl(stream.Buffer()->fd, F_GETFL) & O_NONBLOCK);
}

TEST(OpenPort, MissingPathPrintsBothLinesInOrder) {
    StderrCapture err;
    errno = 0;
    SerialStream stream("/nonexistent/ttyACM9", true);
    EXPECT_EQ(errno, ENOENT);
    const std::string text = err.Text();
    const std::regex expected(
        "\\[err\\] Library/src/SerialStream\\.cpp:[0-9]+> unable to open port '/nonexistent/ttyACM9': "
        "\\[2\\] No such file or directory\n"
        "\\[err\\] Library/src/SerialStream\\.cpp:[0-9]+> unable to open stream '/nonexistent/ttyACM9': "
        "\\[2\\] No such file or directory\n");
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
    // The object is usable and bound to a closed buffer: reads end the stream,
    // writes fail.
    ASSERT_NE(stream.Buffer(), nullptr);
    EXPECT_EQ(stream.Buffer()->fd, -1);
    char c;
    stream.read(&c, 1);
    EXPECT_TRUE(stream.eof());
}

TEST(OpenPort, ReportsMinusTwoWithOneLine) {
    SerialStream stream("/nonexistent/ttyUSB9", false);
    StderrCapture err;
    EXPECT_EQ(stream.OpenPort(), -2);
    EXPECT_EQ(errno, ENOENT);
    const std::string text = err.Text();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
}

TEST(SerialStreamLifecycle, UnopenedStreamIsBadAndSilent) {
    StderrCapture err;
    SerialStream stream("/nonexistent/ttyACM8", false);
    EXPECT_EQ(stream.Buffer(), nullptr);
    EXPECT_TRUE(stream.bad());
    EXPECT_EQ(stream.Port(), "/nonexistent/ttyACM8");
    char c = 0;
    stream.write(&c, 1);
    stream.read(&c, 1);
    EXPECT_TRUE(stream.fail());
    EXPECT_EQ(err.Text(), "");
}

TEST(SerialStreamLifecycle, DestructorClosesOnlyWhatIsOpen) {
    FakeDevice device;
    const int before = OpenDescriptorCount();
    {
        SerialStream stream(device.Path(), true);
        EXPECT_EQ(OpenDescriptorCount(), before + 1);
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
    int other = -1;
    {
        // A probe closes the descriptor itself; the destructor must not close
        // the number again, which by then belongs to someone else.
        SerialStream stream(device.Path(), true);
        ::close(stream.Buffer()->fd);
        stream.Buffer()->fd = -1;
        other = ::open("/dev/null", O_RDONLY);
    }
    EXPECT_NE(::fcntl(other, F_GETFD), -1);
    ::close(other);
    EXPECT_EQ(OpenDescriptorCount(), before);
}
