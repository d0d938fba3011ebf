// Bounds on what a bundle may grow to while it is loaded: the bytes an
// archive inflates to (counted as they are produced, whatever the headers
// declare), and the nodes a YAML document expands to through its aliases.
#pragma once
#include <cstddef>
#include <cstdint>
#include <limits>
#include <unordered_map>
#include <vector>

namespace kelvane::core {

// ------------------------------------------------------------ archive bytes

// The bytes one archive load may take out of its members, all members
// together. Reads are asked for in requests no larger than what remains plus
// one byte, so that no single read can hold more than the limit.
class ByteBudget {
public:
    // The limit when the caller sets none: 1 GiB.
    static constexpr std::uint64_t default_limit = std::uint64_t{1} << 30;
    // The smallest request once the expected size is read (to find the end).
    static constexpr std::uint64_t chunk = std::uint64_t{1} << 20;

    explicit ByteBudget(std::uint64_t limit) : limit_(limit) {}
    std::uint64_t limit() const { return limit_; }
    std::uint64_t used() const { return used_; }
    std::uint64_t remaining() const { return used_ < limit_ ? limit_ - used_ : 0; }

    // A member whose header already declares more than what remains would
    // pass the limit if the header is true, and is broken if it is not:
    // refused before it is read.
    bool admits(std::uint64_t declared) const { return declared <= remaining(); }
    // Counts `n` bytes produced; false once the total passes the limit.
    bool take(std::uint64_t n);
    // Size of the next read of a member expected to hold `expected` bytes of
    // which `got` are read: the rest in one request, at least `chunk`, and
    // never more than remaining() + 1.
    std::uint64_t request(std::uint64_t expected, std::uint64_t got) const;

private:
    std::uint64_t limit_;
    std::uint64_t used_ = 0;
};

// ------------------------------------------------------------ document nodes

// Node counts of a loaded document. `own`: the nodes its text holds (every
// container and scalar once, and one node per alias). `expanded`: the nodes
// of the same data walked as a tree, a shared node counted once per
// reference; it saturates at `infinite` (also for data that holds itself).
struct NodeCounts {
    static constexpr std::uint64_t infinite = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t own = 0;
    std::uint64_t expanded = 0;
};

// A document expanding to more than 100 times its own nodes is refused when
// the expansion is over 100,000 nodes (small documents may alias freely).
constexpr std::uint64_t expansion_factor = 100;
constexpr std::uint64_t expansion_floor = 100000;
bool expansion_refused(const NodeCounts &counts);

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b);

// Counts the nodes of a graph of containers reached from `root`. For a
// container, `children(node, containers)` appends its container children to
// `containers` (in any order) and returns how many scalar children it has
// (mapping keys included). Memoised per container, so the walk is linear in
// the document's own size, however far its aliases expand it; iterative, so
// deep nesting needs no stack.
template <class Children>
NodeCounts count_nodes(const void *root, Children children) {
    constexpr std::uint64_t on_path = NodeCounts::infinite;   // reached again while open: a cycle
    struct Frame {
        const void *node;
        std::vector<const void *> kids;
        std::size_t next = 0;
        std::uint64_t total = 0;
    };
    NodeCounts counts;
    std::unordered_map<const void *, std::uint64_t> size;
    std::vector<Frame> path;
    auto enter = [&](const void *node) {
        Frame f{node, {}, 0, 0};
        const std::uint64_t scalars = children(node, f.kids);
        f.total = 1 + scalars;
        counts.own += 1 + scalars;
        size.emplace(node, on_path);
        path.push_back(std::move(f));
    };
    enter(root);
    while (!path.empty()) {
        Frame &top = path.back();
        if (top.next < top.kids.size()) {
            const void *kid = top.kids[top.next++];
            const auto known = size.find(kid);
            if (known == size.end()) {
                enter(kid);   // first reference: the node itself
            } else {
                counts.own += 1;   // any other reference: an alias
                top.total = saturating_add(top.total, known->second);
            }
            continue;
        }
        const std::uint64_t total = top.total;
        size[top.node] = total;
        path.pop_back();
        if (path.empty())
            counts.expanded = total;
        else
            path.back().total = saturating_add(path.back().total, total);
    }
    return counts;
}

}  // namespace kelvane::core
