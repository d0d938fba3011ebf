// Interval search over the regular numeric bins of a binning.
//
// Bins are half-open intervals (lower, upper]: lower bound excluded, upper
// bound included. When intervals overlap, the earliest bin in list order wins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelvane::core {

inline constexpr std::size_t no_bin = static_cast<std::size_t>(-1);

struct Interval {
    double lower;
    double upper;
};

// The first interval, in list order, with lower < v <= upper; no_bin if none.
// A NaN bound never matches (every comparison with NaN is false).
std::size_t first_interval(const Interval *bins, std::size_t n, double v);

// Answers first_interval for many values over the same intervals in
// O(log n) each: the sorted bounds cut the line into segments, and every
// segment remembers the earliest interval that covers it.
class IntervalIndex {
public:
    IntervalIndex() = default;
    explicit IntervalIndex(const std::vector<Interval> &bins);
    std::size_t find(double v) const {   // equals first_interval(bins, n, v)
        return v != v ? no_bin : covering(segment(v));
    }
    // The segment of v: the number of bounds below it (0 for NaN). Values of
    // one segment fall in the same interval.
    std::size_t segment(double v) const;
    std::size_t segments() const { return first_.size(); }
    // The earliest interval covering segment k, or no_bin.
    std::size_t covering(std::size_t k) const { return first_[k] ? first_[k] - 1 : no_bin; }

private:
    static constexpr std::size_t kCounted = 32;   // up to this many bounds: counted, not searched
    std::vector<double> bounds_;        // sorted, distinct, no NaN
    std::vector<double> counted_;       // the same padded with +inf to a multiple of 8, when counted
    std::vector<std::uint32_t> first_;  // per segment: earliest interval + 1, or 0
};

}  // namespace kelvane::core
