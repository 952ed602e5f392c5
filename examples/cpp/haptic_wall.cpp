// Render a virtual wall on a Triaxon arm: a haptic control loop at 1 kHz.
//
// Usage: haptic_wall PORT [--seconds S] [--rate HZ] [--stiffness N_PER_M] [--gap M] [--push N]
//
// The wall is a horizontal plane --gap metres (default 0.01) below the point
// where the end effector is when the loop starts. Above it no force is
// applied; past it, a spring pushes back with --stiffness newtons per metre
// (default 1000). Every iteration is one exchange: SendForce writes the
// force, ReceiveState reads the position and velocity from the reply. The
// loop runs for --seconds (default 2) at --rate iterations per second
// (default 1000; 0: as fast as the link allows), on absolute deadlines.
// --push adds a constant downward force, standing in for a hand when nobody
// holds the arm. At the end it prints the rate reached, the loop period's
// percentiles and how deep the end effector went into the wall.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "TessaryHardwareAPI/SerialStream.h"
#include "TessaryHardwareAPI/Triaxon.h"

using namespace Tessary::HardwareAPI;
using Clock = std::chrono::steady_clock;

namespace {

constexpr float kMaxForce = 10.0f;  // N: never command more, whatever the spring says

struct Options {
    const char* port = nullptr;
    double seconds = 2.0, rate = 1000.0, stiffness = 1000.0, gap = 0.01, push = 0.0;
};

bool Parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        double* value = !std::strcmp(arg, "--seconds")     ? &options.seconds
                        : !std::strcmp(arg, "--rate")      ? &options.rate
                        : !std::strcmp(arg, "--stiffness") ? &options.stiffness
                        : !std::strcmp(arg, "--gap")       ? &options.gap
                        : !std::strcmp(arg, "--push")      ? &options.push
                                                           : nullptr;
        if (value && i + 1 < argc) {
            char* end = nullptr;
            *value = std::strtod(argv[++i], &end);
            if (*end != '\0') return false;
        } else if (!value && arg[0] != '-' && !options.port) {
            options.port = arg;
        } else {
            return false;
        }
    }
    return options.port && options.seconds > 0 && options.rate >= 0;
}

// The q-quantile of sorted values, interpolated between neighbours (the
// "inclusive" method of Python's statistics.quantiles).
double Quantile(const std::vector<double>& sorted, double q) {
    const double at = q * static_cast<double>(sorted.size() - 1);
    const std::size_t below = static_cast<std::size_t>(at);
    if (below + 1 >= sorted.size()) return sorted.back();
    return sorted[below] + (at - static_cast<double>(below)) * (sorted[below + 1] - sorted[below]);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!Parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: %s PORT [--seconds S] [--rate HZ] [--stiffness N_PER_M] [--gap M] [--push N]\n",
                     argv[0]);
        return 2;
    }

    IO::SerialStream stream(options.port, true);  // must outlive the arm
    if (!stream.IsOpen()) return 1;
    Devices::Triaxon arm(&stream);

    uint16_t device_id = 0;
    uint8_t model = 0, hardware = 0, firmware = 0;
    UUID identifier;
    arm.SendDeviceWakeup();
    arm.ReceiveDeviceInfo(device_id, model, hardware, firmware, identifier);
    if (model != Devices::Triaxon::kArmModelNumber) {
        std::fprintf(stderr, "no Triaxon answered on %s\n", options.port);
        return 1;
    }

    // A zero-force exchange tells where the end effector is now.
    float force[3] = {0.0f, 0.0f, 0.0f};
    float position[3] = {0.0f, 0.0f, 0.0f}, velocity[3] = {0.0f, 0.0f, 0.0f};
    arm.SendForce(force);
    arm.ReceiveState(position, velocity);
    const double wall = position[2] - options.gap;

    // Room for every sample before the loop starts: nothing is allocated in it.
    const double expected = options.seconds * (options.rate > 0 ? options.rate : 50000.0);
    std::vector<double> periods_ms, depths;
    periods_ms.reserve(static_cast<std::size_t>(expected) + 16);
    depths.reserve(periods_ms.capacity());

    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(options.rate > 0 ? 1.0 / options.rate : 0.0));
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(options.seconds));
    auto last = start, next_tick = start;
    bool failed = false;
    std::size_t exchanges = 0;
    for (;;) {
        const auto now = Clock::now();
        if (now >= deadline || depths.size() == depths.capacity()) break;
        arm.SendForce(force);
        arm.ReceiveState(position, velocity);
        if (!stream.Good()) {  // no (complete) reply: the stream stays failed until Reopen()
            failed = true;
            break;
        }
        if (exchanges++ > 0) periods_ms.push_back(std::chrono::duration<double, std::milli>(now - last).count());
        last = now;

        // The wall: a spring acting only beyond the plane, plus the push.
        const double penetration = wall - position[2];
        depths.push_back(std::max(0.0, penetration));
        const double spring = penetration > 0 ? options.stiffness * penetration : 0.0;
        force[2] = std::clamp(static_cast<float>(spring - options.push), -kMaxForce, kMaxForce);

        if (period.count() > 0) {
            next_tick += period;  // absolute deadlines keep the mean rate exact
            std::this_thread::sleep_until(next_tick);
        }
    }
    const double elapsed = std::chrono::duration<double>(last - start).count();
    const float zero[3] = {0.0f, 0.0f, 0.0f};
    arm.SendForce(zero);  // never leave a force applied
    arm.ReceiveState(position, velocity);

    if (failed) {
        std::fprintf(stderr, "the arm stopped answering after %zu exchanges\n", exchanges);
        return 1;
    }
    if (periods_ms.size() < 2) {
        std::fprintf(stderr, "too few exchanges to report\n");
        return 1;
    }

    std::sort(periods_ms.begin(), periods_ms.end());
    std::printf("%zu exchanges in %.3f s: %.0f Hz", exchanges, elapsed, static_cast<double>(exchanges - 1) / elapsed);
    if (options.rate > 0) std::printf(" (asked for %.0f Hz)", options.rate);
    std::printf("\nperiod ms: p50 %.3f  p90 %.3f  p99 %.3f  max %.3f\n", Quantile(periods_ms, 0.50),
                Quantile(periods_ms, 0.90), Quantile(periods_ms, 0.99), periods_ms.back());

    const auto tail = depths.begin() + static_cast<std::ptrdiff_t>(depths.size() * 9 / 10);  // once settled
    double tail_sum = 0.0;
    for (auto it = tail; it != depths.end(); ++it) tail_sum += *it;
    std::printf("wall at z = %.4f m; penetration: max %.2f mm, at the end %.2f mm", wall,
                *std::max_element(depths.begin(), depths.end()) * 1000.0,
                tail_sum / static_cast<double>(depths.end() - tail) * 1000.0);
    if (options.push != 0.0) {
        std::printf(" (a %g N push on %g N/m settles at %.2f mm)", options.push, options.stiffness,
                    options.push / options.stiffness * 1000.0);
    }
    std::printf("\n");
    return 0;
}
