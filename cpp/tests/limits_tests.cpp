// Unit tests of the loading bounds: archive byte budgets and document node
// counts (run by CTest).
#include <cstdint>
#include <vector>

#include "tests/expect.hpp"
#include "core/limits.hpp"

using namespace kelvane::core;

static void byte_budget() {
    ByteBudget b(10);
    EXPECT(b.admits(10) && !b.admits(11));
    EXPECT(b.request(4, 0) == 11);          // at least a chunk, capped at remaining + 1
    EXPECT(b.take(4) && b.remaining() == 6 && !b.admits(7));
    EXPECT(b.take(6) && b.remaining() == 0 && b.request(0, 0) == 1);
    EXPECT(!b.take(1) && b.used() == 11);
    ByteBudget big(ByteBudget::default_limit);
    EXPECT(big.request(5, 0) == ByteBudget::chunk);
    EXPECT(big.request(3 * ByteBudget::chunk, ByteBudget::chunk) == 2 * ByteBudget::chunk);
    ByteBudget huge(UINT64_MAX);
    EXPECT(huge.take(UINT64_MAX) && huge.take(1) && huge.request(0, 0) == 1);   // saturates: no limit
}

// A graph of containers: node i holds `scalars[i]` scalars and the containers `kids[i]`.
struct Graph {
    std::vector<std::uint64_t> scalars;
    std::vector<std::vector<int>> kids;
    NodeCounts count() const {
        return count_nodes(&kids[0], [&](const void *node, std::vector<const void *> &out) {
            const auto i = static_cast<std::size_t>(static_cast<const std::vector<int> *>(node) - kids.data());
            for (int k : kids[i]) out.push_back(&kids[static_cast<std::size_t>(k)]);
            return scalars[i];
        });
    }
};

static void node_counts() {
    // A tree: both counts are the nodes.
    const Graph tree{{2, 1, 0}, {{1, 2}, {}, {}}};
    EXPECT(tree.count().own == 6 && tree.count().expanded == 6);
    // Billion laughs: level i holds ten references to level i + 1, the last ten scalars.
    Graph laughs;
    for (int level = 0; level < 9; ++level) {
        laughs.scalars.push_back(0);
        laughs.kids.push_back(std::vector<int>(10, level + 1));
    }
    laughs.scalars.push_back(10);
    laughs.kids.push_back({});
    const NodeCounts c = laughs.count();
    EXPECT(c.own == 9 * 10 + 1 + 10);
    EXPECT(c.expanded == 11111111111ull);   // 1 + 10 + ... + 10^9 containers and 10^10 scalars
    EXPECT(expansion_refused(c));
    // A cycle expands without end.
    const Graph cycle{{0, 1}, {{1}, {0}}};
    EXPECT(cycle.count().expanded == NodeCounts::infinite && expansion_refused(cycle.count()));
    // The rule: more than 100 times the own nodes and more than 100,000.
    EXPECT(!expansion_refused({1000, 100000}));
    EXPECT(expansion_refused({1000, 100001}));
    EXPECT(!expansion_refused({2000, 200000}));
    EXPECT(expansion_refused({2000, 200001}));
    EXPECT(!expansion_refused({10, 100000}));
    EXPECT(!expansion_refused({UINT64_MAX / 2, UINT64_MAX - 1}));
}

static void deep_nesting() {
    Graph chain;
    for (int i = 0; i < 200000; ++i) {
        chain.scalars.push_back(0);
        chain.kids.push_back({i + 1});
    }
    chain.scalars.push_back(1);
    chain.kids.push_back({});
    EXPECT(chain.count().expanded == 200002 && chain.count().own == 200002);
}

int main() {
    byte_budget();
    node_counts();
    deep_nesting();
    return finish();
}
