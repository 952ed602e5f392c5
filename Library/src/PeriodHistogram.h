#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace Tessary::HardwareAPI {

// Counts of tick periods in log-linear bins: exact nanoseconds below 128 ns,
// then 64 bins for each doubling, so that a bin's middle is within 0.8% of
// any period in it, up to 2^31 ns (2.1 s; longer ones share the last bin).
// One writer (the servo thread) adds with relaxed stores; readers may read at
// any time and see every count as it was at some moment of the run.
class PeriodHistogram {
public:
    static constexpr int kExact = 128;      // bins of one nanosecond each
    static constexpr int kPerDoubling = 64;  // bins for each doubling above that
    static constexpr int kDoublings = 24;    // 128 ns * 2^24 = 2^31 ns
    static constexpr std::size_t kBins = kExact + kDoublings * kPerDoubling;

    struct Percentiles {
        double p50 = 0.0, p99 = 0.0;  // seconds; 0 with nothing counted
    };

    void Add(double seconds);
    void Clear();
    Percentiles Read() const;

    // The bin a period of `ns` nanoseconds falls in, and the middle of a bin.
    static std::size_t Bin(uint64_t ns);
    static double Middle(std::size_t bin);

private:
    std::array<std::atomic<uint32_t>, kBins> counts_{};
};

}  // namespace Tessary::HardwareAPI
