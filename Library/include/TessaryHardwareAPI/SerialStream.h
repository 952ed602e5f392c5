#pragma once

#include <cstdint>
#include <iostream>
#include <memory>
#include <streambuf>
#include <string>

namespace Tessary::HardwareAPI::IO {

// Unbuffered stream buffer over a tty descriptor: every character access and
// block transfer reaches the descriptor at once, and reads are bounded to a
// 1000 ms budget so a silent device can never hang the caller.
class serialib : public std::basic_streambuf<char> {
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
    // read failed or the line hung up.
    int timed_read(unsigned char* buffer, unsigned count);

    // The descriptor; -1 when closed. Owners may close it themselves and set
    // it to -1, after which the buffer behaves as closed.
    int fd = -1;
    char held = 0;
    bool has_held = false;
    // Set when a read ran out of its budget short of its count; a new buffer
    // (OpenPort) starts clear.
    bool timed_out = false;

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
    // Closes a descriptor that must not be kept; -2 with errno = error.
    int8_t give_up(int error);
    // Set by a write, so the next read waits for the line before reading.
    bool request_sent = false;
};

// The byte stream of one tty. Devices borrow it; it owns its buffer and port.
class SerialStream : public std::basic_iostream<char> {
public:
    SerialStream(const char* port, bool open);
    ~SerialStream() override;
    SerialStream(const SerialStream&) = delete;
    SerialStream& operator=(const SerialStream&) = delete;

    // 1: open and configured; -2: the device could not be opened; -1: the
    // open step raised an exception. Resets the stream state to good.
    int8_t OpenPort();

    const std::string& Port() const { return port; }
    // Null until OpenPort has run.
    serialib* Buffer() const { return buffer.get(); }

    // Connection state, for callers that must tell a dead link from a quiet one.
    // Open: the port's descriptor is open.
    bool IsOpen() const;
    // Open, and no read or write has failed or timed out since it was opened.
    bool Good() const;
    // A read ran out of its budget, so the stream is at end-of-file.
    bool TimedOut() const;
    // Closes the port; idempotent. Later exchanges fail at once and quietly,
    // as after a time-out.
    void Close();
    // Closes, then opens the same path anew (lock and line settings included)
    // with a clean state. 1 on success; otherwise OpenPort's result, after the
    // same two lines a failed construction prints.
    int8_t Reopen();

private:
    // OpenPort, followed by the stream's own line when it failed.
    int8_t OpenAndReport();

    std::string port;
    std::unique_ptr<serialib> buffer;
};

}  // namespace Tessary::HardwareAPI::IO
