#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>

#include <pthread.h>

#include "TessaryHardwareAPI/Effect.h"
#include "TessaryHardwareAPI/Export.h"
#include "TessaryHardwareAPI/SerialStream.h"
#include "TessaryHardwareAPI/Triaxon.h"

namespace Tessary::HardwareAPI {

class PeriodHistogram;

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
    double timeout = 0.0;     // seconds a reply may be missing; 0: kDefaultTimeout
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

// Idle until started; Running until a stop is asked for (Stopping) or the
// link fails (Failed). Stopped and Failed both come after the zero force
// went out, and both may be started again.
enum class ServoState : uint8_t { Idle, Running, Stopped, Failed, Stopping };

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
// Nothing that is not finite is ever sent.
//
// Its life has one owner: Start, Stop, the destructor, a failure and a fork
// all pass through one control lock and the state. Any number of threads
// may call Stop at once; each returns once the thread has ended and the
// zero force has gone out. A forked child sees the parent's loops stopped.
//
// Threads: the servo thread never blocks on another thread. SetEffects
// hands a new effect set over whole (a tick never sees half of an update);
// Drain, Latest and Stats read what the loop has recorded without stopping
// it. While the loop runs it owns the stream: make no other exchange on it.
class TESSARY_API ServoLoop {
public:
    static constexpr std::size_t kMaxEffects = 64;
    // Seconds a reply may be missing when the options leave it at 0: long
    // enough for a loaded machine's scheduling delays, short enough to
    // notice a silent device within 50 ms.
    static constexpr double kDefaultTimeout = 0.04;

    // Throws std::invalid_argument for options out of range.
    ServoLoop(Devices::Triaxon& arm, const ServoOptions& options = {});
    ~ServoLoop();
    ServoLoop(const ServoLoop&) = delete;
    ServoLoop& operator=(const ServoLoop&) = delete;

    // Starts the thread, with a fresh record (samples, statistics, failure);
    // false when it is running or stopping, or the stream is not open and
    // good, or another loop owns it. A loop that failed or was stopped
    // starts again. Waits until the thread has set up its scheduling.
    bool Start();
    // Stops the thread (zero force sent) and waits for it. Idempotent.
    void Stop();

    ServoState State() const { return state_.load(std::memory_order_acquire); }
    bool Running() const { return State() == ServoState::Running; }
    ServoFailure Failure() const;
    const ServoOptions& Options() const { return options_; }
    // The time-out in force: the option, or kDefaultTimeout.
    double Timeout() const;
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
        std::array<Effect, kMaxEffects> effects;
    };
    // The callers' locks, held by pointer: a forked child gets new ones,
    // since a parent thread may have held one at the fork.
    struct Locks {
        std::mutex control;  // Start, Stop, the destructor: the loop's life
        std::mutex writer;   // SetEffects callers, one at a time
        std::mutex drain;    // Drain callers
        std::mutex latest;   // Latest callers
    };
    static void* Main(void* loop);
    static void InChild(void* loop);
    void Run();
    bool Ticks();  // true when the link failed
    void SendZeroForce();
    void Record(const ServoSample& sample);
    void Join();  // control lock held

    Devices::Triaxon& arm_;
    IO::SerialStream& stream_;
    ServoOptions options_;
    std::chrono::nanoseconds period_;
    std::chrono::microseconds timeout_;
    std::unique_ptr<Locks> locks_;
    pthread_t thread_{};
    bool has_thread_ = false;  // a thread was started and not joined yet
    std::atomic<ServoState> state_{ServoState::Idle};
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> failure_{0};  // link state and errno, packed
    std::chrono::steady_clock::time_point start_{};
    std::promise<void> ready_;  // the thread has set up its scheduling

    // Effects, from the caller (one at a time) to the servo thread.
    Handover<EffectSet> effects_;

    // Samples: single producer (the servo thread), single consumer (drain).
    std::unique_ptr<ServoSample[]> ring_;
    std::size_t mask_ = 0;
    std::atomic<std::size_t> head_{0}, tail_{0};

    // The newest tick, from the servo thread to Latest.
    Handover<ServoSample> latest_;
    std::atomic<bool> has_latest_{false};

    std::unique_ptr<PeriodHistogram> histogram_;
    std::atomic<uint64_t> ticks_{0}, overruns_{0}, dropped_{0};
    std::atomic<double> period_max_{0.0}, first_tick_{0.0}, last_tick_{0.0};
    std::atomic<bool> realtime_{false};
    std::atomic<int> realtime_error_{0};
    std::atomic<int> cpu_error_{0};
};

}  // namespace Tessary::HardwareAPI
