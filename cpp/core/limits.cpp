#include "core/limits.hpp"

#include <algorithm>

namespace kelvane::core {

bool ByteBudget::take(std::uint64_t n) {
    used_ = saturating_add(used_, n);
    return used_ <= limit_;
}

std::uint64_t ByteBudget::request(std::uint64_t expected, std::uint64_t got) const {
    const std::uint64_t rest = expected > got ? expected - got : 0;
    return std::min(std::max(rest, chunk), saturating_add(remaining(), 1));
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return a > NodeCounts::infinite - b ? NodeCounts::infinite : a + b;
}

bool expansion_refused(const NodeCounts &counts) {
    if (counts.expanded <= expansion_floor) return false;
    const std::uint64_t bound = counts.own > NodeCounts::infinite / expansion_factor
                                    ? NodeCounts::infinite
                                    : counts.own * expansion_factor;
    return counts.expanded > bound;
}

}  // namespace kelvane::core
