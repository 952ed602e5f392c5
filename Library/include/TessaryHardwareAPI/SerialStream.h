#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <memory>
#include <mutex>
#include <streambuf>
#include <string>

#include <sys/types.h>

#include "TessaryHardwareAPI/Export.h"

namespace Tessary::HardwareAPI::IO {

// What became of a link. Set by the transport where the cause is known; every
// other view of the connection (Good, TimedOut, the error lines) reads it.
enum class LinkState : uint8_t {
    Open,      // open, and nothing has failed since it was opened
    TimedOut,  // a read ran out of its budget; the port is still open
    HungUp,    // the far end went away (unplugged, pty master closed)
    Failed,    // a read or write failed for another reason, or the port could not be opened
    Closed,    // closed by its owner, never opened, or not inherited by a forked child
};

// The state, whether the port's descriptor is open (a failed read or write
// leaves it open; a failed open does not), and the errno of the state's cause
// (0 when there is none: open, closed).
struct alignas(8) LinkStatus {  // 8 bytes, so atomic without a lock
    LinkState state = LinkState::Closed;
    bool open = false;
    int error = 0;
};

// Stream buffer over a tty descriptor: every write reaches the descriptor at
// once; a small read takes all the line has (up to 64 bytes), so that a
// reply's header and payload cost one system call, not two. Reads are bounded
// to a 1000 ms budget so a silent device can never hang the caller.
class SerialStream;

class TESSARY_API serialib : public std::basic_streambuf<char> {
public:
    static constexpr int kReadBudgetMs = 1000;

    serialib() = default;
    ~serialib() override;
    serialib(const serialib&) = delete;
    serialib& operator=(const serialib&) = delete;

    // 1: opened and configured; -2: the port could not be taken, with errno as
    // open left it, or ENOTTY for a path that is not a terminal, or EBUSY when
    // another owner holds the port's lock.
    int8_t open_tty(const char* path);
    void raise_dtr();
    // Asks the driver to hand received bytes over at once (for FTDI adapters:
    // a 1 ms latency timer instead of 16 ms). Drivers without it, ptys among
    // them, refuse; that is fine. True when the driver accepted.
    bool request_low_latency();
    // Bytes placed in buffer (0..count) within the read budget, or -2 when a
    // read failed, the line hung up or the port is being closed.
    int timed_read(unsigned char* buffer, unsigned count);

    // Closes the descriptor (if open); the state becomes Closed.
    void close_port();
    // Makes a read or write under way on another thread, and every one after
    // it, fail at once and quietly, until the port is closed or opened again.
    // Safe from any thread.
    void cancel();

    // The link's state; safe to read from any thread.
    LinkStatus status() const { return status_.load(std::memory_order_acquire); }

    // The descriptor; -1 when closed. Owners may close it themselves and set
    // it to -1, after which the buffer behaves as closed (close_port() also
    // updates the state record).
    int fd = -1;
    char held = 0;
    bool has_held = false;

protected:
    std::basic_streambuf<char>* setbuf(char* s, std::streamsize n) override;
    std::streamsize showmanyc() override;
    std::streamsize xsgetn(char* s, std::streamsize n) override;
    int_type underflow() override;
    int_type uflow() override;
    int_type pbackfail(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int_type overflow(int_type c) override;

private:
    bool closed() const { return fd < 0; }
    // Writes all n bytes within the budget reads have, or fails leaving errno
    // at the cause (EAGAIN: the line never drained).
    bool write_all(const char* s, std::size_t n);
    bool write_and_record(const char* s, std::size_t n);
    // Waits for `events` on the port or for cancel(), until the deadline.
    // False, with errno set, when waiting cannot go on.
    bool wait_for(short events, std::chrono::steady_clock::time_point deadline, short& revents);
    // Closes a descriptor that must not be kept; -2 with errno = error.
    int8_t give_up(int error);
    void set_status(LinkState state, int error) { set_status(state, fd >= 0, error); }
    void set_status(LinkState state, bool open, int error) {
        status_.store({state, open, error}, std::memory_order_release);
    }
    void fail_with(int error);
    // In a forked child: lets go of the parent's port (see AfterFork).
    static void InChild(void* buffer);

    std::atomic<LinkStatus> status_{};
    std::atomic<bool> cancelled_{false};
    std::atomic<int> wake_fd_{-1};  // an eventfd that cancel() makes readable
    // Set by a write, so the next read waits for the line before reading.
    bool request_sent = false;
    // How long one read may wait: the 1000 ms, or what a ReadBudget of the
    // owning stream set.
    std::chrono::microseconds read_budget{kReadBudgetMs * 1000};
    // The stream that owns this buffer, whose lock a forked child makes anew.
    SerialStream* owner_ = nullptr;
    // What a read took from the line beyond what was asked for: a reply's
    // header is read with its payload, in one system call, and the payload
    // served from here. Dropped when the port is closed or opened.
    unsigned take_ahead(unsigned char* buffer, unsigned count);
    ssize_t read_line(unsigned char* buffer, unsigned count);
    unsigned char ahead_[64] = {};
    unsigned ahead_begin_ = 0;
    unsigned ahead_end_ = 0;
    friend class SerialStream;
};

// The byte stream of one tty. Devices borrow it; it owns its buffer and port.
//
// Threads: every framing operation of a device takes the stream's lock, and a
// caller that must keep a request and its reply together holds Mutex() across
// both. Close and Reopen interrupt a read or write under way on another
// thread, then take the lock, so a descriptor is never used once closed. Use
// one stream from one thread at a time all the same: two threads taking turns
// on one device still get each other's replies.
class TESSARY_API SerialStream : public std::basic_iostream<char> {
public:
    SerialStream(const char* port, bool open);
    ~SerialStream() override;
    SerialStream(const SerialStream&) = delete;
    SerialStream& operator=(const SerialStream&) = delete;

    // 1: open and configured; -2: the device could not be opened; -1: the
    // open step raised an exception. Resets the stream state to good. A
    // second call reopens on the same buffer.
    int8_t OpenPort();

    const std::string& Port() const { return port; }
    // Null until OpenPort has run; the same buffer from then on.
    serialib* Buffer() const { return buffer.get(); }
    std::recursive_mutex& Mutex() { return *mutex; }

    // Connection state, for callers that must tell a dead link from a quiet one.
    LinkStatus Status() const;
    LinkState State() const { return Status().state; }
    // The errno of the state's cause, 0 when there is none.
    int Error() const { return Status().error; }
    // Open: the port's descriptor is open.
    bool IsOpen() const { return Status().open; }
    // Open, and no read or write has failed or timed out since it was opened.
    bool Good() const;
    // A read ran out of its budget, so the stream is at end-of-file.
    bool TimedOut() const { return State() == LinkState::TimedOut; }
    // Closes the port; idempotent. Later exchanges fail at once and quietly,
    // as after a time-out.
    void Close();
    // Closes, then opens the same path anew (lock and line settings included)
    // with a clean state. 1 on success; otherwise OpenPort's result, after the
    // same two lines a failed construction prints.
    int8_t Reopen();

    // How long each read may wait while it lives (the stream's 1000 ms
    // otherwise); the budget before it comes back when it ends. For a
    // caller whose replies are due much sooner, such as a servo loop.
    class TESSARY_API ReadBudget {
    public:
        ReadBudget(SerialStream& stream, std::chrono::microseconds budget);
        ~ReadBudget();
        ReadBudget(const ReadBudget&) = delete;
        ReadBudget& operator=(const ReadBudget&) = delete;

    private:
        SerialStream& stream_;
        std::chrono::microseconds saved_;
    };

    // A time-out leaves the stream at end-of-file, so later requests fail
    // quietly. While one of these lives (holding the stream's lock),
    // requests go out all the same, as long as the port is open and nothing
    // but a time-out happened: a last request to a device that stopped
    // answering, such as a servo loop's zero force. Reads stay refused.
    class TESSARY_API WritesAfterTimeOut {
    public:
        explicit WritesAfterTimeOut(SerialStream& stream);
        ~WritesAfterTimeOut();
        WritesAfterTimeOut(const WritesAfterTimeOut&) = delete;
        WritesAfterTimeOut& operator=(const WritesAfterTimeOut&) = delete;

    private:
        SerialStream& stream_;
        std::lock_guard<std::recursive_mutex> lock_;
        std::ios_base::iostate saved_;
        bool cleared_ = false;
    };

    // A servo loop owns the stream while it runs; other callers look here
    // and keep off. Claim fails when another owner holds it.
    bool Claim(const void* owner);
    void Release(const void* owner);
    const void* Owner() const { return owner_.load(std::memory_order_acquire); }

private:
    // OpenPort, followed by the stream's own line when it failed.
    int8_t OpenAndReport();
    void CloseLocked();

    std::string port;
    std::unique_ptr<serialib> buffer;
    // Held by pointer: a forked child whose parent thread held it at the
    // fork gets a new one (the old one is left as it is).
    std::unique_ptr<std::recursive_mutex> mutex;
    std::atomic<const void*> owner_{nullptr};
    friend class serialib;
};

}  // namespace Tessary::HardwareAPI::IO
