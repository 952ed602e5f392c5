#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "TessaryHardwareAPI/Export.h"
#include "TessaryHardwareAPI/SerialStream.h"
#include "TessaryHardwareAPI/Triaxon.h"

namespace Tessary::HardwareAPI {

struct ServoRegistry;
using Vector3 = std::array<double, 3>;

// One force effect. The loop adds up the forces of its effects each tick.
// Units are the device's, passed through unscaled (the simulator's are SI:
// metres, newtons, seconds).
struct TESSARY_API Effect {
    enum class Kind : uint8_t { ConstantForce, Spring, Damper, Plane, Sphere, Box };

    Kind kind = Kind::ConstantForce;
    Vector3 a{};  // force, anchor, plane point, sphere centre or box lower corner
    Vector3 b{};  // plane normal (made unit length) or box upper corner
    double stiffness = 0.0;
    double damping = 0.0;
    double radius = 0.0;
    bool inside = true;

    // The same force at every tick.
    static Effect ConstantForce(const Vector3& force);
    // Pulls towards `anchor`: stiffness * (anchor - x) - damping * v.
    static Effect Spring(const Vector3& anchor, double stiffness, double damping = 0.0);
    // -damping * v.
    static Effect Damper(double damping);
    // A one-sided wall through `point`; `normal` points to the free side. Past
    // the plane (on the other side) it pushes back along the normal with
    // stiffness * depth - damping * (v . normal), and never pulls.
    static Effect Plane(const Vector3& point, const Vector3& normal, double stiffness, double damping = 0.0);
    // inside: keeps the end effector within the ball (pushes back once it is
    // farther than `radius` from `center`); otherwise a solid ball it cannot
    // enter (pushes out while it is closer). stiffness * distance past the
    // surface, along the radius.
    static Effect Sphere(const Vector3& center, double radius, double stiffness, bool inside = true);
    // Keeps the end effector within the axis-aligned box, each axis on its
    // own: stiffness * distance past a face, back towards it.
    static Effect Box(const Vector3& lower, const Vector3& upper, double stiffness);

    // The effect's force at this position and velocity.
    Vector3 Force(const Vector3& position, const Vector3& velocity) const;
};

// The sum of the effects' forces, scaled down to magnitude max_force when it
// is larger; zero when any part of it is not finite.
TESSARY_API Vector3 TotalForce(const Effect* effects, std::size_t count, const Vector3& position, const Vector3& velocity,
                   double max_force);

// One tick as it happened: packed doubles, so that a block of them is a
// numpy structured array as it is.
struct ServoSample {
    double t;       // seconds since the loop started, at the tick's start
    double period;  // seconds since the previous tick's start (0 for the first)
    double position[3];
    double velocity[3];
    double force[3];  // the force sent at this tick
};
static_assert(sizeof(ServoSample) == 11 * sizeof(double), "no padding in a sample");

struct ServoOptions {
    double rate = 1000.0;     // ticks per second, 100 to 10000
    double max_force = 10.0;  // the largest force magnitude ever sent
    double timeout = 0.0;     // seconds a reply may be missing; 0: ten periods
    bool realtime = false;    // ask for SCHED_FIFO at `priority`
    int priority = 80;
    int cpu = -1;                  // pin the thread to this CPU; -1: no pinning
    std::size_t samples = 65536;  // the ring's capacity, rounded up to a power of two
};

struct ServoStats {
    uint64_t ticks = 0;
    uint64_t overruns = 0;  // ticks that started a period or more late; the schedule moved on
    uint64_t dropped = 0;   // samples the full ring had no room for
    double rate = 0.0;      // ticks per second achieved
    double period_p50 = 0.0, period_p99 = 0.0, period_max = 0.0;  // seconds, over the run so far
    bool realtime = false;   // SCHED_FIFO was granted
    int realtime_error = 0;  // errno when it was asked for and refused (EPERM: the rtprio limit)
    int cpu_error = 0;       // errno when pinning to a CPU was asked for and refused
};

enum class ServoState : uint8_t { Idle, Running, Stopped, Failed };

// Why a loop failed: the link's state when it gave up, and its errno.
struct ServoFailure {
    IO::LinkState link = IO::LinkState::Open;
    int error = 0;
};

// Drives one Triaxon on a thread of its own at a fixed rate: each tick is one
// exchange, a force request and its state reply, the same bytes as
// end_effector_force. The force sent at tick n is computed from the state
// received at tick n-1 (one tick of delay; the first tick sends zero).
//
// Pacing is by absolute deadlines on the monotonic clock, so the rate does
// not drift; a tick that starts a period or more late counts as an overrun
// and the schedule moves on from there, with no burst of catch-up ticks.
//
// The loop never leaves a force on the arm: however it stops (Stop, the
// destructor, a failure) it sends zero force while the line still takes
// writes. A reply missing for longer than the timeout stops it, failed.
//
// Threads: the servo thread never blocks on another thread. SetEffects
// hands a new effect set over whole (a tick never sees half of an update);
// Drain, Latest and Stats read what the loop has recorded without stopping
// it. While the loop runs it owns the stream: make no other exchange on it.
class TESSARY_API ServoLoop {
public:
    static constexpr std::size_t kMaxEffects = 64;

    // Throws std::invalid_argument for options out of range.
    ServoLoop(Devices::Triaxon& arm, const ServoOptions& options = {});
    ~ServoLoop();
    ServoLoop(const ServoLoop&) = delete;
    ServoLoop& operator=(const ServoLoop&) = delete;

    // Starts the thread; false when it is running already or the stream is
    // not open. Waits until the thread has set up its scheduling.
    bool Start();
    // Stops the thread (zero force sent) and waits for it. Idempotent.
    void Stop();

    ServoState State() const { return state_.load(std::memory_order_acquire); }
    bool Running() const { return State() == ServoState::Running; }
    ServoFailure Failure() const;
    const ServoOptions& Options() const { return options_; }
    Devices::Triaxon& Arm() const { return arm_; }

    // Replaces the effect set; at most kMaxEffects.
    void SetEffects(const Effect* effects, std::size_t count);
    // Moves up to `max` recorded samples, oldest first, into `out`.
    std::size_t Drain(ServoSample* out, std::size_t max);
    std::size_t Pending() const;
    // The newest tick; false before the first one.
    bool Latest(ServoSample& out);
    ServoStats Stats() const;

private:
    // Hands whole values from one writer to one reader without either ever
    // waiting: each side owns one of three slots, and they swap through the
    // third. The reader sees the newest value written, or its last one again.
    template <typename T>
    class Handover {
    public:
        Handover() : slots_(new T[3]()) {}
        T& Writing() { return slots_[writing_]; }
        void Publish() { writing_ = middle_.exchange(writing_ | kFresh, std::memory_order_acq_rel) & kSlot; }
        // Whether any value was published since the reader last looked.
        bool Refresh() {
            if (!(middle_.load(std::memory_order_acquire) & kFresh)) return false;
            reading_ = middle_.exchange(reading_, std::memory_order_acq_rel) & kSlot;
            return true;
        }
        const T& Reading() const { return slots_[reading_]; }

    private:
        static constexpr int kFresh = 4, kSlot = 3;
        std::unique_ptr<T[]> slots_;
        int writing_ = 0, reading_ = 2;
        std::atomic<int> middle_{1};
    };

    struct EffectSet {
        std::size_t count = 0;
        Effect effects[kMaxEffects];
    };
    friend struct ServoRegistry;
    void Run(std::chrono::steady_clock::time_point start);
    void SendZeroForce();
    void Record(const ServoSample& sample);

    Devices::Triaxon& arm_;
    IO::SerialStream& stream_;
    ServoOptions options_;
    std::chrono::nanoseconds period_;
    std::chrono::microseconds timeout_;
    std::chrono::microseconds saved_budget_{};
    std::thread thread_;
    std::atomic<ServoState> state_{ServoState::Idle};
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> failure_{0};  // link state and errno, packed

    // Effects, from the caller (one at a time: writer_) to the servo thread.
    std::mutex writer_;
    Handover<EffectSet> effects_;

    // Samples: single producer (the servo thread), single consumer (drain_).
    std::unique_ptr<ServoSample[]> ring_;
    std::size_t mask_ = 0;
    std::atomic<std::size_t> head_{0}, tail_{0};
    std::mutex drain_;

    // The newest tick, from the servo thread to Latest (one at a time: latest_lock_).
    Handover<ServoSample> latest_;
    mutable std::mutex latest_lock_;
    std::atomic<bool> has_latest_{false};

    // Periods in microsecond bins up to 100 ms; longer ones in the last bin.
    static constexpr std::size_t kBins = 100000;
    std::unique_ptr<std::atomic<uint32_t>[]> histogram_;
    std::atomic<uint64_t> ticks_{0}, overruns_{0}, dropped_{0};
    std::atomic<double> period_max_{0.0}, first_tick_{0.0}, last_tick_{0.0};
    std::atomic<bool> realtime_{false};
    std::atomic<int> realtime_error_{0};
    std::atomic<int> cpu_error_{0};
};

}  // namespace Tessary::HardwareAPI
