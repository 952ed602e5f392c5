#pragma once

// The far end of the line for the fuzz targets. The library opens a fresh
// pseudo-terminal master through /dev/ptmx with its real SerialStream (a
// master takes no port lock, so fuzzers may run side by side); the peer
// holds the slave, so it sees the request bytes and writes the reply.
// The roles are this way round because a pty master keeps what the slave
// wrote readable after the slave closes and then fails its reads with EIO:
// once the peer hangs up, every read ends at once instead of waiting out the
// read budget. (Closing a master instead flushes the slave's pending input.)

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "TessaryHardwareAPI/SerialStream.h"

#define FUZZ_CHECK(cond, ...)                                                  \
    do {                                                                       \
        if (!(cond)) {                                                         \
            std::fprintf(stderr, "mismatch: %s\n  ", #cond);                   \
            std::fprintf(stderr, __VA_ARGS__);                                 \
            std::fprintf(stderr, "\n");                                        \
            std::abort();                                                      \
        }                                                                      \
    } while (0)

namespace tessary_fuzz {

// Sizes kept small enough that one input always fits the pty's buffers.
constexpr size_t kMaxInput = 2048;

// What the library's reads should take from the bytes the peer sent: a read
// of k bytes gets them when k are left; otherwise it takes the rest, fails,
// and every later read fails too (the stream stays at its end).
struct WireModel {
    const uint8_t* bytes;
    size_t size;
    size_t pos = 0;
    bool ended = false;

    // The k bytes read, or null when the read fails.
    const uint8_t* Read(size_t k) {
        if (ended) return nullptr;
        if (size - pos < k) {
            pos = size;
            ended = true;
            return nullptr;
        }
        pos += k;
        return bytes + pos - k;
    }
    // A failed header read gives 0.
    uint8_t Header() {
        const uint8_t* b = Read(1);
        return b ? *b : 0;
    }
};

class FuzzPeer {
public:
    FuzzPeer() : stream("/dev/ptmx", true) {
        const int master = stream.Buffer() ? stream.Buffer()->fd : -1;
        char name[64];
        FUZZ_CHECK(master >= 0 && ::unlockpt(master) == 0 && ::ptsname_r(master, name, sizeof name) == 0,
                   "no pseudo-terminal: %s", std::strerror(errno));
        slave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
        FUZZ_CHECK(slave_ >= 0, "open %s: %s", name, std::strerror(errno));
        // Raw, so the reply is neither translated nor the request echoed.
        termios raw{};
        ::tcgetattr(slave_, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(slave_, TCSANOW, &raw);
    }
    ~FuzzPeer() { HangUp(); }
    FuzzPeer(const FuzzPeer&) = delete;
    FuzzPeer& operator=(const FuzzPeer&) = delete;

    // Checks that the library sent exactly `expected` since the last call.
    // The pty hands written bytes over to the other side a moment later, on
    // a kernel worker: under load they may not be there yet, so wait for
    // them (a second at most), then take whatever else came with them.
    void ExpectSent(const uint8_t* expected, size_t n, const char* what) {
        uint8_t got[kMaxInput];
        size_t count = 0;
        for (int waited_ms = 0;;) {
            const ssize_t r = ::read(slave_, got + count, sizeof got - count);
            if (r > 0) {
                count += static_cast<size_t>(r);
                if (count < sizeof got) continue;
            }
            if (count >= n || waited_ms >= 1000) break;
            pollfd readable{slave_, POLLIN, 0};
            ::poll(&readable, 1, 10);
            waited_ms += 10;
        }
        FUZZ_CHECK(count == n && std::memcmp(got, expected, n) == 0, "%s sent %zu bytes, expected %zu", what,
                   count, n);
    }

    // Writes the device's side of the exchange, then hangs up. Returns how
    // many bytes the library can read (all of them, given kMaxInput).
    size_t ReplyAndHangUp(const uint8_t* data, size_t n) {
        size_t done = 0;
        while (done < n) {
            const ssize_t w = ::write(slave_, data + done, n - done);
            if (w <= 0) break;
            done += static_cast<size_t>(w);
        }
        HangUp();
        return done;
    }

    // No input may make the library wait for its read budget: that would
    // stall fuzzing, and it would mean the hang-up went unnoticed.
    // Nor may it leave the stream failed (a failure prints an error line);
    // reaching the end of what the peer sent is the only way out.
    void ExpectQuietEnd() {
        FUZZ_CHECK(!stream.TimedOut(), "a read waited out its budget");
        FUZZ_CHECK(stream.good() || stream.eof(), "the stream failed: state %d", static_cast<int>(stream.rdstate()));
    }

    Tessary::HardwareAPI::IO::SerialStream stream;

private:
    void HangUp() {
        if (slave_ >= 0) ::close(slave_);
        slave_ = -1;
    }
    int slave_ = -1;
};

}  // namespace tessary_fuzz
