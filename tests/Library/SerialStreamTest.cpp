#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <ctime>
#include <fstream>
#include <regex>
#include <thread>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "FakeDevice.h"
#include "Timing.h"
#include "TessaryHardwareAPI/Device.h"
#include "TessaryHardwareAPI/Handle.h"
#include "TessaryHardwareAPI/SerialStream.h"

using namespace tessary_test;
using Tessary::HardwareAPI::IO::serialib;
using Tessary::HardwareAPI::IO::SerialStream;
using Tessary::HardwareAPI::Devices::Device;
using Tessary::HardwareAPI::Devices::Handle;
using Clock = std::chrono::steady_clock;
using Traits = std::char_traits<char>;

// The serial-driver requests the library makes pass through here, so a test
// can see the low-latency request and play a driver that grants it.
namespace {
struct SerialIoctls {
    bool play_driver = false;  // answer as a serial driver would, instead of the real one
    int gets = 0, sets = 0;
    int set_flags = 0;
} serial_ioctls;
}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (request == TIOCGSERIAL || request == TIOCSSERIAL) {
        auto* serial = static_cast<serial_struct*>(arg);
        (request == TIOCGSERIAL ? serial_ioctls.gets : serial_ioctls.sets) += 1;
        if (request == TIOCSSERIAL) serial_ioctls.set_flags = serial->flags;
        if (serial_ioctls.play_driver) {
            if (request == TIOCGSERIAL) {
                *serial = serial_struct{};
                serial->flags = ASYNC_SPD_HI;
            }
            return 0;
        }
    }
    using Real = int (*)(int, unsigned long, ...);
    static const auto real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "ioctl"));
    return real(fd, request, arg);
}

namespace {


// SIGALRM at the calling thread every `period`, caught by a handler installed
// without SA_RESTART, as Python installs its own: every system call the thread
// is in when it fires is interrupted.
class SignalStorm {
public:
    explicit SignalStorm(std::chrono::microseconds period) {
        fired = 0;
        struct sigaction action {};
        action.sa_handler = [](int) { fired = fired + 1; };
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        ::sigaction(SIGALRM, &action, &saved_);
        sigevent event{};
        event.sigev_notify = SIGEV_THREAD_ID;
        event.sigev_signo = SIGALRM;
        event._sigev_un._tid = ::gettid();
        ::timer_create(CLOCK_MONOTONIC, &event, &timer_);
        const long ns = static_cast<long>(period.count()) * 1000;
        const itimerspec every{{0, ns}, {0, ns}};
        ::timer_settime(timer_, 0, &every, nullptr);
    }
    ~SignalStorm() {
        ::timer_delete(timer_);
        ::sigaction(SIGALRM, &saved_, nullptr);
    }
    static inline volatile std::sig_atomic_t fired = 0;

private:
    struct sigaction saved_ {};
    timer_t timer_{};
};

// The two lines of a failed construction: "unable to open port", then stream.
std::regex OpenFailure(const std::string& path, const std::string& error) {
    const std::string tail = "'" + path + "': " + error + "\n";
    const std::string head = "\\[err\\] Library/src/SerialStream\\.cpp:[0-9]+> unable to open ";
    return std::regex(head + "port " + tail + head + "stream " + tail);
}

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
    EXPECT_GE(ms, kFullBudgetMs);
    EXPECT_LT(ms, kOneWaitMs);
}

TEST(TimedRead, PartialReplyReturnsShortCountAfterTheBudget) {
    OpenBuffer t;
    t.device.Send({1, 2, 3});
    unsigned char data[5] = {};
    const auto start = Clock::now();
    EXPECT_EQ(t.buffer.timed_read(data, 5), 3);
    EXPECT_GE(ElapsedMs(start), kFullBudgetMs);
    EXPECT_EQ(data[2], 3);
}

TEST(TimedRead, CompleteReplyReturnsAsSoonAsTheLastByteArrives) {
    OpenBuffer t;
    t.device.Send({1, 2});
    const milliseconds later(kInstantMs);
    t.device.SendAfter(later, {3, 4});
    unsigned char data[4] = {};
    const auto start = Clock::now();
    EXPECT_EQ(t.buffer.timed_read(data, 4), 4);
    const long ms = ElapsedMs(start);
    EXPECT_GE(ms, later.count() * 9 / 10);
    EXPECT_LT(ms, later.count() + kInstantMs);
    EXPECT_EQ(data[3], 4);
}

TEST(TimedRead, HangUpFailsAtOnce) {
    OpenBuffer t;
    t.device.SendAfter(milliseconds(kInstantMs / 2), {});
    std::thread([&] {
        std::this_thread::sleep_for(milliseconds(kInstantMs / 2));
        t.device.HangUp();
    }).detach();
    unsigned char data[4];
    const auto start = Clock::now();
    EXPECT_EQ(t.buffer.timed_read(data, 4), -2);
    EXPECT_LT(ElapsedMs(start), kPromptMs);
    // Once hung up, a new request fails without waiting either.
    const auto again = Clock::now();
    EXPECT_EQ(t.buffer.timed_read(data, 4), -2);
    EXPECT_LT(ElapsedMs(again), kInstantMs);
}

TEST(TimedRead, ReadErrorFailsAtOnce) {
    serialib buffer;
    buffer.fd = ::open("/dev/null", O_WRONLY);  // read() fails with EBADF
    unsigned char data[1];
    const auto start = Clock::now();
    EXPECT_EQ(buffer.timed_read(data, 1), -2);
    EXPECT_LT(ElapsedMs(start), kInstantMs);
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
    EXPECT_LT(ElapsedMs(start), kAtOnceMs);
    t.device.Send({0x07});
    EXPECT_EQ(t.buffer.sbumpc(), 0xC8);
    EXPECT_EQ(t.buffer.sbumpc(), 0x07);
    EXPECT_LT(ElapsedMs(start), kAtOnceMs);
}

TEST(ReadAhead, BytesTakenWithAHeaderComeNextAndAReopenDropsThem) {
    FakeDevice device;
    SerialStream stream(device.Path(), true);
    device.Send({1, 2, 3, 4});
    int waiting = 0;
    for (int i = 0; i < 100 && waiting < 4; ++i, std::this_thread::sleep_for(milliseconds(1))) {
        ::ioctl(stream.Buffer()->fd, FIONREAD, &waiting);
    }
    ASSERT_EQ(waiting, 4);
    char got[3] = {};
    stream.read(got, 1);  // takes all four off the line
    ::ioctl(stream.Buffer()->fd, FIONREAD, &waiting);
    EXPECT_EQ(waiting, 0);
    stream.read(got + 1, 2);
    EXPECT_EQ(std::string(got, 3), std::string("\x01\x02\x03"));
    // The fourth byte is held by the library alone now; after a reopen it
    // must not be taken for the next reply.
    ASSERT_EQ(stream.Reopen(), 1);
    device.Send({9});
    stream.read(got, 1);
    EXPECT_EQ(got[0], 9);
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
        EXPECT_EQ(OpenDescriptorCount(), before + 2);  // the port, and the wake-up of close() from another thread
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

// ------------------------------------------------ signals and partial writes

TEST(Signals, ExchangesAndReadBudgetsSurviveASignalEveryMillisecond) {
    FakeDevice device;
    Bytes reply(25);
    for (size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<uint8_t>(43 + i);
    device.Answer(42, 13, reply);
    SerialStream stream(device.Path(), true);
    Device arm(&stream);
    const float force[3] = {1.0f, 2.0f, 3.0f};
    int exchanges = 0;
    {
        SignalStorm storm(std::chrono::microseconds(1000));
        const auto start = Clock::now();
        for (; ElapsedMs(start) < 300; ++exchanges) {
            arm.WriteFloats(42, force, 3);
            ASSERT_EQ(arm.ReadHeaderCode(), 43) << "exchange " << exchanges;
            ASSERT_EQ(arm.ReadBytes(24), 24) << "exchange " << exchanges;
            ASSERT_EQ(arm.read_buffer[23], reply[24]);
        }
        EXPECT_GT(SignalStorm::fired, 150);

        // A silent reply still gets its whole budget, however often ppoll is cut short.
        const auto silent = Clock::now();
        EXPECT_EQ(arm.ReadHeaderCode(), 0);
        EXPECT_GE(ElapsedMs(silent), kFullBudgetMs);
        EXPECT_LT(ElapsedMs(silent), kOneWaitMs);
    }
    EXPECT_TRUE(stream.TimedOut());
    const Bytes frame = {42, 0, 0, 0x80, 0x3F, 0, 0, 0, 0x40, 0, 0, 0x40, 0x40};
    Bytes expected;
    for (int i = 0; i < exchanges; ++i) expected.insert(expected.end(), frame.begin(), frame.end());
    EXPECT_TRUE(device.WaitCaptured(expected.size()) == expected);
}

TEST(PartialWrites, AStalledPeerGetsEveryFrameWholeOnceItReadsAgain) {
    FakeDevice device;
    SerialStream stream(device.Path(), true);
    Handle handle(&stream);
    // Frames of 4 to 10 bytes, numbered, far more than the line buffers hold, so
    // writes come back short or refused while the peer is stalled.
    Bytes expected;
    const int frames = 6000;
    uint8_t data[6] = {1, 2, 3, 4, 5, 6};
    device.StopReading();
    std::thread resume([&] {
        std::this_thread::sleep_for(milliseconds(300));
        device.ResumeReading();
    });
    StderrCapture err;
    {
        SignalStorm storm(std::chrono::microseconds(1000));
        for (int i = 0; i < frames && stream.good(); ++i) {
            const auto id = static_cast<uint16_t>(i);
            const auto length = static_cast<uint8_t>(i % 7);
            handle.SendHandleState(id, length, data);
            expected.insert(expected.end(), {219, static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8), length});
            expected.insert(expected.end(), data, data + length);
        }
    }
    resume.join();
    EXPECT_TRUE(stream.Good());
    EXPECT_EQ(err.Text(), "");
    EXPECT_GT(expected.size(), 30000u);
    const Bytes captured = device.WaitCaptured(expected.size());
    EXPECT_EQ(captured.size(), expected.size());
    EXPECT_TRUE(captured == expected);  // byte-exact, without printing 30 kB on failure
}

TEST(PartialWrites, APeerThatNeverReadsFailsTheWriteAfterTheBudgetWithEagain) {
    FakeDevice device;
    device.StopReading();
    SerialStream stream(device.Path(), true);
    Device arm(&stream);
    const float force[3] = {0.0f, 0.0f, 0.0f};
    StderrCapture err;
    long last_ms = 0;
    int writes = 0;
    while (stream.good() && writes < 100000) {
        const auto start = Clock::now();
        arm.WriteFloats(42, force, 3);
        last_ms = ElapsedMs(start);
        ++writes;
    }
    EXPECT_GE(last_ms, kFullBudgetMs);
    EXPECT_LT(last_ms, kOneWaitMs);
    EXPECT_EQ(errno, EAGAIN);
    const std::regex line("\\[err\\] Library/src/Device\\.cpp:[0-9]+> unable to write '13' bytes to stream: "
                          "\\[11\\] Resource temporarily unavailable\n");
    EXPECT_TRUE(std::regex_match(err.Text(), line)) << err.Text();
    EXPECT_TRUE(stream.IsOpen());
    EXPECT_FALSE(stream.Good());
    EXPECT_FALSE(stream.TimedOut());
}

// --------------------------------------------------------- opening a port

TEST(OpenPort, ASecondOpenerGetsEbusyUntilTheOwnerCloses) {
    FakeDevice device;
    SerialStream owner(device.Path(), true);
    ASSERT_TRUE(owner.Good());
    {
        StderrCapture err;
        errno = 0;
        SerialStream second(device.Path(), true);
        EXPECT_EQ(errno, EBUSY);
        EXPECT_FALSE(second.IsOpen());
        EXPECT_TRUE(std::regex_match(err.Text(), OpenFailure(device.Path(), "\\[16\\] Device or resource busy")))
            << err.Text();
        // Another open file of this process conflicts the same way (pyserial's
        // exclusive mode takes this very lock).
        const int other = ::open(device.Path(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_EQ(::flock(other, LOCK_EX | LOCK_NB), -1);
        ::close(other);

        owner.Close();
        EXPECT_EQ(second.Reopen(), 1);
        EXPECT_TRUE(second.Good());
    }
    EXPECT_TRUE(device.Captured().empty());  // the refused opener sent nothing
}

TEST(OpenPort, NonTerminalsAreRefusedWithEnottyAndLeftUntouched) {
    char folder[] = "/tmp/tessary-notty-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string file = std::string(folder) + "/port.txt";
    const std::string fifo = std::string(folder) + "/fifo";
    std::ofstream(file) << "hello";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    for (const std::string& path : {file, fifo, std::string("/dev/null")}) {
        StderrCapture err;
        const int descriptors = OpenDescriptorCount();
        errno = 0;
        SerialStream stream(path.c_str(), true);
        EXPECT_EQ(errno, ENOTTY) << path;
        EXPECT_FALSE(stream.IsOpen()) << path;
        EXPECT_EQ(OpenDescriptorCount(), descriptors) << path;  // closed again at once
        EXPECT_TRUE(std::regex_match(err.Text(), OpenFailure(path, "\\[25\\] Inappropriate ioctl for device")))
            << err.Text();
        stream.write("\x0a", 1);
        EXPECT_TRUE(stream.bad());
    }
    std::ifstream in(file, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "hello");
    ::unlink(file.c_str());
    ::unlink(fifo.c_str());
    ::rmdir(folder);
}

TEST(OpenPort, DescriptorIsCloseOnExecAndLowLatencyIsAskedForHarmlessly) {
    FakeDevice device;
    device.Answer(10, 1, {11});
    serial_ioctls = {};
    {
        // A pty has no serial driver: the request is refused, the port works.
        SerialStream stream(device.Path(), true);
        ASSERT_TRUE(stream.Good());
        EXPECT_EQ(::fcntl(stream.Buffer()->fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
        EXPECT_EQ(serial_ioctls.gets, 1);
        EXPECT_EQ(serial_ioctls.sets, 0);
        stream.write("\x0a", 1);
        char c = 0;
        stream.read(&c, 1);
        EXPECT_TRUE(stream.Good());
        EXPECT_EQ(c, 11);
    }
    // A driver that has the flag gets it added to what it had.
    serial_ioctls = {};
    serial_ioctls.play_driver = true;
    serialib buffer;
    EXPECT_EQ(buffer.open_tty(device.Path()), 1);
    serial_ioctls.play_driver = false;
    EXPECT_EQ(serial_ioctls.sets, 1);
    EXPECT_EQ(serial_ioctls.set_flags, ASYNC_SPD_HI | ASYNC_LOW_LATENCY);
}

// ------------------------------------------------------- connection state

TEST(ConnectionState, AfterTimeOutCloseReopenAndHangUp) {
    FakeDevice device;
    device.Answer(10, 1, {11});
    SerialStream stream(device.Path(), true);
    auto exchange = [&] {
        char c = 0;
        stream.write("\x0a", 1);
        stream.read(&c, 1);
        return c == 11;
    };
    auto state = [&] {
        return std::make_tuple(stream.IsOpen(), stream.Good(), stream.TimedOut());
    };
    using State = std::tuple<bool, bool, bool>;  // open, good, timed out
    StderrCapture err;

    EXPECT_TRUE(exchange());
    EXPECT_EQ(state(), State(true, true, false));

    char c;
    stream.read(&c, 1);  // nothing comes: the one time-out of this test
    EXPECT_EQ(state(), State(true, false, true));
    EXPECT_FALSE(exchange());  // quietly, at once

    // A late reply waits on the line; reopening drops it, so it is not taken
    // for the reply to the next request.
    device.Send({0x55});
    pollfd late{stream.Buffer()->fd, POLLIN, 0};
    ASSERT_EQ(::poll(&late, 1, serialib::kReadBudgetMs), 1);
    EXPECT_EQ(stream.Reopen(), 1);
    EXPECT_EQ(state(), State(true, true, false));
    EXPECT_TRUE(exchange());

    stream.Close();
    stream.Close();  // idempotent
    EXPECT_EQ(state(), State(false, false, false));
    const auto start = Clock::now();
    EXPECT_FALSE(exchange());
    EXPECT_LT(ElapsedMs(start), kInstantMs);
    EXPECT_EQ(err.Text(), "");
    SerialStream next_owner(device.Path(), true);  // closing gave the port up
    EXPECT_TRUE(next_owner.Good());
    next_owner.Close();

    EXPECT_EQ(stream.Reopen(), 1);
    EXPECT_EQ(state(), State(true, true, false));
    EXPECT_TRUE(exchange());

    device.HangUp();
    const auto hung = Clock::now();
    EXPECT_FALSE(exchange());
    EXPECT_LT(ElapsedMs(hung), kPromptMs);
    EXPECT_EQ(state(), State(true, false, false));

    // The pty is gone with its master: reopening fails with the usual two lines.
    EXPECT_EQ(stream.Reopen(), -2);
    EXPECT_EQ(state(), State(false, false, false));
    EXPECT_TRUE(std::regex_match(err.Text(), OpenFailure(device.Path(), "\\[2\\] No such file or directory")))
        << err.Text();
}

// ---------------------------------------- threads, forks and failed writes

using Tessary::HardwareAPI::IO::LinkState;

TEST(Threads, CloseFromAnotherThreadEndsASilentReadAtOnceAndQuietly) {
    FakeDevice device;
    SerialStream stream(device.Path(), true);
    Device arm(&stream);
    StderrCapture err;
    long read_ms = -1;
    std::thread reader([&] {
        const auto start = Clock::now();
        EXPECT_EQ(arm.ReadHeaderCode(), 0);
        read_ms = ElapsedMs(start);
    });
    std::this_thread::sleep_for(milliseconds(kInstantMs));
    const auto start = Clock::now();
    stream.Close();
    const long close_ms = ElapsedMs(start);
    reader.join();
    EXPECT_LT(close_ms, kPromptMs);  // well under a millisecond when the machine is not busy
    EXPECT_LT(read_ms, kWithinBudgetMs);  // not the 1000 ms budget
    EXPECT_EQ(stream.State(), LinkState::Closed);
    EXPECT_EQ(err.Text(), "");
    EXPECT_EQ(stream.Reopen(), 1);
    EXPECT_TRUE(stream.Good());
}

TEST(Threads, AForkedChildLetsGoOfThePortAndItsLock) {
    FakeDevice device;
    SerialStream stream(device.Path(), true);
    const int fd = stream.Buffer()->fd;
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        // The child's copy is closed and says so; it keeps running meanwhile.
        const bool let_go = stream.State() == LinkState::Closed && !stream.IsOpen() && ::fcntl(fd, F_GETFD) == -1;
        (void)!::write(ready[1], let_go ? "y" : "n", 1);
        ::usleep(static_cast<useconds_t>(kPromptMs) * 1000);
        ::_exit(0);
    }
    char let_go = 0;
    ASSERT_EQ(::read(ready[0], &let_go, 1), 1);
    EXPECT_EQ(let_go, 'y');
    EXPECT_TRUE(stream.Good());  // the parent's port is untouched
    stream.Close();
    {
        SerialStream next(device.Path(), true);  // while the child still runs
        EXPECT_TRUE(next.Good());
    }
    EXPECT_EQ(stream.Reopen(), 1);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(ready[0]);
    ::close(ready[1]);
}

TEST(Threads, AChildForkedWhileAnotherThreadHoldsTheLockClosesAndExits) {
    FakeDevice device;
    SerialStream stream(device.Path(), true);
    std::atomic<int> step{0};
    std::thread holder([&] {
        std::lock_guard<std::recursive_mutex> exchange(stream.Mutex());  // an exchange under way
        step = 1;
        while (step != 2) std::this_thread::sleep_for(milliseconds(1));
    });
    while (step != 1) std::this_thread::yield();
    const pid_t child = ::fork();
    if (child == 0) {
        stream.Close();  // the holder does not exist here: its lock must not be taken
        ::_exit(stream.IsOpen() ? 1 : 0);
    }
    step = 2;
    holder.join();
    int status = -1;
    const auto start = Clock::now();
    while (::waitpid(child, &status, WNOHANG) == 0 && ElapsedMs(start) < 1000) {
        std::this_thread::sleep_for(milliseconds(5));
    }
    if (ElapsedMs(start) >= 1000 && ::kill(child, SIGKILL) == 0) ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child hung or failed: status " << status;
}

TEST(TimedRead, TheBudgetRunsFromTheStartOfTheCallNotFromTheLastByte) {
    OpenBuffer t;
    for (int i = 1; i <= 6; ++i) t.device.SendAfter(milliseconds(300 * i), {static_cast<uint8_t>(i)});
    unsigned char data[21];
    const auto start = Clock::now();
    EXPECT_EQ(t.buffer.timed_read(data, 21), 3);  // the bytes of 300, 600 and 900 ms
    const long ms = ElapsedMs(start);
    EXPECT_GE(ms, kFullBudgetMs);
    EXPECT_LT(ms, kOneWaitMs);
}

TEST(FailedWrites, ASlowReaderCostsMillisecondsNotWholeBudgets) {
    FakeDevice device;
    device.ReadSlowly(64, milliseconds(5));
    SerialStream stream(device.Path(), true);
    Device arm(&stream);
    const float force[3] = {0.0f, 0.0f, 0.0f};
    long slowest_ms = 0;
    for (int i = 0; i < 3000 && stream.good(); ++i) {  // 39 kB, far beyond the line's buffers
        const auto start = Clock::now();
        arm.WriteFloats(42, force, 3);
        slowest_ms = std::max(slowest_ms, ElapsedMs(start));
    }
    EXPECT_TRUE(stream.Good());
    EXPECT_LT(slowest_ms, kWithinBudgetMs);  // tens of ms, where a whole budget went before
}

TEST(FailedWrites, NeitherATornFrameNorTheBacklogReachesTheDeviceAfterAReopenOrAClose) {
    // A reopen flushes the line itself; a close must not leave it to that.
    for (const bool reopen : {true, false}) {
        SCOPED_TRACE(reopen ? "reopen" : "close");
        FakeDevice device;
        device.StopReading();
        SerialStream stream(device.Path(), true);
        Handle handle(&stream);
        const uint8_t data[1] = {0xEE};
        StderrCapture err;
        size_t sent = 0;
        while (stream.good() && sent < 100000) {
            handle.SendHandleState(0x0102, 1, data);  // 5-byte frames, until one fails after the budget
            sent += 5;
        }
        ASSERT_EQ(stream.State(), LinkState::Failed);
        EXPECT_EQ(stream.Error(), EAGAIN);
        if (reopen) {
            ASSERT_EQ(stream.Reopen(), 1);
            device.ResumeReading();
            handle.SendDeviceWakeup();
        } else {
            stream.Close();
            device.ResumeReading();
        }
        // Whatever the device got is whole frames (then the wake-up): nothing
        // torn, nothing of the queued frames after the reopen.
        Bytes captured = device.CapturedAfter();
        if (reopen) {
            ASSERT_FALSE(captured.empty());
            EXPECT_EQ(captured.back(), 0x0A);
            captured.pop_back();
        }
        EXPECT_EQ(captured.size() % 5, 0u);
        EXPECT_LT(captured.size(), sent / 2);  // not the backlog
        const Bytes frame = {219, 0x02, 0x01, 1, 0xEE};
        for (size_t at = 0; at + 5 <= captured.size(); at += 5) {
            ASSERT_TRUE(std::equal(frame.begin(), frame.end(), captured.begin() + static_cast<long>(at))) << at;
        }
    }
}

TEST(OpenPort, PtyMastersTakeNoLockSoEveryProgramMayOpenOne) {
    // Every master is a new pty behind the one /dev/ptmx node: a lock on it
    // would keep all other programs from making one.
    SerialStream first("/dev/ptmx", true);
    SerialStream second("/dev/ptmx", true);
    EXPECT_TRUE(first.Good());
    EXPECT_TRUE(second.Good());
}
