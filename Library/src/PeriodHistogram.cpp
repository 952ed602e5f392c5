#include "PeriodHistogram.h"

#include <algorithm>
#include <cmath>

namespace Tessary::HardwareAPI {

std::size_t PeriodHistogram::Bin(uint64_t ns) {
    if (ns < kExact) return static_cast<std::size_t>(ns);
    // ns has `width` significant bits; its top 7 pick the bin in its doubling.
    const int width = 64 - __builtin_clzll(ns);
    const int shift = width - 7;  // 1 for 128..255 ns
    if (shift > kDoublings) return kBins - 1;
    const auto top = static_cast<std::size_t>(ns >> shift);  // 64..127
    return kExact + static_cast<std::size_t>(shift - 1) * kPerDoubling + (top - kPerDoubling);
}

double PeriodHistogram::Middle(std::size_t bin) {
    if (bin < static_cast<std::size_t>(kExact)) return static_cast<double>(bin) * 1e-9;
    const std::size_t above = bin - kExact;
    const int shift = static_cast<int>(above / kPerDoubling) + 1;
    const double lowest = static_cast<double>((kPerDoubling + above % kPerDoubling) << shift);
    return (lowest + std::ldexp(0.5, shift)) * 1e-9;
}

void PeriodHistogram::Add(double seconds) {
    const double ns = std::max(0.0, seconds * 1e9);
    const std::size_t bin = ns >= 9.2e18 ? kBins - 1 : Bin(static_cast<uint64_t>(ns));
    // One writer: a load and a store, no read-modify-write.
    counts_[bin].store(counts_[bin].load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

void PeriodHistogram::Clear() {
    for (auto& count : counts_) count.store(0, std::memory_order_relaxed);
}

PeriodHistogram::Percentiles PeriodHistogram::Read() const {
    // One copy, so that both percentiles come from the same counts.
    std::array<uint32_t, kBins> counts;
    uint64_t total = 0;
    for (std::size_t i = 0; i < kBins; ++i) total += counts[i] = counts_[i].load(std::memory_order_relaxed);
    Percentiles result;
    if (total == 0) return result;
    const auto rank50 = static_cast<uint64_t>(std::ceil(0.50 * static_cast<double>(total)));
    const auto rank99 = static_cast<uint64_t>(std::ceil(0.99 * static_cast<double>(total)));
    uint64_t seen = 0;
    bool have50 = false;
    for (std::size_t i = 0; i < kBins; ++i) {
        seen += counts[i];
        if (!have50 && seen >= rank50) {
            result.p50 = Middle(i);
            have50 = true;
        }
        if (seen >= rank99) {
            result.p99 = Middle(i);
            break;
        }
    }
    return result;
}

}  // namespace Tessary::HardwareAPI
