// Bin lookups: the first interval holding a value, by scan or by a sorted index.
#include "core/binning.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kelvane::core {

std::size_t first_interval(const Interval *bins, std::size_t n, double v) {
    for (std::size_t i = 0; i < n; ++i)
        if (bins[i].lower < v && v <= bins[i].upper) return i;
    return no_bin;
}

// Segment k (0 <= k <= m, with m distinct bounds b) holds the values v with
// b[k-1] < v <= b[k], taking b[-1] = -inf and b[m] = +inf; k is the position
// of the first bound >= v. Interval (b[i], b[j]] covers exactly segments i+1..j.
IntervalIndex::IntervalIndex(const std::vector<Interval> &bins) {
    for (const Interval &b : bins) {
        if (std::isnan(b.lower) || std::isnan(b.upper)) continue;
        bounds_.push_back(b.lower);
        bounds_.push_back(b.upper);
    }
    std::sort(bounds_.begin(), bounds_.end());
    bounds_.erase(std::unique(bounds_.begin(), bounds_.end()), bounds_.end());
    first_.assign(bounds_.size() + 1, 0);
    // Later intervals first, so that earlier ones overwrite them.
    for (std::size_t n = bins.size(); n-- > 0;) {
        const Interval &b = bins[n];
        if (std::isnan(b.lower) || std::isnan(b.upper) || !(b.lower < b.upper)) continue;
        std::size_t i = std::lower_bound(bounds_.begin(), bounds_.end(), b.lower) - bounds_.begin();
        std::size_t j = std::lower_bound(bounds_.begin(), bounds_.end(), b.upper) - bounds_.begin();
        for (std::size_t k = i + 1; k <= j; ++k) first_[k] = static_cast<std::uint32_t>(n + 1);
    }
    if (bounds_.size() <= kCounted) {
        counted_ = bounds_;
        counted_.resize((bounds_.size() + 7) / 8 * 8, INFINITY);
    }
}

std::size_t IntervalIndex::segment(double v) const {
    if (!counted_.empty()) {
        // Few bounds: the position of the first bound >= v is the number of
        // bounds below v, counted two at a time in vector registers (a true
        // comparison is -1). The comparisons do not depend on one another and
        // nothing branches on v; the padding (+inf) is never below v.
#if defined(__GNUC__) && !defined(KELVANE_PORTABLE_FALLBACKS)   // GCC and Clang: their vector extensions
        using Pair = double __attribute__((vector_size(16)));
        using Mask = long long __attribute__((vector_size(16)));
        const Pair value = {v, v};
        Mask below = {0, 0};
        const double *b = counted_.data();
        for (std::size_t i = 0; i < counted_.size(); i += 8) {
            Pair p0, p1, p2, p3;
            std::memcpy(&p0, b + i, sizeof p0);
            std::memcpy(&p1, b + i + 2, sizeof p1);
            std::memcpy(&p2, b + i + 4, sizeof p2);
            std::memcpy(&p3, b + i + 6, sizeof p3);
            below += (p0 < value) + (p1 < value) + (p2 < value) + (p3 < value);
        }
        return static_cast<std::size_t>(-(below[0] + below[1]));
#else   // other compilers: the same count, left to their vectoriser
        std::size_t k = 0;
        for (const double bound : counted_) k += static_cast<std::size_t>(bound < v);
        return k;
#endif
    }
    // The position of the first bound >= v (std::lower_bound), halving the
    // range with a conditional move instead of a branch: the values of a
    // batch land anywhere, and mispredicted branches would dominate.
    const double *base = bounds_.data();
    std::size_t n = bounds_.size();
    while (n > 1) {
        const std::size_t half = n / 2;
        base += static_cast<std::size_t>(base[half - 1] < v) * half;
        n -= half;
    }
    return static_cast<std::size_t>(base - bounds_.data()) + (n == 1 && *base < v);
}

}  // namespace kelvane::core
