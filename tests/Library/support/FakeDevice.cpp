#include "FakeDevice.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace tessary_test {

namespace {
void Check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}
}  // namespace

FakeDevice::FakeDevice(bool hold_slave) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    Check(master_ >= 0, "posix_openpt");
    Check(::grantpt(master_) == 0 && ::unlockpt(master_) == 0, "unlockpt");
    path_ = ::ptsname(master_);
    // Raw from the start, so nothing is echoed or translated before the
    // library configures the line itself.
    const int slave = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    Check(slave >= 0, "open slave");
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    if (hold_slave) {
        slave_ = slave;
    } else {
        ::close(slave);
    }
    Check(::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) == 0, "pipe");
    worker_ = std::thread([this] { Run(); });
}

FakeDevice::~FakeDevice() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    (void)!::write(wake_[1], "x", 1);
    worker_.join();
    ::close(wake_[0]);
    ::close(wake_[1]);
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
}

void FakeDevice::WriteAll(const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t w = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
        } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
            return;  // the line is gone; the test will notice what was not delivered
        } else {
            ::usleep(200);
        }
    }
}

void FakeDevice::Send(const Bytes& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!closed_) WriteAll(bytes);
}

void FakeDevice::SendAfter(milliseconds delay, const Bytes& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    Schedule(delay, bytes);
}

void FakeDevice::Schedule(milliseconds delay, const Bytes& bytes) {
    pending_.push_back({std::chrono::steady_clock::now() + delay, bytes});
    (void)!::write(wake_[1], "x", 1);
}

void FakeDevice::Expect(size_t request_bytes, const Bytes& reply, milliseconds delay) {
    std::lock_guard<std::mutex> lock(mutex_);
    rules_.push_back({request_bytes, reply, delay});
    Match();
}

void FakeDevice::Answer(uint8_t code, size_t request_bytes, const Bytes& reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_[code] = {request_bytes, reply};
    Match();
}

void FakeDevice::Match() {
    for (;;) {
        const size_t waiting = captured_.size() - matched_;
        if (!rules_.empty()) {
            if (waiting < rules_.front().request_bytes) return;
            matched_ += rules_.front().request_bytes;
            Schedule(rules_.front().delay, rules_.front().reply);
            rules_.pop_front();
            continue;
        }
        if (waiting == 0) return;
        auto it = answers_.find(captured_[matched_]);
        if (it == answers_.end()) {
            ++matched_;  // not a request we answer: skip it
            continue;
        }
        if (waiting < it->second.first) return;
        matched_ += it->second.first;
        Schedule(milliseconds(0), it->second.second);
    }
}

void FakeDevice::Run() {
    bool other_side_open = slave_ >= 0;
    uint8_t chunk[4096];
    for (;;) {
        int timeout_ms = 50;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (stop_) return;
            const auto now = std::chrono::steady_clock::now();
            for (size_t i = 0; i < pending_.size();) {
                if (pending_[i].when <= now) {
                    if (!closed_) WriteAll(pending_[i].bytes);
                    pending_.erase(pending_.begin() + static_cast<long>(i));
                } else {
                    const auto ms = std::chrono::duration_cast<milliseconds>(pending_[i].when - now).count() + 1;
                    if (ms < timeout_ms) timeout_ms = static_cast<int>(ms);
                    ++i;
                }
            }
            if (closed_) timeout_ms = 20;
            if (slow_bytes_ != 0 && next_read_ > now) {
                const auto ms = std::chrono::duration_cast<milliseconds>(next_read_ - now).count() + 1;
                if (ms < timeout_ms) timeout_ms = static_cast<int>(ms);
            }
        }
        // Closed, paused or between slow reads: wait on the wake-up pipe
        // alone, leaving the line be. The master is read under the lock:
        // HangUp closes it from the test's thread.
        size_t take = sizeof chunk;
        int master = -1;
        const bool idle = [&] {
            std::lock_guard<std::mutex> l(mutex_);
            if (slow_bytes_ != 0) take = slow_bytes_;
            master = master_;
            return closed_ || paused_ || (slow_bytes_ != 0 && std::chrono::steady_clock::now() < next_read_);
        }();
        pollfd fds[2] = {{master, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        ::poll(fds + (idle ? 1 : 0), idle ? 1 : 2, timeout_ms);
        if (fds[1].revents & POLLIN) {
            char drain[64];
            while (::read(wake_[0], drain, sizeof drain) > 0) {
            }
        }
        if (idle) continue;
        const ssize_t r = ::read(master, chunk, take);
        if (r < 0 && errno == EIO && !other_side_open) {
            ::usleep(1000);  // nobody has the slave open; poll would not wait
            continue;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (r > 0) {
            if (slow_bytes_ != 0) next_read_ = std::chrono::steady_clock::now() + slow_every_;
            captured_.insert(captured_.end(), chunk, chunk + r);
            other_side_open = true;
            Match();
            changed_.notify_all();
        } else if (r < 0 && errno == EIO) {
            // No slave descriptor is open: the library closed the port (or
            // has not opened it yet).
            if (other_side_open) {
                ++hangups_;
                changed_.notify_all();
            }
            other_side_open = false;
        } else if (r < 0 && errno == EAGAIN) {
            other_side_open = true;
        }
    }
}

Bytes FakeDevice::Captured() {
    std::lock_guard<std::mutex> lock(mutex_);
    return captured_;
}

Bytes FakeDevice::CapturedAfter(milliseconds quiet) {
    std::this_thread::sleep_for(quiet);
    return Captured();
}

Bytes FakeDevice::WaitCaptured(size_t n, milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return captured_.size() >= n; });
    return captured_;
}

int FakeDevice::Hangups() {
    std::lock_guard<std::mutex> lock(mutex_);
    return hangups_;
}

bool FakeDevice::WaitHangups(int n, milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return hangups_ >= n; });
}

void FakeDevice::HangUp() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    closed_ = true;
    if (slave_ >= 0) ::close(slave_);
    slave_ = -1;
    ::close(master_);
    master_ = -1;
    (void)!::write(wake_[1], "x", 1);
}

void FakeDevice::StopReading() {
    std::lock_guard<std::mutex> lock(mutex_);
    paused_ = true;
    (void)!::write(wake_[1], "x", 1);
}

void FakeDevice::ResumeReading() {
    std::lock_guard<std::mutex> lock(mutex_);
    paused_ = false;
    (void)!::write(wake_[1], "x", 1);
}

void FakeDevice::ReadSlowly(size_t bytes, milliseconds every) {
    std::lock_guard<std::mutex> lock(mutex_);
    slow_bytes_ = bytes;
    slow_every_ = every;
    (void)!::write(wake_[1], "x", 1);
}

StderrCapture::StderrCapture() {
    std::fflush(stderr);
    char name[] = "/tmp/tessary-stderr-XXXXXX";
    file_ = ::mkstemp(name);
    Check(file_ >= 0, "mkstemp");
    ::unlink(name);
    saved_ = ::dup(2);
    ::dup2(file_, 2);
}

StderrCapture::~StderrCapture() {
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
    ::close(file_);
}

std::string StderrCapture::Text() {
    std::fflush(stderr);
    std::string text;
    char chunk[1024];
    for (off_t at = 0;;) {
        const ssize_t r = ::pread(file_, chunk, sizeof chunk, at);
        if (r <= 0) break;
        text.append(chunk, static_cast<size_t>(r));
        at += r;
    }
    return text;
}

int OpenDescriptorCount() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.') ++count;
        }
        ::closedir(dir);
        --count;  // the directory's own descriptor
    }
    return count;
}

}  // namespace tessary_test
