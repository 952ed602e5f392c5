#include "TessaryHardwareAPI/ServoLoop.h"

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <future>
#include <stdexcept>
#include <string>

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include "AfterFork.h"
#include "PeriodHistogram.h"

namespace Tessary::HardwareAPI {

namespace {

using Clock = std::chrono::steady_clock;

// A deadline as clock_nanosleep takes it: steady_clock is CLOCK_MONOTONIC.
timespec Deadline(Clock::time_point when) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
    return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

void SleepUntil(Clock::time_point when) {
    const timespec deadline = Deadline(when);
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

uint64_t Pack(const IO::LinkStatus& status) {
    return (uint64_t{static_cast<uint8_t>(status.state)} << 32) | static_cast<uint32_t>(status.error);
}

void Require(bool ok, const std::string& what) {
    if (!ok) throw std::invalid_argument(what);
}

// The force as the wire carries it. The total is at most max_force, but a
// max_force beyond the largest float would still make an infinity here.
bool ToWire(const Vector3& total, double max_force, float* wire) {
    const double limit = std::min(max_force, static_cast<double>(FLT_MAX));
    for (int k = 0; k < 3; ++k) {
        wire[k] = static_cast<float>(std::clamp(total[k], -limit, limit));
        if (!std::isfinite(wire[k])) return false;
    }
    return true;
}

}  // namespace

// --------------------------------------------------------------- the loop

ServoLoop::ServoLoop(Devices::Triaxon& arm, const ServoOptions& options)
    : arm_(arm), stream_(*arm.stream), options_(options), locks_(std::make_unique<Locks>()) {
    Require(std::isfinite(options.rate) && options.rate >= 100.0 && options.rate <= 10000.0,
            "rate must be 100 to 10000 Hz, got " + std::to_string(options.rate));
    Require(std::isfinite(options.max_force) && options.max_force > 0.0,
            "max_force must be finite and above 0, got " + std::to_string(options.max_force));
    Require(std::isfinite(options.timeout) && options.timeout >= 0.0 && options.timeout <= 1.0,
            "timeout must be 0 (the default) to 1 s, got " + std::to_string(options.timeout));
    Require(!options.realtime || (options.priority >= 1 && options.priority <= 99),
            "priority must be 1 to 99, got " + std::to_string(options.priority));
    Require(options.cpu >= -1 && options.cpu < CPU_SETSIZE, "cpu must be -1 or a CPU number");
    Require(options.samples >= 1 && options.samples <= (std::size_t{1} << 24),
            "samples must be 1 to 16777216, got " + std::to_string(options.samples));
    period_ = std::chrono::nanoseconds(std::llround(1e9 / options.rate));
    timeout_ = std::chrono::microseconds(std::max<long long>(1, std::llround(Timeout() * 1e6)));
    std::size_t capacity = 1;
    while (capacity < options.samples) capacity <<= 1;
    ring_.reset(new ServoSample[capacity]);
    mask_ = capacity - 1;
    histogram_ = std::make_unique<PeriodHistogram>();
}

ServoLoop::~ServoLoop() {
    Stop();
    AfterFork::Remove(this);
}

double ServoLoop::Timeout() const { return options_.timeout > 0.0 ? options_.timeout : kDefaultTimeout; }

ServoFailure ServoLoop::Failure() const {
    const uint64_t packed = failure_.load(std::memory_order_acquire);
    return {static_cast<IO::LinkState>(packed >> 32), static_cast<int>(static_cast<uint32_t>(packed))};
}

void ServoLoop::Join() {
    if (!has_thread_) return;
    ::pthread_join(thread_, nullptr);
    has_thread_ = false;
}

bool ServoLoop::Start() {
    std::lock_guard<std::mutex> control(locks_->control);
    const ServoState state = State();
    if (state == ServoState::Running || state == ServoState::Stopping) return false;
    Join();  // a run that failed: its thread has ended, or is about to
    if (!stream_.Good() || !stream_.Claim(this)) return false;

    // A new run: the record starts afresh.
    head_ = tail_ = 0;
    ticks_ = overruns_ = dropped_ = 0;
    period_max_ = first_tick_ = last_tick_ = 0.0;
    histogram_->Clear();
    has_latest_ = false;
    failure_ = Pack({IO::LinkState::Open, 0});
    realtime_ = false;
    realtime_error_ = cpu_error_ = 0;
    stop_ = false;
    state_ = ServoState::Running;
    // Set by the thread, which may still be inside set_value when Start
    // returns; the next Start joins it before making a new one.
    ready_ = std::promise<void>();
    std::future<void> set_up = ready_.get_future();

    AfterFork::Add(this, &ServoLoop::InChild);
    const int refused = ::pthread_create(&thread_, nullptr, &ServoLoop::Main, this);
    if (refused != 0) {
        state_ = ServoState::Stopped;
        stream_.Release(this);
        return false;
    }
    has_thread_ = true;
    // The thread sets up its scheduling first; Stats reports the outcome.
    set_up.wait();
    return true;
}

void ServoLoop::Stop() {
    std::lock_guard<std::mutex> control(locks_->control);
    if (!has_thread_) return;
    ServoState running = ServoState::Running;
    state_.compare_exchange_strong(running, ServoState::Stopping, std::memory_order_acq_rel);
    stop_.store(true, std::memory_order_release);
    Join();
}

void* ServoLoop::Main(void* object) {
    auto* loop = static_cast<ServoLoop*>(object);
    const ServoOptions& options = loop->options_;
    if (options.realtime) {
        const sched_param param{options.priority};
        const int refused = ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &param);
        loop->realtime_ = refused == 0;
        loop->realtime_error_ = refused;
    }
    if (options.cpu >= 0) {
        cpu_set_t cpus;
        CPU_ZERO(&cpus);
        CPU_SET(options.cpu, &cpus);
        loop->cpu_error_ = ::pthread_setaffinity_np(::pthread_self(), sizeof cpus, &cpus);
    }
    loop->start_ = Clock::now();
    loop->ready_.set_value();
    loop->Run();
    return nullptr;
}

// In a forked child, where the servo thread does not exist: the loop is
// stopped, its stream no longer claimed, and its locks are new ones.
void ServoLoop::InChild(void* object) {
    auto* loop = static_cast<ServoLoop*>(object);
    loop->has_thread_ = false;
    const ServoState state = loop->State();
    if (state == ServoState::Running || state == ServoState::Stopping) loop->state_ = ServoState::Stopped;
    loop->stream_.Release(loop);
    (void)loop->locks_.release();
    loop->locks_.reset(new Locks);
}

void ServoLoop::Run() {
    const bool failed = Ticks();
    stream_.Release(this);
    // The last word on the state is the thread's: Stop joins it after this.
    state_.store(failed ? ServoState::Failed : ServoState::Stopped, std::memory_order_release);
}

bool ServoLoop::Ticks() {
    // The loop's own reads wait `timeout`; the stream's budget comes back
    // before anyone else may use the stream.
    const IO::SerialStream::ReadBudget budget(stream_, timeout_);
    float force[3] = {0.0f, 0.0f, 0.0f};  // the first tick has no state to act on yet
    Clock::time_point next = start_, previous{};
    bool failed = false;
    while (!stop_.load(std::memory_order_acquire)) {
        if (Clock::now() < next) SleepUntil(next);
        const Clock::time_point began = Clock::now();
        // Late by a whole period (this tick missed its slot): counted, and
        // the schedule moves on from here rather than catching up with a
        // burst of ticks. Lesser lateness is made up by the next, shorter
        // sleep, so the rate holds through jitter.
        if (began - next >= period_) {
            overruns_.fetch_add(1, std::memory_order_relaxed);
            next = began;
        }
        next += period_;

        float position[3] = {0.0f, 0.0f, 0.0f}, velocity[3] = {0.0f, 0.0f, 0.0f};
        IO::LinkStatus status;
        {
            std::lock_guard<std::recursive_mutex> lock(stream_.Mutex());
            arm_.SendForce(force);
            arm_.ReceiveState(position, velocity);
            status = stream_.Status();
        }
        if (status.state != IO::LinkState::Open) {
            failure_.store(Pack(status), std::memory_order_release);
            failed = true;
            break;
        }

        ServoSample sample;
        sample.t = Seconds(began - start_);
        sample.period = previous == Clock::time_point{} ? 0.0 : Seconds(began - previous);
        previous = began;
        Vector3 x, v;
        for (int k = 0; k < 3; ++k) {
            sample.position[k] = x[k] = position[k];
            sample.velocity[k] = v[k] = velocity[k];
            sample.force[k] = force[k];
        }
        effects_.Refresh();
        const EffectSet& set = effects_.Reading();
        const Vector3 total = TotalForce(set.effects.data(), set.count, x, v, options_.max_force, began);
        if (!ToWire(total, options_.max_force, force)) force[0] = force[1] = force[2] = 0.0f;
        Record(sample);
    }
    // Still within the loop's budget: a silent arm costs `timeout` here too.
    SendZeroForce();
    return failed;
}

void ServoLoop::SendZeroForce() {
    static const float zero[3] = {0.0f, 0.0f, 0.0f};
    std::lock_guard<std::recursive_mutex> lock(stream_.Mutex());
    const IO::LinkStatus status = stream_.Status();
    if (status.state == IO::LinkState::Open) {
        // A whole exchange, so that no reply is left on the line.
        float position[3], velocity[3];
        arm_.SendForce(zero);
        arm_.ReceiveState(position, velocity);
    } else if (status.state == IO::LinkState::TimedOut && status.open) {
        // The arm stopped answering but the line may still carry the request;
        // its late reply is dropped when the port is opened again.
        const IO::SerialStream::WritesAfterTimeOut anyway(stream_);
        arm_.SendForce(zero);
    }
}

void ServoLoop::Record(const ServoSample& sample) {
    const uint64_t ticks = ticks_.load(std::memory_order_relaxed) + 1;
    ticks_.store(ticks, std::memory_order_relaxed);
    if (ticks == 1) first_tick_.store(sample.t, std::memory_order_relaxed);
    last_tick_.store(sample.t, std::memory_order_relaxed);
    if (ticks > 1) {
        histogram_->Add(sample.period);
        if (sample.period > period_max_.load(std::memory_order_relaxed)) {
            period_max_.store(sample.period, std::memory_order_relaxed);
        }
    }

    const std::size_t head = head_.load(std::memory_order_relaxed);
    if (head - tail_.load(std::memory_order_acquire) > mask_) {
        dropped_.fetch_add(1, std::memory_order_relaxed);  // full: the reader is behind
    } else {
        ring_[head & mask_] = sample;
        head_.store(head + 1, std::memory_order_release);
    }

    latest_.Writing() = sample;
    latest_.Publish();
    has_latest_.store(true, std::memory_order_release);
}

void ServoLoop::SetEffects(const Effect* effects, std::size_t count) {
    if (count > kMaxEffects) {
        throw std::invalid_argument("at most " + std::to_string(kMaxEffects) + " effects, got " +
                                    std::to_string(count));
    }
    std::lock_guard<std::mutex> lock(locks_->writer);
    EffectSet& set = effects_.Writing();
    std::copy(effects, effects + count, set.effects.begin());
    set.count = count;
    effects_.Publish();
}

std::size_t ServoLoop::Pending() const {
    return head_.load(std::memory_order_acquire) - tail_.load(std::memory_order_relaxed);
}

std::size_t ServoLoop::Drain(ServoSample* out, std::size_t max) {
    std::lock_guard<std::mutex> lock(locks_->drain);
    const std::size_t tail = tail_.load(std::memory_order_relaxed);
    const std::size_t count = std::min(max, head_.load(std::memory_order_acquire) - tail);
    for (std::size_t i = 0; i < count; ++i) out[i] = ring_[(tail + i) & mask_];
    tail_.store(tail + count, std::memory_order_release);
    return count;
}

bool ServoLoop::Latest(ServoSample& out) {
    if (!has_latest_.load(std::memory_order_acquire)) return false;
    std::lock_guard<std::mutex> lock(locks_->latest);
    latest_.Refresh();
    out = latest_.Reading();
    return true;
}

ServoStats ServoLoop::Stats() const {
    ServoStats stats;
    stats.ticks = ticks_.load(std::memory_order_relaxed);
    stats.overruns = overruns_.load(std::memory_order_relaxed);
    stats.dropped = dropped_.load(std::memory_order_relaxed);
    const double span = last_tick_.load(std::memory_order_relaxed) - first_tick_.load(std::memory_order_relaxed);
    stats.rate = stats.ticks > 1 && span > 0.0 ? static_cast<double>(stats.ticks - 1) / span : 0.0;
    stats.period_max = period_max_.load(std::memory_order_relaxed);
    // A bin's middle may lie a little past the longest period in it.
    const PeriodHistogram::Percentiles periods = histogram_->Read();
    stats.period_p50 = std::min(periods.p50, stats.period_max);
    stats.period_p99 = std::min(periods.p99, stats.period_max);
    stats.realtime = realtime_.load(std::memory_order_relaxed);
    stats.realtime_error = realtime_error_.load(std::memory_order_relaxed);
    stats.cpu_error = cpu_error_.load(std::memory_order_relaxed);
    return stats;
}

}  // namespace Tessary::HardwareAPI
