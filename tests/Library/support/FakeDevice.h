#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tessary_test {

using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;

// Plays a device on the master side of a pseudo-terminal; the library under
// test opens Path(), the slave side. A worker thread captures every byte the
// library sends and answers scripted requests.
class FakeDevice {
public:
    // hold_slave: keep a slave descriptor of our own open, so the line keeps
    // its raw settings and the master never reports the library's close as a
    // hang-up. Pass false to observe the library closing the port.
    explicit FakeDevice(bool hold_slave = true);
    ~FakeDevice();
    FakeDevice(const FakeDevice&) = delete;
    FakeDevice& operator=(const FakeDevice&) = delete;

    const char* Path() const { return path_.c_str(); }

    // Writes bytes to the library at once.
    void Send(const Bytes& bytes);
    // Writes bytes from the worker thread after a delay.
    void SendAfter(milliseconds delay, const Bytes& bytes);
    // Once `request_bytes` more bytes have arrived (counted in order from the
    // previous scripted request), answers with `reply` after `delay`.
    void Expect(size_t request_bytes, const Bytes& reply, milliseconds delay = milliseconds(0));
    // Answers every request that begins with `code` (and is not claimed by
    // Expect) with `reply`, for as long as the fake lives; `request_bytes` is
    // that request's whole length.
    void Answer(uint8_t code, size_t request_bytes, const Bytes& reply);

    // Every byte the library has sent so far.
    Bytes Captured();
    // What was captured once `quiet` has passed: long enough for any byte the
    // library already wrote to reach the worker, so "nothing more" holds.
    Bytes CapturedAfter(milliseconds quiet = kQuiet);
    static constexpr milliseconds kQuiet{150};
    // Waits until at least n bytes were captured (or the time-out) and returns them.
    Bytes WaitCaptured(size_t n, milliseconds timeout = milliseconds(2000));
    // How many times the library closed its last descriptor of the slave
    // (only seen with hold_slave false).
    int Hangups();
    // Waits until Hangups() reaches n.
    bool WaitHangups(int n, milliseconds timeout = milliseconds(3000));

    // Closes the master: the library's side sees a hang-up.
    void HangUp();

    // Stops taking bytes off the line, as a device that stalls does: once the
    // line's buffers fill, the library's writes stop draining.
    void StopReading();
    void ResumeReading();
    // Takes at most `bytes` off the line every `every`, as a device that
    // reads slowly does; 0 bytes reads at full speed again.
    void ReadSlowly(size_t bytes, milliseconds every);

private:
    struct Pending {
        std::chrono::steady_clock::time_point when;
        Bytes bytes;
    };
    struct Rule {
        size_t request_bytes;
        Bytes reply;
        milliseconds delay;
    };
    void Run();
    void Schedule(milliseconds delay, const Bytes& bytes);  // lock held
    void Match();                                           // lock held
    void WriteAll(const Bytes& bytes);

    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    std::mutex mutex_;
    std::condition_variable changed_;
    Bytes captured_;
    size_t matched_ = 0;  // captured bytes already claimed by a rule
    std::deque<Rule> rules_;
    std::map<uint8_t, std::pair<size_t, Bytes>> answers_;
    std::vector<Pending> pending_;
    int hangups_ = 0;
    bool stop_ = false;
    bool closed_ = false;
    bool paused_ = false;
    size_t slow_bytes_ = 0;
    milliseconds slow_every_{0};
    std::chrono::steady_clock::time_point next_read_{};
    int wake_[2] = {-1, -1};
    std::thread worker_;
};

// Redirects file descriptor 2 to a temporary file while alive; Text() returns
// what was written so far.
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    std::string Text();

private:
    int saved_ = -1;
    int file_ = -1;
};

// Number of open descriptors of this process.
int OpenDescriptorCount();

// Milliseconds on the monotonic clock since `since`.
inline long ElapsedMs(std::chrono::steady_clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - since).count());
}

}  // namespace tessary_test
