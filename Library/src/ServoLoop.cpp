#include "TessaryHardwareAPI/ServoLoop.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <future>
#include <new>
#include <vector>
#include <stdexcept>
#include <string>

#include <pthread.h>
#include <sched.h>
#include <time.h>

namespace Tessary::HardwareAPI {

namespace {

using Clock = std::chrono::steady_clock;

double Dot(const Vector3& u, const Vector3& v) { return u[0] * v[0] + u[1] * v[1] + u[2] * v[2]; }
Vector3 Minus(const Vector3& u, const Vector3& v) { return {u[0] - v[0], u[1] - v[1], u[2] - v[2]}; }
Vector3 Scaled(const Vector3& u, double k) { return {u[0] * k, u[1] * k, u[2] * k}; }

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

}  // namespace

// Running loops, so that a forked child, where their threads do not exist,
// knows them as stopped (and never waits for those threads).
struct ServoRegistry {
    static std::mutex& Mutex() {
        static std::mutex mutex;
        return mutex;
    }
    static std::vector<ServoLoop*>& Running() {
        static std::vector<ServoLoop*> running;
        return running;
    }
    static void Add(ServoLoop* loop) {
        static std::once_flag installed;
        std::call_once(installed, [] {
            ::pthread_atfork([] { Mutex().lock(); }, [] { Mutex().unlock(); }, &Child);
        });
        std::lock_guard<std::mutex> lock(Mutex());
        Running().push_back(loop);
    }
    static void Remove(ServoLoop* loop) {
        std::lock_guard<std::mutex> lock(Mutex());
        auto& running = Running();
        running.erase(std::remove(running.begin(), running.end(), loop), running.end());
    }
    static void Child() {
        for (ServoLoop* loop : Running()) {
            new (&loop->thread_) std::thread();  // the parent's thread: not joinable here
            loop->state_.store(ServoState::Stopped, std::memory_order_relaxed);
        }
        Running().clear();
        Mutex().unlock();
    }
};

// ------------------------------------------------------------------ effects

Effect Effect::ConstantForce(const Vector3& force) {
    Effect e;
    e.kind = Kind::ConstantForce;
    e.a = force;
    return e;
}

Effect Effect::Spring(const Vector3& anchor, double stiffness, double damping) {
    Effect e;
    e.kind = Kind::Spring;
    e.a = anchor;
    e.stiffness = stiffness;
    e.damping = damping;
    return e;
}

Effect Effect::Damper(double damping) {
    Effect e;
    e.kind = Kind::Damper;
    e.damping = damping;
    return e;
}

Effect Effect::Plane(const Vector3& point, const Vector3& normal, double stiffness, double damping) {
    Effect e;
    e.kind = Kind::Plane;
    e.a = point;
    const double length = std::sqrt(Dot(normal, normal));
    e.b = length > 0.0 ? Scaled(normal, 1.0 / length) : Vector3{0.0, 0.0, 0.0};  // no normal: no wall
    e.stiffness = stiffness;
    e.damping = damping;
    return e;
}

Effect Effect::Sphere(const Vector3& center, double radius, double stiffness, bool inside) {
    Effect e;
    e.kind = Kind::Sphere;
    e.a = center;
    e.radius = radius;
    e.stiffness = stiffness;
    e.inside = inside;
    return e;
}

Effect Effect::Box(const Vector3& lower, const Vector3& upper, double stiffness) {
    Effect e;
    e.kind = Kind::Box;
    e.a = lower;
    e.b = upper;
    e.stiffness = stiffness;
    return e;
}

Vector3 Effect::Force(const Vector3& x, const Vector3& v) const {
    switch (kind) {
        case Kind::ConstantForce:
            return a;
        case Kind::Spring:
            return Minus(Scaled(Minus(a, x), stiffness), Scaled(v, damping));
        case Kind::Damper:
            return Scaled(v, -damping);
        case Kind::Plane: {
            const double depth = -Dot(Minus(x, a), b);  // > 0: past the plane
            if (depth <= 0.0) return {0.0, 0.0, 0.0};
            // A wall pushes; damping that would pull it back is left out.
            return Scaled(b, std::max(0.0, stiffness * depth - damping * Dot(v, b)));
        }
        case Kind::Sphere: {
            const Vector3 out = Minus(x, a);
            const double distance = std::sqrt(Dot(out, out));
            const double past = inside ? distance - radius : radius - distance;
            if (past <= 0.0 || distance == 0.0) return {0.0, 0.0, 0.0};  // the centre has no direction
            return Scaled(out, (inside ? -stiffness : stiffness) * past / distance);
        }
        case Kind::Box: {
            Vector3 f{0.0, 0.0, 0.0};
            for (int i = 0; i < 3; ++i) {
                if (x[i] < a[i]) f[i] = stiffness * (a[i] - x[i]);
                if (x[i] > b[i]) f[i] = -stiffness * (x[i] - b[i]);
            }
            return f;
        }
    }
    return {0.0, 0.0, 0.0};
}

Vector3 TotalForce(const Effect* effects, std::size_t count, const Vector3& position, const Vector3& velocity,
                   double max_force) {
    Vector3 total{0.0, 0.0, 0.0};
    for (std::size_t i = 0; i < count; ++i) {
        const Vector3 f = effects[i].Force(position, velocity);
        for (int k = 0; k < 3; ++k) total[k] += f[k];
    }
    const double magnitude = std::sqrt(Dot(total, total));
    // A NaN from a reply or an effect must never reach the arm as a force.
    if (!std::isfinite(magnitude)) return {0.0, 0.0, 0.0};
    return magnitude > max_force ? Scaled(total, max_force / magnitude) : total;
}

// --------------------------------------------------------------- the loop

ServoLoop::ServoLoop(Devices::Triaxon& arm, const ServoOptions& options)
    : arm_(arm), stream_(*arm.stream), options_(options) {
    Require(std::isfinite(options.rate) && options.rate >= 100.0 && options.rate <= 10000.0,
            "rate must be 100 to 10000 Hz, got " + std::to_string(options.rate));
    Require(std::isfinite(options.max_force) && options.max_force > 0.0,
            "max_force must be finite and above 0, got " + std::to_string(options.max_force));
    Require(std::isfinite(options.timeout) && options.timeout >= 0.0 && options.timeout <= 1.0,
            "timeout must be 0 (ten periods) to 1 s, got " + std::to_string(options.timeout));
    Require(!options.realtime || (options.priority >= 1 && options.priority <= 99),
            "priority must be 1 to 99, got " + std::to_string(options.priority));
    Require(options.cpu >= -1 && options.cpu < CPU_SETSIZE, "cpu must be -1 or a CPU number");
    Require(options.samples >= 1 && options.samples <= (std::size_t{1} << 24),
            "samples must be 1 to 16777216, got " + std::to_string(options.samples));
    period_ = std::chrono::nanoseconds(std::llround(1e9 / options.rate));
    const double timeout = options.timeout > 0.0 ? options.timeout : 10.0 / options.rate;
    timeout_ = std::chrono::microseconds(std::max<long long>(1, std::llround(timeout * 1e6)));
    std::size_t capacity = 1;
    while (capacity < options.samples) capacity <<= 1;
    ring_.reset(new ServoSample[capacity]);
    mask_ = capacity - 1;
    histogram_.reset(new std::atomic<uint32_t>[kBins]());
}

ServoLoop::~ServoLoop() { Stop(); }

ServoFailure ServoLoop::Failure() const {
    const uint64_t packed = failure_.load(std::memory_order_acquire);
    return {static_cast<IO::LinkState>(packed >> 32), static_cast<int>(static_cast<uint32_t>(packed))};
}

bool ServoLoop::Start() {
    if (thread_.joinable()) return false;
    if (!stream_.Good() || !stream_.Claim(this)) return false;
    {
        // The loop's own reads wait `timeout`; the stream's budget returns
        // to what it was when the loop stops.
        std::lock_guard<std::recursive_mutex> lock(stream_.Mutex());
        saved_budget_ = stream_.Buffer()->read_budget;
        stream_.Buffer()->read_budget = timeout_;
    }
    // A new run: the record starts afresh.
    head_ = tail_ = 0;
    ticks_ = overruns_ = dropped_ = 0;
    period_max_ = first_tick_ = last_tick_ = 0.0;
    for (std::size_t i = 0; i < kBins; ++i) histogram_[i].store(0, std::memory_order_relaxed);
    has_latest_ = false;
    failure_ = Pack({IO::LinkState::Open, 0});
    realtime_ = false;
    realtime_error_ = cpu_error_ = 0;
    stop_ = false;
    state_ = ServoState::Running;

    // The thread owns the promise: it may still be inside set_value when
    // this function, woken by it, returns.
    std::promise<void> ready;
    std::future<void> set_up = ready.get_future();
    ServoRegistry::Add(this);
    thread_ = std::thread([this, ready = std::move(ready)]() mutable {
        if (options_.realtime) {
            const sched_param param{options_.priority};
            const int refused = ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &param);
            realtime_ = refused == 0;
            realtime_error_ = refused;
        }
        if (options_.cpu >= 0) {
            cpu_set_t cpus;
            CPU_ZERO(&cpus);
            CPU_SET(options_.cpu, &cpus);
            cpu_error_ = ::pthread_setaffinity_np(::pthread_self(), sizeof cpus, &cpus);
        }
        const Clock::time_point start = Clock::now();
        ready.set_value();
        Run(start);
    });
    set_up.wait();
    return true;
}

void ServoLoop::Stop() {
    if (!thread_.joinable()) return;
    stop_.store(true, std::memory_order_release);
    thread_.join();
    ServoRegistry::Remove(this);
}

void ServoLoop::Run(Clock::time_point start) {
    float force[3] = {0.0f, 0.0f, 0.0f};  // the first tick has no state to act on yet
    Clock::time_point next = start, previous{};
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
        sample.t = Seconds(began - start);
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
        const Vector3 next_force = TotalForce(set.effects, set.count, x, v, options_.max_force);
        for (int k = 0; k < 3; ++k) force[k] = static_cast<float>(next_force[k]);
        Record(sample);
    }
    SendZeroForce();
    {
        std::lock_guard<std::recursive_mutex> lock(stream_.Mutex());
        stream_.Buffer()->read_budget = saved_budget_;
    }
    stream_.Release(this);
    state_.store(failed ? ServoState::Failed : ServoState::Stopped, std::memory_order_release);
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
        char frame[1 + sizeof zero] = {static_cast<char>(Devices::Triaxon::kForce)};
        std::memcpy(frame + 1, zero, sizeof zero);
        stream_.WriteAnyway(frame, sizeof frame);
    }
}

void ServoLoop::Record(const ServoSample& sample) {
    const uint64_t ticks = ticks_.load(std::memory_order_relaxed) + 1;
    ticks_.store(ticks, std::memory_order_relaxed);
    if (ticks == 1) first_tick_.store(sample.t, std::memory_order_relaxed);
    last_tick_.store(sample.t, std::memory_order_relaxed);
    if (ticks > 1) {
        const auto bin = std::min<std::size_t>(kBins - 1, static_cast<std::size_t>(sample.period * 1e6));
        histogram_[bin].store(histogram_[bin].load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
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
    std::lock_guard<std::mutex> lock(writer_);
    EffectSet& set = effects_.Writing();
    std::copy(effects, effects + count, set.effects);
    set.count = count;
    effects_.Publish();
}

std::size_t ServoLoop::Pending() const {
    return head_.load(std::memory_order_acquire) - tail_.load(std::memory_order_relaxed);
}

std::size_t ServoLoop::Drain(ServoSample* out, std::size_t max) {
    std::lock_guard<std::mutex> lock(drain_);
    const std::size_t tail = tail_.load(std::memory_order_relaxed);
    const std::size_t count = std::min(max, head_.load(std::memory_order_acquire) - tail);
    for (std::size_t i = 0; i < count; ++i) out[i] = ring_[(tail + i) & mask_];
    tail_.store(tail + count, std::memory_order_release);
    return count;
}

bool ServoLoop::Latest(ServoSample& out) {
    if (!has_latest_.load(std::memory_order_acquire)) return false;
    std::lock_guard<std::mutex> lock(latest_lock_);
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
    uint64_t periods = 0;
    for (std::size_t i = 0; i < kBins; ++i) periods += histogram_[i].load(std::memory_order_relaxed);
    // The bin's middle: a microsecond's resolution.
    auto percentile = [&](double q) {
        const auto wanted = static_cast<uint64_t>(std::ceil(q * static_cast<double>(periods)));
        uint64_t seen = 0;
        for (std::size_t i = 0; i < kBins; ++i) {
            seen += histogram_[i].load(std::memory_order_relaxed);
            if (seen >= wanted && seen > 0) return std::min((static_cast<double>(i) + 0.5) * 1e-6, stats.period_max);
        }
        return 0.0;
    };
    stats.period_p50 = percentile(0.50);
    stats.period_p99 = percentile(0.99);
    stats.realtime = realtime_.load(std::memory_order_relaxed);
    stats.realtime_error = realtime_error_.load(std::memory_order_relaxed);
    stats.cpu_error = cpu_error_.load(std::memory_order_relaxed);
    return stats;
}

}  // namespace Tessary::HardwareAPI
