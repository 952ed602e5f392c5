#include "TessaryHardwareAPI/SerialStream.h"

#include "ErrorLine.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace Tessary::HardwareAPI::IO {

namespace {
using Traits = std::char_traits<char>;
// A monotonic clock: a wall-clock step must not cut a read short, since a
// short read leaves the stream at end-of-file for good.
using Clock = std::chrono::steady_clock;

Clock::time_point BudgetFromNow() { return Clock::now() + std::chrono::milliseconds(serialib::kReadBudgetMs); }

// One ppoll for `events` on fd, waiting at most until the deadline (which the
// caller has checked is still ahead); ppoll's result, revents in `revents`.
int PollUntil(int fd, short events, Clock::time_point deadline, short& revents) {
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
    const long long ns = left.count() > 0 ? left.count() : 0;
    const timespec wait{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    pollfd p{fd, events, 0};
    const int result = ::ppoll(&p, 1, &wait, nullptr);
    revents = p.revents;
    return result;
}
}  // namespace

// ---------------------------------------------------------------- serialib

serialib::~serialib() {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

int8_t serialib::open_tty(const char* path) {
    // Close-on-exec: a child started later must not keep the port open (and
    // DTR raised) after we close it.
    fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1) return -2;

    // Only a terminal may be driven: a regular file, FIFO or /dev/null would
    // take the first request as data. Refused before anything is written.
    if (!::isatty(fd)) return give_up(ENOTTY);
    // One owner per port, the lock pyserial's exclusive mode takes as well: a
    // second opener would take half of the replies meant for the first.
    int locked;
    do {
        locked = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0 && errno == EWOULDBLOCK) return give_up(EBUSY);
    // Any other lock failure is left alone, like the set-up steps below.

    // The descriptor stays non-blocking for its whole life; reads are bounded
    // by timed_read instead.
    ::fcntl(fd, F_SETFL, O_NONBLOCK);

    termios settings{};
    ::tcgetattr(fd, &settings);
    std::memset(&settings, 0, sizeof settings);  // nothing of the old settings survives
    ::cfsetispeed(&settings, B115200);
    ::cfsetospeed(&settings, B115200);
    settings.c_cflag |= CS8 | CREAD | CLOCAL;
    settings.c_iflag |= IGNBRK | IGNPAR;
    ::tcsetattr(fd, TCSANOW, &settings);
    // Bytes left from before this open (a late reply to a request that timed
    // out, output queued while nobody had the port) would be taken for the
    // reply to the next request.
    ::tcflush(fd, TCIFLUSH);
    request_low_latency();

    raise_dtr();
    // Set-up results are not examined: a port that opens is reported as open.
    return 1;
}

int8_t serialib::give_up(int error) {
    ::close(fd);
    fd = -1;
    errno = error;
    return -2;
}

bool serialib::request_low_latency() {
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0) return false;
    serial.flags |= ASYNC_LOW_LATENCY;
    return ::ioctl(fd, TIOCSSERIAL, &serial) == 0;
}

void serialib::raise_dtr() {
    int lines = 0;
    ::ioctl(fd, TIOCMGET, &lines);
    lines |= TIOCM_DTR;
    ::ioctl(fd, TIOCMSET, &lines);
}

int serialib::timed_read(unsigned char* buffer, unsigned count) {
    const auto deadline = BudgetFromNow();
    unsigned got = 0;
    bool hung_up = false;
    // Right after a request its reply cannot be there yet; a read made then
    // only delays the wake-up (measured: about 30 us per exchange on a pty).
    bool wait_first = request_sent;
    request_sent = false;
    for (;;) {
        if (!wait_first) {
            const ssize_t r = ::read(fd, buffer + got, count - got);
            if (r < 0 && errno == EINTR) continue;  // a signal handler ran: try again
            if (r < 0) return -2;
            if (r == 0 && hung_up) return -2;  // the far end is gone; waiting cannot help
            got += static_cast<unsigned>(r);
            if (got >= count) return static_cast<int>(got);
        }
        wait_first = false;

        if (Clock::now() >= deadline) {
            timed_out = true;
            return static_cast<int>(got);
        }
        // Sleep until the line has data (or the budget is spent) rather than
        // polling on a timer: the reply wakes us at once and waiting costs no CPU.
        short revents = 0;
        const int pr = PollUntil(fd, POLLIN, deadline, revents);
        if (pr < 0 && errno != EINTR) return -2;  // EINTR: the budget goes on
        if (pr > 0 && (revents & (POLLHUP | POLLERR | POLLNVAL))) {
            if (revents & POLLNVAL) return -2;
            hung_up = true;
        }
    }
}

std::basic_streambuf<char>* serialib::setbuf(char*, std::streamsize) { return this; }

std::streamsize serialib::showmanyc() {
    if (closed()) return 0;
    if (has_held) return 1;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags == -1 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) return -1;
    std::streamsize result = 0;
    if (timed_read(reinterpret_cast<unsigned char*>(&held), 1) == 1) {
        has_held = true;
        result = 1;
    }
    if (::fcntl(fd, F_SETFL, flags) == -1) result = -1;  // a byte taken stays held
    return result;
}

std::streamsize serialib::xsgetn(char* s, std::streamsize n) {
    if (closed() || n <= 0) return 0;
    auto* out = reinterpret_cast<unsigned char*>(s);
    if (has_held) {
        s[0] = held;
        has_held = false;
        if (n == 1) return 1;
        const int r = timed_read(out + 1, static_cast<unsigned>(n - 1));
        return r == -2 ? 0 : r + 1;
    }
    const int r = timed_read(out, static_cast<unsigned>(n));
    return r > 0 ? r : 0;
}

serialib::int_type serialib::underflow() {
    if (closed()) return Traits::eof();
    if (has_held) return Traits::to_int_type(held);
    if (timed_read(reinterpret_cast<unsigned char*>(&held), 1) != 1) return Traits::eof();
    has_held = true;
    return Traits::to_int_type(held);
}

serialib::int_type serialib::uflow() {
    const int_type c = underflow();
    has_held = false;
    return c;
}

serialib::int_type serialib::pbackfail(int_type c) {
    if (has_held || Traits::eq_int_type(c, Traits::eof())) return Traits::eof();
    held = Traits::to_char_type(c);
    has_held = true;
    return c;
}

bool serialib::write_all(const char* s, std::size_t n) {
    // The usual case: the whole request in one write.
    ssize_t w = ::write(fd, s, n);
    if (w == static_cast<ssize_t>(n)) return true;

    // A signal, or a line that is not draining for a moment. Half a request
    // would be read by the device as a command of its own, so the rest goes
    // out within the budget reads have, or the write fails.
    const auto deadline = BudgetFromNow();
    std::size_t done = 0;
    for (;;) {
        if (w > 0) done += static_cast<std::size_t>(w);
        if (done == n) return true;
        const bool interrupted = w < 0 && errno == EINTR;
        if (w < 0 && !interrupted && errno != EAGAIN) return false;  // errno is the write's own
        if (Clock::now() >= deadline) {
            if (!interrupted) errno = EAGAIN;  // the line never drained
            return false;
        }
        if (!interrupted) {
            short revents = 0;
            if (PollUntil(fd, POLLOUT, deadline, revents) < 0 && errno != EINTR) return false;
            if (revents & POLLNVAL) {
                errno = EBADF;
                return false;
            }
            // After a hang-up the next write reports the line's own error.
        }
        w = ::write(fd, s + done, n - done);
    }
}

std::streamsize serialib::xsputn(const char* s, std::streamsize n) {
    if (closed() || n <= 0) return 0;
    request_sent = write_all(s, static_cast<std::size_t>(n));
    return request_sent ? n : 0;
}

serialib::int_type serialib::overflow(int_type c) {
    if (closed() || Traits::eq_int_type(c, Traits::eof())) return Traits::eof();
    const char byte = Traits::to_char_type(c);
    request_sent = write_all(&byte, 1);
    return request_sent ? c : Traits::eof();
}

// ------------------------------------------------------------ SerialStream

SerialStream::SerialStream(const char* port_path, bool open)
    : std::basic_iostream<char>(nullptr), port(port_path) {
    if (open) OpenAndReport();
}

SerialStream::~SerialStream() { Close(); }

bool SerialStream::IsOpen() const { return buffer && buffer->fd >= 0; }

bool SerialStream::Good() const { return IsOpen() && good(); }

bool SerialStream::TimedOut() const { return buffer && buffer->timed_out; }

void SerialStream::Close() {
    if (!IsOpen()) return;
    ::close(buffer->fd);
    buffer->fd = -1;
    // End-of-file, as after a time-out: later exchanges fail without a line.
    setstate(std::ios_base::eofbit | std::ios_base::failbit);
}

int8_t SerialStream::Reopen() {
    Close();
    return OpenAndReport();
}

int8_t SerialStream::OpenAndReport() {
    const int8_t result = OpenPort();
    if (result < 0) TESSARY_REPORT("unable to open stream '%s'", port.c_str());
    return result;
}

int8_t SerialStream::OpenPort() {
    auto fresh = std::make_unique<serialib>();
    rdbuf(fresh.get());  // also the only place the stream state is cleared
    buffer = std::move(fresh);

    int8_t result;
    try {
        result = buffer->open_tty(port.c_str());
    } catch (...) {
        result = -1;
    }
    if (result == 1) return 1;
    TESSARY_REPORT("unable to open port '%s'", port.c_str());
    return result;
}

}  // namespace Tessary::HardwareAPI::IO
