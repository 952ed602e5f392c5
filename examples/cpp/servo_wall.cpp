// Render a virtual wall on a Triaxon arm with a ServoLoop: the servo thread
// runs the 1 kHz exchanges, the program only says what to render.
//
// Usage: servo_wall PORT [--seconds S] [--stiffness N_PER_M] [--gap M] [--push N] [--timeout S]
//
// The wall of haptic_wall: a floor --gap metres (default 0.01) below the end
// effector's starting point, a --stiffness spring (default 1000 N/m) past it
// (a Plane effect), and a --push (default 0 N) down standing in for a hand (a
// ConstantForce). The loop runs for --seconds (default 2); the main thread
// reads the newest tick ten times a second, as a display would. At the end
// it prints the loop's statistics and how deep the end effector rests in the
// wall. --timeout (default: ten periods) is how long a reply may be missing
// before the loop stops; give a simulated arm more.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "TessaryHardwareAPI/SerialStream.h"
#include "TessaryHardwareAPI/ServoLoop.h"
#include "TessaryHardwareAPI/Triaxon.h"

using namespace Tessary::HardwareAPI;

namespace {

struct Arguments {
    const char* port = nullptr;
    double seconds = 2.0, stiffness = 1000.0, gap = 0.01, push = 0.0, timeout = 0.0;
};

bool Parse(int argc, char** argv, Arguments& args) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        double* value = !std::strcmp(arg, "--seconds")     ? &args.seconds
                        : !std::strcmp(arg, "--stiffness") ? &args.stiffness
                        : !std::strcmp(arg, "--gap")       ? &args.gap
                        : !std::strcmp(arg, "--push")      ? &args.push
                        : !std::strcmp(arg, "--timeout")   ? &args.timeout
                                                           : nullptr;
        if (value && i + 1 < argc) {
            char* end = nullptr;
            *value = std::strtod(argv[++i], &end);
            if (*end != '\0') return false;
        } else if (!value && arg[0] != '-' && !args.port) {
            args.port = arg;
        } else {
            return false;
        }
    }
    return args.port && args.seconds > 0;
}

}  // namespace

int main(int argc, char** argv) {
    Arguments args;
    if (!Parse(argc, argv, args)) {
        std::fprintf(stderr, "usage: %s PORT [--seconds S] [--stiffness N_PER_M] [--gap M] [--push N] [--timeout S]\n",
                     argv[0]);
        return 2;
    }

    IO::SerialStream stream(args.port, true);  // must outlive the arm, which must outlive the loop
    if (!stream.IsOpen()) return 1;
    Devices::Triaxon arm(&stream);

    // Where the end effector is now: one zero-force exchange.
    const float zero[3] = {0.0f, 0.0f, 0.0f};
    float position[3] = {0.0f, 0.0f, 0.0f}, velocity[3] = {0.0f, 0.0f, 0.0f};
    arm.SendForce(zero);
    arm.ReceiveState(position, velocity);
    if (!stream.Good()) {
        std::fprintf(stderr, "no Triaxon answered on %s\n", args.port);
        return 1;
    }
    const double wall = position[2] - args.gap;

    ServoOptions options;  // 1000 Hz
    options.max_force = 10.0;
    options.timeout = args.timeout;
    ServoLoop loop(arm, options);
    const Effect effects[2] = {Plane({0.0, 0.0, wall}, {0.0, 0.0, 1.0}, args.stiffness),
                               ConstantForce({0.0, 0.0, -args.push})};
    loop.SetEffects(effects, 2);
    if (!loop.Start()) return 1;

    // The program's own work; here, a display's view of the newest tick.
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(args.seconds);
    ServoSample latest{};
    while (std::chrono::steady_clock::now() < end && loop.Running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        loop.Latest(latest);
    }
    loop.Stop();  // zero force; the destructor would do the same

    const ServoStats stats = loop.Stats();
    if (loop.State() == ServoState::Failed) {
        std::fprintf(stderr, "the arm stopped answering after %llu ticks\n",
                     static_cast<unsigned long long>(stats.ticks));
        return 1;
    }
    std::printf("%llu ticks: %.0f Hz; period ms p50 %.3f  p99 %.3f  max %.3f; %llu overruns\n",
                static_cast<unsigned long long>(stats.ticks), stats.rate, stats.period_p50 * 1e3,
                stats.period_p99 * 1e3, stats.period_max * 1e3, static_cast<unsigned long long>(stats.overruns));
    std::printf("wall at z = %.4f m; the end effector rests %.2f mm inside it", wall,
                (wall - latest.position[2]) * 1000.0);
    if (args.push != 0.0) {
        std::printf(" (a %g N push on %g N/m settles at %.2f mm)", args.push, args.stiffness,
                    args.push / args.stiffness * 1000.0);
    }
    std::printf("\n");
    return 0;
}
