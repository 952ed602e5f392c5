#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "FakeDevice.h"
#include "Replies.h"
#include "Timing.h"
#include "TessaryHardwareAPI/ServoLoop.h"

using namespace tessary_test;
using namespace Tessary::HardwareAPI;
using Clock = std::chrono::steady_clock;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct ForceCase {
    const char* name;
    std::vector<Effect> effects;
    Vector3 position, velocity;
    Vector3 expected;
    double max_force = 100.0;
};

// Each force worked out by hand from the effect's rule.
std::vector<ForceCase> ForceCases() {
    const Vector3 origin{0, 0, 0};
    return {
        {"constant force", {ConstantForce({1, 2, 3})}, {5, 5, 5}, {1, 1, 1}, {1, 2, 3}},
        // 100 * (-0.01, 0.02, 0) - 2 * (0.1, 0, 0)
        {"spring", {Spring(origin, 100, 2)}, {0.01, -0.02, 0}, {0.1, 0, 0}, {-1.2, 2, 0}},
        {"damper", {Damper(5)}, origin, {1, -2, 0.5}, {-5, 10, -2.5}},
        // 1 cm past a floor whose normal is given at length 2: 1000 * 0.01 + 10 * 0.1 up
        {"plane, past it", {Plane(origin, {0, 0, 2}, 1000, 10)}, {0.3, 0, -0.01}, {0, 0, -0.1}, {0, 0, 11}},
        {"plane, on the free side", {Plane(origin, {0, 0, 1}, 1000, 10)}, {0, 0, 0.01}, {0, 0, -5}, origin},
        // 1000 * 0.001 - 10 * 1 would pull: a wall never does
        {"plane, damping never pulls", {Plane(origin, {0, 0, 1}, 1000, 10)}, {0, 0, -0.001}, {0, 0, 1},
         origin},
        {"sphere kept inside, outside it", {Sphere(origin, 0.1, 100, true)}, {0.2, 0, 0}, origin, {-10, 0, 0}},
        {"sphere kept inside, within it", {Sphere(origin, 0.1, 100, true)}, {0.05, 0, 0}, origin, origin},
        {"solid sphere, within it", {Sphere(origin, 0.1, 100, false)}, {0, 0.05, 0}, origin, {0, 5, 0}},
        {"solid sphere, at its centre", {Sphere(origin, 0.1, 100, false)}, origin, origin, origin},
        {"box", {Box({-0.1, -0.1, -0.1}, {0.1, 0.1, 0.1}, 100)}, {0.15, -0.12, 0}, origin, {-5, 2, 0}},
        {"sum of effects", {ConstantForce({0, 0, -2}), Spring({0, 0, 1}, 10)}, origin, origin, {0, 0, 8}},
        {"clamped to max_force", {ConstantForce({30, 40, 0})}, origin, origin, {6, 8, 0}, 10.0},
        {"a position not finite: zero", {ConstantForce({1, 1, 1})}, {kNaN, 0, 0}, origin, origin},
        {"no effects", {}, {1, 2, 3}, {4, 5, 6}, origin},
    };
}

TEST(ServoEffects, ForcesAsWorkedOutByHand) {
    for (const ForceCase& c : ForceCases()) {
        const Vector3 f = TotalForce(c.effects.data(), c.effects.size(), c.position, c.velocity, c.max_force);
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(f[k], c.expected[k], 1e-9) << c.name << ", axis " << k;
    }
}

// A reply the fake gives to every force request: position (1, 2, 3).
Bytes StateReply() { return FloatReply(43, {1, 2, 3, 0, 0, 0}); }

// The force frames the fake captured, as float triples.
std::vector<std::array<float, 3>> Forces(const Bytes& captured) {
    std::vector<std::array<float, 3>> forces;
    for (size_t at = 0; at + 13 <= captured.size(); at += 13) {
        EXPECT_EQ(captured[at], 42) << "byte " << at;
        std::array<float, 3> f;
        std::memcpy(f.data(), captured.data() + at + 1, sizeof f);
        forces.push_back(f);
    }
    EXPECT_EQ(captured.size() % 13, 0u);
    return forces;
}

// Sanitized builds tick slowly on a busy machine: wait for ticks, not time.
void WaitForTicks(const ServoLoop& loop, uint64_t n) {
    const auto start = Clock::now();
    while (loop.Stats().ticks < n && ElapsedMs(start) < 5000) std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

ServoOptions Patient(double rate = 1000.0) {
    ServoOptions options;
    options.rate = rate;
    options.timeout = 0.2;  // the machine may be busy: only a silent device runs out of it
    return options;
}

// The rate holds: the ticks keep to their 1 ms slots over 2 s. A stall of
// the machine may cost slots (a tick a period late moves the schedule on),
// so the check counts the slots each period spans, which a loop that drifts
// (sleeping a period after each tick's work) would fall short of.
TEST(ServoPacing, HoldsItsRateAndMovesOnAfterAStallWithoutABurst) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "timing is the optimised build's to show; a sanitized one runs several times slower";
#endif
    FakeDevice device;
    device.Answer(42, 13, StateReply());
    IO::SerialStream stream(device.Path(), true);
    Devices::Triaxon arm(&stream);
    ServoLoop loop(arm, Patient());
    ASSERT_TRUE(loop.Start());
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    std::vector<ServoSample> steady(loop.Pending());
    steady.resize(loop.Drain(steady.data(), steady.size()));
    device.Expect(13, StateReply(), std::chrono::milliseconds(40));  // one reply 40 ms late
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    loop.Stop();
    EXPECT_EQ(loop.State(), ServoState::Stopped);

    ASSERT_GT(steady.size(), 1000u);
    double slots = 0.0;
    std::vector<double> periods;
    for (size_t i = 1; i < steady.size(); ++i) {
        slots += std::max(1.0, std::round(steady[i].period / 0.001));
        periods.push_back(steady[i].period);
    }
    const double span = steady.back().t - steady.front().t;
    EXPECT_NEAR(slots / (span / 0.001), 1.0, 0.02);
    std::nth_element(periods.begin(), periods.begin() + periods.size() / 2, periods.end());
    EXPECT_NEAR(periods[periods.size() / 2], 0.001, 0.00002);

    std::vector<ServoSample> samples(loop.Pending());
    samples.resize(loop.Drain(samples.data(), samples.size()));
    size_t stall = 0;
    for (size_t i = 1; i < samples.size(); ++i) {
        if (samples[i].period > samples[stall].period) stall = i;
    }
    ASSERT_GT(stall, 0u);
    EXPECT_GE(samples[stall].period, 0.035);
    EXPECT_GE(loop.Stats().overruns, 1u);
    // After the stall the ticks come a period apart again, not bunched up
    // to make up for the ones missed.
    for (size_t i = stall + 1; i < std::min(samples.size(), stall + 10); ++i) {
        EXPECT_GT(samples[i].period, 0.0005) << "tick " << i - stall << " after the stall";
    }
}

// Every way the loop can stop leaves a zero force as the last request.
TEST(ServoSafety, EveryWayOfStoppingEndsWithZeroForce) {
    for (const std::string way : {"Stop", "destructor", "silent device"}) {
        FakeDevice device;
        device.Answer(42, 13, StateReply());
        IO::SerialStream stream(device.Path(), true);
        Devices::Triaxon arm(&stream);
        ServoOptions options = Patient();
        options.timeout = 0.1;
        auto loop = std::make_unique<ServoLoop>(arm, options);
        const Effect push = ConstantForce({1, 2, 3});
        loop->SetEffects(&push, 1);
        ASSERT_TRUE(loop->Start());
        WaitForTicks(*loop, 20);
        long failed_within_ms = -1;
        if (way == "Stop") {
            loop->Stop();
        } else if (way == "destructor") {
            loop.reset();
        } else {
            device.StopReading();  // no more replies; the zero force waits in the line
            const auto start = Clock::now();
            while (loop->Running() && ElapsedMs(start) < kBudgetMs) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            failed_within_ms = ElapsedMs(start);
            EXPECT_EQ(loop->State(), ServoState::Failed);
            EXPECT_EQ(loop->Failure().link, IO::LinkState::TimedOut);
            device.ResumeReading();
        }
        const auto forces = Forces(device.CapturedAfter());
        ASSERT_GT(forces.size(), 10u) << way;
        EXPECT_EQ(forces[0], (std::array<float, 3>{0, 0, 0})) << way;  // the first tick has no state yet
        EXPECT_EQ(forces[forces.size() - 2], (std::array<float, 3>{1, 2, 3})) << way;
        EXPECT_EQ(forces.back(), (std::array<float, 3>{0, 0, 0})) << way;
        if (failed_within_ms >= 0) {
            EXPECT_LT(failed_within_ms, kWithinBudgetMs);  // the loop's 100 ms, not the stream's 1000
        }
        EXPECT_EQ(stream.Owner(), nullptr) << way;
    }
}

TEST(ServoSamples, AFullRingCountsWhatItDrops) {
    FakeDevice device;
    device.Answer(42, 13, StateReply());
    IO::SerialStream stream(device.Path(), true);
    Devices::Triaxon arm(&stream);
    ServoOptions options = Patient();
    options.samples = 3;  // rounded up to 4
    ServoLoop loop(arm, options);
    ASSERT_TRUE(loop.Start());
    WaitForTicks(loop, 20);
    loop.Stop();
    const ServoStats stats = loop.Stats();
    ServoSample samples[8];
    ASSERT_EQ(loop.Drain(samples, 8), 4u);
    EXPECT_EQ(stats.dropped, stats.ticks - 4);
    EXPECT_GT(stats.dropped, 10u);
    EXPECT_EQ(samples[0].period, 0.0);  // the oldest are kept: the first tick has no period
    EXPECT_EQ(samples[3].position[2], 3.0);
}

// An update is seen whole: with two equal effects swapped for two others
// while the loop runs, every force sent is twice one of them, never a mix.
TEST(ServoEffects, AnUpdateIsAppliedWholeAtATickBoundary) {
    FakeDevice device;
    device.Answer(42, 13, StateReply());
    IO::SerialStream stream(device.Path(), true);
    Devices::Triaxon arm(&stream);
    ServoLoop loop(arm, Patient(10000.0));
    const Effect first[2] = {ConstantForce({1, 1, 1}), ConstantForce({1, 1, 1})};
    loop.SetEffects(first, 2);
    ASSERT_TRUE(loop.Start());
    // Ticks, not time: a sanitized build on a busy machine ticks slowly.
    const auto start = Clock::now();
    for (int i = 0; loop.Stats().ticks < 150 && ElapsedMs(start) < 5000; ++i) {
        const double v = i % 2 ? 1.0 : 2.0;
        const Effect pair[2] = {ConstantForce({v, v, v}), ConstantForce({v, v, v})};
        loop.SetEffects(pair, 2);
    }
    loop.Stop();
    const auto forces = Forces(device.CapturedAfter());
    ASSERT_GT(forces.size(), 100u);
    for (size_t i = 1; i + 1 < forces.size(); ++i) {
        const float x = forces[i][0];
        EXPECT_TRUE(x == 2.0f || x == 4.0f) << "tick " << i << ": " << x;
        EXPECT_TRUE(forces[i][1] == x && forces[i][2] == x) << "tick " << i;
    }
}

TEST(ServoOptions, OutOfRangeIsRefused) {
    IO::SerialStream stream("/nonexistent/ttyACM3", false);
    Devices::Triaxon arm(&stream);
    for (double rate : {99.0, 10001.0, kNaN}) {
        ServoOptions options;
        options.rate = rate;
        EXPECT_THROW(ServoLoop(arm, options), std::invalid_argument) << rate;
    }
    ServoOptions options;
    options.max_force = 0.0;
    EXPECT_THROW(ServoLoop(arm, options), std::invalid_argument);
    ServoLoop unopened(arm);
    EXPECT_FALSE(unopened.Start());  // a stream that is not open
}

}  // namespace

namespace {

struct Rig {
    FakeDevice device;
    IO::SerialStream stream{device.Path(), true};
    Devices::Triaxon arm{&stream};
    Rig() { device.Answer(42, 13, StateReply()); }
};

// However many threads stop the loop at once, each returns once the zero
// force has gone out, and none waits for ever.
TEST(ServoLife, ManyThreadsStopAtOnce) {
    Rig rig;
    ServoLoop loop(rig.arm, Patient());
    const ConstantForce push({1, 2, 3});
    const Effect effect(push);
    loop.SetEffects(&effect, 1);
    for (int round = 0; round < 100; ++round) {
        ASSERT_TRUE(loop.Start()) << "round " << round;
        WaitForTicks(loop, 2);
        std::atomic<int> go{0}, zero_seen{0};
        std::vector<std::thread> stoppers;
        for (int i = 0; i < 4; ++i) {
            stoppers.emplace_back([&] {
                go.fetch_add(1);
                while (go.load() < 4) std::this_thread::yield();
                loop.Stop();
                if (loop.State() == ServoState::Stopped && rig.stream.Owner() == nullptr) zero_seen.fetch_add(1);
            });
        }
        for (auto& t : stoppers) t.join();
        EXPECT_EQ(zero_seen.load(), 4) << "round " << round;
    }
    const auto forces = Forces(rig.device.CapturedAfter());
    ASSERT_FALSE(forces.empty());
    EXPECT_EQ(forces.back(), (std::array<float, 3>{0, 0, 0}));
}

TEST(ServoLife, AFailedLoopStartsAgainCleanAndItsNextFailureIsItsOwn) {
    Rig rig;
    ServoLoop loop(rig.arm, Patient());
    ASSERT_TRUE(loop.Start());
    WaitForTicks(loop, 5);
    rig.device.StopReading();
    const auto start = Clock::now();
    while (loop.Running() && ElapsedMs(start) < kBudgetMs) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(loop.State(), ServoState::Failed);
    EXPECT_EQ(loop.Failure().link, IO::LinkState::TimedOut);
    rig.device.ResumeReading();
    EXPECT_FALSE(loop.Start());  // the stream timed out: not good until reopened
    ASSERT_EQ(rig.stream.Reopen(), 1);
    ASSERT_TRUE(loop.Start());   // no Stop needed in between
    WaitForTicks(loop, 5);
    EXPECT_EQ(loop.Failure().link, IO::LinkState::Open);  // the old failure is gone
    rig.device.HangUp();
    while (loop.Running() && ElapsedMs(start) < 3 * kBudgetMs) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(loop.State(), ServoState::Failed);
    EXPECT_EQ(loop.Failure().link, IO::LinkState::HungUp);
    loop.Stop();
    EXPECT_EQ(loop.State(), ServoState::Failed);  // a stop after the fact keeps the cause
}

// The default time-out notices a silent device within 50 ms, and is not
// the ten periods (10 ms) a loaded machine's scheduling can exceed. The best
// of three tries: a busy machine may wake the thread late once.
TEST(ServoLife, TheDefaultTimeoutNoticesASilentDeviceWithin50Ms) {
    long best_ms = kBudgetMs;
    for (int attempt = 0; attempt < 3; ++attempt) {
        FakeDevice device;  // never answers
        IO::SerialStream stream(device.Path(), true);
        Devices::Triaxon arm(&stream);
        ServoLoop loop(arm);
        EXPECT_EQ(loop.Timeout(), ServoLoop::kDefaultTimeout);
        const auto start = Clock::now();
        ASSERT_TRUE(loop.Start());
        while (loop.Running() && ElapsedMs(start) < kBudgetMs) std::this_thread::sleep_for(std::chrono::microseconds(200));
        const long failed_ms = ElapsedMs(start);
        EXPECT_EQ(loop.State(), ServoState::Failed);
        EXPECT_GT(failed_ms, 8);
        best_ms = std::min(best_ms, failed_ms);
    }
    EXPECT_LT(best_ms, 50);
}

TEST(ServoLife, TheDocumentedRatesAtBothEndsRun) {
    for (double rate : {100.0, 10000.0}) {
        Rig rig;
        ServoLoop loop(rig.arm, Patient(rate));
        ASSERT_TRUE(loop.Start()) << rate;
        WaitForTicks(loop, 5);
        loop.Stop();
        EXPECT_GE(loop.Stats().ticks, 5u) << rate;
        EXPECT_EQ(loop.State(), ServoState::Stopped) << rate;
    }
}

// The loop's short budget is its own: after it, a slow reply still arrives.
TEST(ServoLife, TheStreamGetsItsBudgetBackWhenTheLoopStops) {
    Rig rig;
    {
        ServoLoop loop(rig.arm, Patient());
        ASSERT_TRUE(loop.Start());
        WaitForTicks(loop, 5);
        loop.Stop();
        (void)rig.device.CapturedAfter();
    }
    rig.device.Expect(13, FloatReply(43, {7, 8, 9, 0, 0, 0}), std::chrono::milliseconds(300));
    const float zero[3] = {0, 0, 0};
    float position[3] = {0, 0, 0}, velocity[3] = {0, 0, 0};
    rig.arm.SendForce(zero);
    rig.arm.ReceiveState(position, velocity);
    EXPECT_EQ(position[2], 9.0f);
    EXPECT_TRUE(rig.stream.Good());
}

// A child forked while the loop runs has no servo thread: it sees the loop
// stopped, its stream closed and unclaimed, and destroys the loop at once.
TEST(ServoLife, AForkedChildSeesTheLoopStoppedAndTheStreamFree) {
    Rig rig;
    auto loop = std::make_unique<ServoLoop>(rig.arm, Patient());
    ASSERT_TRUE(loop->Start());
    WaitForTicks(*loop, 5);
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(5);  // a hang ends the child, and the test fails on its status
        const bool stopped = loop->State() == ServoState::Stopped && rig.stream.Owner() == nullptr &&
                             rig.stream.State() == IO::LinkState::Closed && !loop->Start();
        loop->Stop();
        loop.reset();
        ::_exit(stopped ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_TRUE(loop->Running());  // the parent's loop runs on
    loop->Stop();
    EXPECT_EQ(Forces(rig.device.CapturedAfter()).back(), (std::array<float, 3>{0, 0, 0}));
}

// Percentiles from the histogram agree with a sorted list of the periods
// within 1%; with every 10th reply 3 ms late, p99 is one of those periods.
TEST(ServoStats, PercentilesMatchTheSortedPeriods) {
    FakeDevice device;
    for (int i = 0; i < 400; ++i) {
        device.Expect(13, StateReply(), std::chrono::milliseconds(i % 10 == 9 ? 3 : 0));
    }
    device.Answer(42, 13, StateReply());
    IO::SerialStream stream(device.Path(), true);
    Devices::Triaxon arm(&stream);
    ServoLoop loop(arm, Patient());
    ASSERT_TRUE(loop.Start());
    WaitForTicks(loop, 300);
    loop.Stop();
    const ServoStats stats = loop.Stats();
    std::vector<ServoSample> samples(loop.Pending());
    samples.resize(loop.Drain(samples.data(), samples.size()));
    ASSERT_EQ(samples.size(), stats.ticks);
    std::vector<double> periods;
    for (size_t i = 1; i < samples.size(); ++i) periods.push_back(samples[i].period);
    std::sort(periods.begin(), periods.end());
    auto sorted = [&](double q) { return periods[static_cast<size_t>(std::ceil(q * periods.size())) - 1]; };
    EXPECT_NEAR(stats.period_p50, sorted(0.50), 0.01 * sorted(0.50));
    EXPECT_NEAR(stats.period_p99, sorted(0.99), 0.01 * sorted(0.99));
    EXPECT_GT(stats.period_p99, 0.003);  // a late reply's period, not an ordinary one
    EXPECT_LT(stats.period_p50, 0.0015);
    EXPECT_EQ(stats.period_max, periods.back());
    const double span = samples.back().t - samples.front().t;
    EXPECT_NEAR(stats.rate, (samples.size() - 1) / span, 1e-9);
}

// With a max_force beyond the largest float, the force is still finite on
// the wire; a reply of infinity makes the next force zero, not a clamp.
TEST(ServoSafety, NothingThatIsNotFiniteReachesTheWire) {
    FakeDevice device;
    device.Expect(13, StateReply());
    device.Expect(13, StateReply());
    device.Expect(13, FloatReply(43, {std::numeric_limits<float>::infinity(), 0, 0, 0, 0, 0}));
    device.Answer(42, 13, StateReply());
    IO::SerialStream stream(device.Path(), true);
    Devices::Triaxon arm(&stream);
    ServoOptions options = Patient();
    options.max_force = 1e300;
    ServoLoop loop(arm, options);
    const Effect push(ConstantForce({1e100, 0, 0}));
    loop.SetEffects(&push, 1);
    ASSERT_TRUE(loop.Start());
    WaitForTicks(loop, 6);
    loop.Stop();
    const auto forces = Forces(device.CapturedAfter());
    ASSERT_GE(forces.size(), 6u);
    const std::array<float, 3> largest{FLT_MAX, 0, 0}, zero{0, 0, 0};
    EXPECT_EQ(forces[0], zero);     // no state yet
    EXPECT_EQ(forces[1], largest);  // after the first reply
    EXPECT_EQ(forces[2], largest);
    EXPECT_EQ(forces[3], zero);     // after the reply of infinity
    EXPECT_EQ(forces[4], largest);
    for (const auto& f : forces) EXPECT_TRUE(std::isfinite(f[0]) && std::isfinite(f[1]) && std::isfinite(f[2]));
}

}  // namespace
