#include "TessaryHardwareAPI/SerialStream.h"

#include "AfterFork.h"
#include "ErrorLine.h"

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
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

// A pty reports "writable" only once its buffer is nearly empty, long after
// a frame would fit; a slow reader (a device taking its bytes in small bites)
// must cost milliseconds, not whole budgets. So a stalled write waits in
// slices and tries again.
constexpr auto kWriteSlice = std::chrono::milliseconds(5);

Clock::time_point BudgetFromNow() { return Clock::now() + std::chrono::milliseconds(serialib::kReadBudgetMs); }

// What a tty's read or write says when the device is gone: a closed pty
// master, an unplugged USB adapter, a dropped Bluetooth link.
bool IsHangUp(int error) { return error == EIO || error == ENXIO || error == ENODEV; }
}  // namespace

// ---------------------------------------------------------------- serialib

serialib::~serialib() {
    AfterFork::Remove(this);  // also when an owner closed the descriptor itself
    if (fd >= 0) ::close(fd);
    fd = -1;
    const int wake = wake_fd_.exchange(-1);
    if (wake >= 0) ::close(wake);
}

int8_t serialib::open_tty(const char* path) {
    has_held = false;
    ahead_begin_ = ahead_end_ = 0;
    request_sent = false;
    cancelled_ = false;
    // Close-on-exec: a child started later must not keep the port open (and
    // DTR raised) after we close it.
    fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1) {
        set_status(LinkState::Failed, errno);
        return -2;
    }

    // Only a terminal may be driven: a regular file, FIFO or /dev/null would
    // take the first request as data. Refused before anything is written.
    if (!::isatty(fd)) return give_up(ENOTTY);
    // One owner per port, the lock pyserial's exclusive mode takes as well: a
    // second opener would take half of the replies meant for the first. A
    // pty master (opened through /dev/ptmx) is private to its opener anyway,
    // and every program's masters share the one ptmx node and its lock.
    int pty_number = 0;
    if (::ioctl(fd, TIOCGPTN, &pty_number) != 0) {
        int locked;
        do {
            locked = ::flock(fd, LOCK_EX | LOCK_NB);
        } while (locked != 0 && errno == EINTR);
        if (locked != 0 && errno == EWOULDBLOCK) return give_up(EBUSY);
        // Any other lock failure is left alone, like the set-up steps below.
    }

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
    // Bytes left from before this open, either way: a late reply to a request
    // that timed out would be taken for the reply to the next request, and a
    // backlog of requests (or half a frame) from before a failed write would
    // reach the device ahead of the new ones.
    ::tcflush(fd, TCIOFLUSH);
    request_low_latency();

    raise_dtr();
    // Without it close() from another thread could not cut a wait short; the
    // port still works, and close() then waits out the read under way.
    if (wake_fd_ < 0) wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    AfterFork::Add(this, &serialib::InChild);
    set_status(LinkState::Open, 0);
    // Set-up results are not examined: a port that opens is reported as open.
    return 1;
}

int8_t serialib::give_up(int error) {
    ::close(fd);
    fd = -1;
    set_status(LinkState::Failed, error);
    errno = error;
    return -2;
}

void serialib::fail_with(int error) {
    set_status(IsHangUp(error) ? LinkState::HungUp : LinkState::Failed, error);
}

// A child started without exec would otherwise keep the port open, and its
// lock taken, after the parent closed it. The child closes only its own
// copies of the descriptors; the lock (which belongs to the open file) stays
// the parent's, which still holds the port. A stream lock that another
// thread held at the fork would stay taken for ever, so the child gets a new
// one; the old one is left alone, since the forking thread may hold it.
void serialib::InChild(void* object) {
    auto* buffer = static_cast<serialib*>(object);
    if (buffer->fd >= 0) ::close(buffer->fd);
    buffer->fd = -1;
    const int wake = buffer->wake_fd_.exchange(-1);
    if (wake >= 0) ::close(wake);
    buffer->cancelled_ = false;
    buffer->has_held = false;
    buffer->ahead_begin_ = buffer->ahead_end_ = 0;
    buffer->set_status(LinkState::Closed, 0);
    if (buffer->owner_ != nullptr) {
        (void)buffer->owner_->mutex.release();
        // Allocating here is the one exception to the rule: malloc's own
        // locks are made safe across fork by the C library.
        buffer->owner_->mutex.reset(new std::recursive_mutex);
    }
}

void serialib::close_port() {
    AfterFork::Remove(this);
    if (fd >= 0) ::close(fd);
    fd = -1;
    has_held = false;
    ahead_begin_ = ahead_end_ = 0;
    request_sent = false;
    set_status(LinkState::Closed, 0);
    const int wake = wake_fd_;
    uint64_t count;
    if (wake >= 0) (void)!::read(wake, &count, sizeof count);
    cancelled_ = false;
}

void serialib::cancel() {
    // Closed from here on, so that the operation it cuts short fails
    // quietly. The descriptor is closed later, under the stream's lock.
    set_status(LinkState::Closed, status().open, 0);
    cancelled_ = true;
    const int wake = wake_fd_;
    const uint64_t one = 1;
    if (wake >= 0) (void)!::write(wake, &one, sizeof one);
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

bool serialib::wait_for(short events, Clock::time_point deadline, short& revents) {
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
    const long long ns = left.count() > 0 ? left.count() : 0;
    const timespec wait{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    pollfd p[2] = {{fd, events, 0}, {wake_fd_, POLLIN, 0}};
    const int result = ::ppoll(p, p[1].fd >= 0 ? 2 : 1, &wait, nullptr);
    revents = p[0].revents;
    if (cancelled_) {
        errno = ECANCELED;
        return false;
    }
    if (result < 0 && errno != EINTR) {  // EINTR: a signal handler ran; the budget goes on
        fail_with(errno);
        return false;
    }
    return true;
}

unsigned serialib::take_ahead(unsigned char* buffer, unsigned count) {
    const unsigned n = std::min(count, ahead_end_ - ahead_begin_);
    std::memcpy(buffer, ahead_ + ahead_begin_, n);
    ahead_begin_ += n;
    return n;
}

ssize_t serialib::read_line(unsigned char* buffer, unsigned count) {
    // A large transfer goes straight to the caller; a small one (a header,
    // a short reply) takes all the line has, so the rest of the reply costs
    // no second read.
    if (count >= sizeof ahead_) return ::read(fd, buffer, count);
    const ssize_t r = ::read(fd, ahead_, sizeof ahead_);
    if (r <= 0) return r;
    ahead_begin_ = 0;
    ahead_end_ = static_cast<unsigned>(r);
    return take_ahead(buffer, count);
}

int serialib::timed_read(unsigned char* buffer, unsigned count) {
    const auto deadline = Clock::now() + read_budget;
    unsigned got = take_ahead(buffer, count);
    bool hung_up = false;
    // Right after a request its reply cannot be there yet; a read made then
    // only delays the wake-up (measured: about 30 us per exchange on a pty).
    bool wait_first = request_sent;
    request_sent = false;
    for (;;) {
        if (cancelled_) return -2;  // the port is being closed: quietly
        if (got >= count) return static_cast<int>(got);
        if (!wait_first) {
            const ssize_t r = read_line(buffer + got, count - got);
            if (r < 0 && errno == EINTR) continue;  // a signal handler ran: try again
            if (r < 0) {
                fail_with(errno);
                return -2;
            }
            if (r == 0 && hung_up) {  // the far end is gone; waiting cannot help
                fail_with(EIO);
                errno = EIO;
                return -2;
            }
            got += static_cast<unsigned>(r);
            if (got >= count) return static_cast<int>(got);
        }
        wait_first = false;

        if (Clock::now() >= deadline) {
            set_status(LinkState::TimedOut, ETIMEDOUT);
            return static_cast<int>(got);
        }
        // Sleep until the line has data (or the budget is spent) rather than
        // polling on a timer: the reply wakes us at once and waiting costs no CPU.
        short revents = 0;
        if (!wait_for(POLLIN, deadline, revents)) return -2;
        if (revents & POLLNVAL) {
            fail_with(EBADF);
            errno = EBADF;
            return -2;
        }
        if (revents & (POLLHUP | POLLERR)) hung_up = true;
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
    if (cancelled_) {
        errno = ECANCELED;
        return false;
    }
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
            errno = EAGAIN;  // the line never drained
            return false;
        }
        if (!interrupted) {
            short revents = 0;
            if (!wait_for(POLLOUT, std::min(deadline, Clock::now() + kWriteSlice), revents)) return false;
            if (revents & POLLNVAL) {
                errno = EBADF;
                return false;
            }
            // After a hang-up the next write reports the line's own error.
        }
        w = ::write(fd, s + done, n - done);
    }
}

bool serialib::write_and_record(const char* s, std::size_t n) {
    if (write_all(s, n)) return true;
    const int error = errno;
    if (!cancelled_) {
        fail_with(error);
        // What went out of a torn frame, and the backlog behind it, must not
        // reach the device later (after a reopen) as commands of their own.
        ::tcflush(fd, TCOFLUSH);
    }
    errno = error;
    return false;
}

std::streamsize serialib::xsputn(const char* s, std::streamsize n) {
    if (closed() || n <= 0) return 0;
    request_sent = write_and_record(s, static_cast<std::size_t>(n));
    return request_sent ? n : 0;
}

serialib::int_type serialib::overflow(int_type c) {
    if (closed() || Traits::eq_int_type(c, Traits::eof())) return Traits::eof();
    const char byte = Traits::to_char_type(c);
    request_sent = write_and_record(&byte, 1);
    return request_sent ? c : Traits::eof();
}

// ------------------------------------------------------------ SerialStream

SerialStream::SerialStream(const char* port_path, bool open)
    : std::basic_iostream<char>(nullptr), port(port_path), mutex(std::make_unique<std::recursive_mutex>()) {
    if (open) OpenAndReport();
}

SerialStream::~SerialStream() { Close(); }

LinkStatus SerialStream::Status() const { return buffer ? buffer->status() : LinkStatus{}; }

bool SerialStream::Good() const {
    const LinkStatus status = Status();
    return status.state == LinkState::Open && status.open;
}

void SerialStream::Close() {
    // A read or write under way on another thread ends at once, then lets go
    // of the lock; the descriptor is closed only under it.
    if (buffer) buffer->cancel();
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    CloseLocked();
}

void SerialStream::CloseLocked() {
    if (!buffer) return;
    buffer->close_port();
    // End-of-file, as after a time-out: later exchanges fail without a line.
    setstate(std::ios_base::eofbit | std::ios_base::failbit);
}

int8_t SerialStream::Reopen() {
    if (buffer) buffer->cancel();
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    CloseLocked();
    return OpenAndReport();
}

SerialStream::ReadBudget::ReadBudget(SerialStream& stream, std::chrono::microseconds budget) : stream_(stream) {
    std::lock_guard<std::recursive_mutex> lock(stream_.Mutex());
    saved_ = stream_.buffer ? stream_.buffer->read_budget : std::chrono::milliseconds(serialib::kReadBudgetMs);
    if (stream_.buffer) stream_.buffer->read_budget = budget;
}

SerialStream::ReadBudget::~ReadBudget() {
    std::lock_guard<std::recursive_mutex> lock(stream_.Mutex());
    if (stream_.buffer) stream_.buffer->read_budget = saved_;
}

SerialStream::WritesAfterTimeOut::WritesAfterTimeOut(SerialStream& stream)
    : stream_(stream), lock_(stream.Mutex()), saved_(stream.rdstate()) {
    const LinkStatus status = stream_.Status();
    if (status.state == LinkState::TimedOut && status.open) {
        stream_.clear();
        cleared_ = true;
    }
}

SerialStream::WritesAfterTimeOut::~WritesAfterTimeOut() {
    if (cleared_) stream_.setstate(saved_);
}

bool SerialStream::Claim(const void* owner) {
    const void* none = nullptr;
    return owner_.compare_exchange_strong(none, owner, std::memory_order_acq_rel);
}

void SerialStream::Release(const void* owner) {
    const void* expected = owner;
    owner_.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
}

int8_t SerialStream::OpenAndReport() {
    const int8_t result = OpenPort();
    if (result < 0) TESSARY_REPORT("unable to open stream '%s'", port.c_str());
    return result;
}

int8_t SerialStream::OpenPort() {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    if (buffer) {
        // Opened again on the same buffer: a device on another thread must
        // never be left holding a freed one.
        buffer->close_port();
    } else {
        buffer = std::make_unique<serialib>();
        buffer->owner_ = this;
    }
    rdbuf(buffer.get());  // also the only place the stream state is cleared

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
