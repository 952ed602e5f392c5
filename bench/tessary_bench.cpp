// Control-loop benchmark clients. Each mode runs a number of force-request /
// state-reply exchanges against a port and prints one latency per line, in
// nanoseconds, so the driver can interleave modes and pool the figures, then
// a last line "# CPU_NS WAITS": the process's user plus system time and its
// voluntary context switches (each a wait that slept) over the exchanges.
//
//   tessary-bench raw PORT N       poll + read on a descriptor set up like the library's
//   tessary-bench library PORT N   Triaxon::SendForce then Triaxon::ReceiveState
//   tessary-bench sleep PORT N     the same exchange over a reader that sleeps
//                                  100 us between reads instead of waiting for data
//   tessary-bench silent PORT      thread CPU time of one silent 1000 ms read,
//                                  library and sleeping reader: "<library_ns> <sleep_ns>"
#include <poll.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "TessaryHardwareAPI/SerialStream.h"
#include "TessaryHardwareAPI/Triaxon.h"

using Tessary::HardwareAPI::Devices::Triaxon;
using Tessary::HardwareAPI::IO::serialib;
using Tessary::HardwareAPI::IO::SerialStream;

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kForceRequest[13] = {42, 0, 0, 0x80, 0x3f, 0, 0, 0, 0x40, 0, 0, 0x40, 0x40};
constexpr int kReplyLength = 25;

long long Nanos(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(b - a).count();
}

// The fastest a client can go over this link: one write, then poll and read
// until the whole reply is in.
bool RawExchange(int fd) {
    if (::write(fd, kForceRequest, sizeof kForceRequest) != sizeof kForceRequest) return false;
    uint8_t reply[kReplyLength];
    int got = 0;
    while (got < kReplyLength) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 1000) <= 0) return false;
        const ssize_t r = ::read(fd, reply + got, kReplyLength - got);
        if (r <= 0) return false;
        got += static_cast<int>(r);
    }
    return reply[0] == 43;
}

// The reader as first designed: wall-clock budget, 100 us sleeps between reads.
int SleepingRead(int fd, uint8_t* buffer, unsigned count) {
    timeval start{};
    ::gettimeofday(&start, nullptr);
    unsigned got = 0;
    for (;;) {
        timeval now{};
        ::gettimeofday(&now, nullptr);
        long sec = now.tv_sec - start.tv_sec;
        long usec = now.tv_usec - start.tv_usec;
        if (usec < 0) {
            usec += 1000000;
            --sec;
        }
        if (static_cast<unsigned long>(sec * 1000 + usec / 1000) > 999) return static_cast<int>(got);
        const ssize_t r = ::read(fd, buffer + got, count - got);
        if (r == -1) return -2;
        got += static_cast<unsigned>(r);
        if (got >= count) return static_cast<int>(got);
        ::usleep(100);
    }
}

bool SleepingExchange(int fd) {
    if (::write(fd, kForceRequest, sizeof kForceRequest) != sizeof kForceRequest) return false;
    uint8_t reply[kReplyLength];
    if (SleepingRead(fd, reply, 1) != 1 || reply[0] != 43) return false;
    return SleepingRead(fd, reply + 1, kReplyLength - 1) == kReplyLength - 1;
}

long long ThreadCpuNanos() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

struct Cost {
    long long cpu_ns;
    long waits;
};

Cost ProcessCost() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    const auto ns = [](const timeval& t) { return t.tv_sec * 1000000000LL + t.tv_usec * 1000LL; };
    return {ns(u.ru_utime) + ns(u.ru_stime), u.ru_nvcsw};
}

int Usage() {
    std::fprintf(stderr, "usage: tessary-bench raw|library|sleep PORT N | silent PORT\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return Usage();
    const std::string mode = argv[1];
    const char* port = argv[2];
    SerialStream stream(port, true);
    if (!stream.Buffer() || stream.Buffer()->fd < 0) return 1;
    const int fd = stream.Buffer()->fd;

    if (mode == "silent") {
        uint8_t byte[1];
        long long before = ThreadCpuNanos();
        stream.Buffer()->timed_read(byte, 1);
        const long long library = ThreadCpuNanos() - before;
        before = ThreadCpuNanos();
        SleepingRead(fd, byte, 1);
        const long long sleeping = ThreadCpuNanos() - before;
        std::printf("%lld %lld\n", library, sleeping);
        return 0;
    }
    if (argc < 4) return Usage();
    const long n = std::strtol(argv[3], nullptr, 10);
    std::vector<long long> latencies;
    latencies.reserve(static_cast<size_t>(n));

    Triaxon arm(&stream);
    const float force[3] = {1.0f, 2.0f, 3.0f};
    float position[3];
    float velocity[3];
    const Cost before = ProcessCost();
    for (long i = 0; i < n; ++i) {
        const auto start = Clock::now();
        bool ok;
        if (mode == "raw") {
            ok = RawExchange(fd);
        } else if (mode == "sleep") {
            ok = SleepingExchange(fd);
        } else if (mode == "library") {
            position[0] = -1.0f;
            arm.SendForce(force);
            arm.ReceiveState(position, velocity);
            ok = stream.good();
        } else {
            return Usage();
        }
        latencies.push_back(Nanos(start, Clock::now()));
        if (!ok) {
            std::fprintf(stderr, "exchange %ld failed\n", i);
            return 1;
        }
    }
    const Cost after = ProcessCost();
    for (long long ns : latencies) std::printf("%lld\n", ns);
    std::printf("# %lld %ld\n", after.cpu_ns - before.cpu_ns, after.waits - before.waits);
    return 0;
}
