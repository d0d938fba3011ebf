#include "core/binning.hpp"

#include <algorithm>
#include <cmath>

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
}

std::size_t IntervalIndex::find(double v) const {
    if (std::isnan(v)) return no_bin;
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
    const std::size_t k = static_cast<std::size_t>(base - bounds_.data()) + (n == 1 && *base < v);
    return first_[k] ? first_[k] - 1 : no_bin;
}

}  // namespace kelvane::core
