// Unit tests of the forest evaluator: split semantics, corrupt trees,
// base scores, and the block walk against the row walk on random forests.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/forest.hpp"
#include "tests/expect.hpp"

using namespace kelvane::core;

namespace {

// A tree held as vectors, handed to the builder as spans.
struct Tree {
    std::vector<std::int64_t> left, right, index;
    std::vector<float> cond;
    std::vector<std::uint8_t> dleft, type;
    std::vector<std::int64_t> cats, cat_nodes, cat_segments, cat_sizes;
    std::int64_t group = 0;

    TreeInput input() const {
        return {left, right, index, cond, dleft, type, cats, cat_nodes, cat_segments, cat_sizes, group};
    }
};

// Node 0 splits feature 0 at 0.5 (missing left); node 1 (left) is a
// categorical split on feature 1 with the set {1, 3}; leaves 2..4.
Tree sample_tree() {
    Tree t;
    t.left = {1, 3, -1, -1, -1};
    t.right = {2, 4, -1, -1, -1};
    t.index = {0, 1, 0, 0, 0};
    t.cond = {0.5f, 0.0f, 10.0f, 20.0f, 30.0f};
    t.dleft = {1, 0, 0, 0, 0};
    t.type = {0, 1, 0, 0, 0};
    t.cats = {1, 3};
    t.cat_nodes = {1};
    t.cat_segments = {0};
    t.cat_sizes = {2};
    return t;
}

Forest build(const std::vector<Tree> &trees, const char *objective = "reg:squarederror", std::size_t outputs = 1,
             std::vector<float> base = {0.0f}) {
    ForestHeader h;
    h.n_features = 2;
    h.n_outputs = outputs;
    h.base_score = std::move(base);
    h.objective = *objective_by_name(objective);
    ForestBuilder b(h);
    for (const Tree &t : trees) b.add_tree(t.input());
    return b.finish();
}

float score_of(const Forest &f, float x0, float x1) {
    const float row[2] = {x0, x1};
    float m[1], out[1];
    f.margins(row, f.n_trees(), m);
    f.transform(m, out);
    return out[0];
}

void split_semantics() {
    const Forest f = build({sample_tree()});
    const float nan = NAN;
    struct Case { float x0, x1, expected; };
    const Case cases[] = {
        {0.5f, 0, 10},                        // equality goes right
        {std::nextafter(0.5f, 0.0f), 1, 30},  // just below: left, code 1 in the set: right
        {0.0f, 3, 30}, {0.0f, 3.7f, 30},      // codes truncate
        {0.0f, 2, 20}, {0.0f, 0, 20},         // not in the set: left
        {0.0f, -0.5f, 20}, {0.0f, 99, 20},    // negative, beyond the set
        {0.0f, 16777216.0f, 20},              // 2^24 and above: left
        {nan, 1, 30},                         // missing: default left
        {0.0f, nan, 30},                      // missing categorical: default right
        {INFINITY, 0, 10}, {-INFINITY, 0, 20},
    };
    for (const Case &c : cases) EXPECT(score_of(f, c.x0, c.x1) == c.expected);
}

void corrupt_trees() {
    const std::vector<std::function<void(Tree &)>> damages = {
        [](Tree &t) { t.left[0] = 7; },                         // child out of range
        [](Tree &t) { t.right[1] = -1; },                       // one child
        [](Tree &t) { t.left[1] = 0; },                         // cycle to the root
        [](Tree &t) { t.left[1] = 2; },                         // shared node
        [](Tree &t) { t.cond.pop_back(); },                     // unequal arrays
        [](Tree &t) { t.index[0] = 2; },                        // feature beyond the list
        [](Tree &t) { t.cat_nodes = {}; t.cat_segments = {}; t.cat_sizes = {}; },   // no category set
        [](Tree &t) { t.cat_sizes = {3}; },                     // set beyond the categories
        [](Tree &t) { t.cats = {1, -3}; },                      // negative code
        [](Tree &t) { t.type[0] = 2; },                         // unknown split type
        [](Tree &t) { t.dleft[0] = 5; },
        [](Tree &t) { t.group = 1; },                           // group beyond the outputs
        [](Tree &t) { t.left.clear(); t.right.clear(); t.index.clear(); t.cond.clear(); t.dleft.clear(); t.type.clear(); },
    };
    for (std::size_t i = 0; i < damages.size(); ++i) {
        Tree t = sample_tree();
        damages[i](t);
        bool thrown = false;
        try {
            build({t});
        } catch (const ModelError &) {
            thrown = true;
        }
        if (!thrown) std::fprintf(stderr, "damage %zu was accepted\n", i);
        EXPECT(thrown);
    }
}

void base_scores_and_rounds() {
    EXPECT(parse_base_score("5E-1") == std::vector<float>{0.5f});
    EXPECT((parse_base_score("[1E-1,2.5E-1]") == std::vector<float>{0.1f, 0.25f}));
    for (const char *bad : {"", "[]", "abc", "1,2", "[1,]", "nan", "[1 2]"}) {
        bool thrown = false;
        try {
            parse_base_score(bad);
        } catch (const ModelError &) {
            thrown = true;
        }
        EXPECT(thrown);
    }
    // base 0.5 under the logistic link is margin 0; one leaf of 0 gives 0.5.
    Tree leaf;
    leaf.left = {-1}; leaf.right = {-1}; leaf.index = {0}; leaf.cond = {0.0f}; leaf.dleft = {0};
    const Forest f = build({leaf, leaf, leaf}, "binary:logistic", 1, {0.5f});
    EXPECT(f.n_rounds() == 3 && f.trees_of_rounds(2) == 2);
    EXPECT(score_of(f, 0, 0) == 0.5f);
    EXPECT(!objective_by_name("rank:pairwise"));
}

// Random complete trees of depth 1..6 over 5 features, some categorical.
void block_walk_matches_rows() {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    ForestHeader h;
    h.n_features = 5;
    h.n_outputs = 3;
    h.base_score = {0.1f, 0.2f, 0.3f};
    h.objective = *objective_by_name("multi:softprob");
    ForestBuilder b(h);
    std::vector<float> weights;
    for (int tree = 0; tree < 60; ++tree) {
        Tree t;
        const int depth = 1 + tree % 6, inner = (1 << depth) - 1, total = (1 << (depth + 1)) - 1;
        for (int i = 0; i < total; ++i) {
            const bool split = i < inner;
            t.left.push_back(split ? 2 * i + 1 : -1);
            t.right.push_back(split ? 2 * i + 2 : -1);
            const int feature = static_cast<int>(rng() % 5);
            t.index.push_back(feature);
            t.cond.push_back(unit(rng));
            t.dleft.push_back(static_cast<std::uint8_t>(rng() % 2));
            const bool categorical = split && feature == 4;
            t.type.push_back(categorical ? 1 : 0);
            if (categorical) {
                t.cat_nodes.push_back(i);
                t.cat_segments.push_back(static_cast<std::int64_t>(t.cats.size()));
                t.cat_sizes.push_back(2);
                t.cats.push_back(rng() % 4);
                t.cats.push_back(4 + rng() % 4);
            }
        }
        t.group = tree % 3;
        b.add_tree(t.input());
        weights.push_back(0.5f + unit(rng) / 4);
    }
    b.set_weights(weights);
    const Forest f = b.finish();
    const std::size_t n = 200;
    std::vector<float> rows(n * 5);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        rows[i] = i % 5 == 4 ? static_cast<float>(rng() % 9) : unit(rng);
        if (rng() % 10 == 0) rows[i] = NAN;
    }
    std::vector<float> block(n * 3), one(3);
    for (std::size_t rounds : {std::size_t{0}, std::size_t{7}, f.n_rounds()}) {
        f.margins_block(rows.data(), n, f.trees_of_rounds(rounds), block.data());
        for (std::size_t r = 0; r < n; ++r) {
            f.margins(rows.data() + r * 5, f.trees_of_rounds(rounds), one.data());
            for (int g = 0; g < 3; ++g) EXPECT(std::memcmp(&one[g], &block[r * 3 + g], sizeof(float)) == 0);
        }
    }
    float out[3];
    f.transform(one.data(), out);
    EXPECT(std::fabs(out[0] + out[1] + out[2] - 1.0f) < 1e-5f);
}

void linear() {
    LinearModel m{{0.5, -2.0}, 1.0, true};
    const double x[2] = {2.0, 1.0};
    EXPECT(m.linear_term(x) == 0.0);
    EXPECT(m.score(x, false) == 0.5);
    EXPECT(m.score(x, true) == 0.0);
}

}  // namespace

int main() {
    split_semantics();
    corrupt_trees();
    base_scores_and_rounds();
    block_walk_matches_rows();
    linear();
    return finish();
}
