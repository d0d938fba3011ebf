// Gradient-boosted tree ensembles evaluated as XGBoost's CPU predictor
// evaluates them: the compact native form of a forest, its builder (which
// validates every tree of a document and lays it out), the walk of one row
// and of blocks of rows, iteration ranges and the objectives' transforms.
//
// Arithmetic contract (what makes results bit-identical to XGBoost):
//   - features reach the walk as float32, NaN meaning missing;
//   - a numerical split sends `x < threshold` left, anything else right
//     (equality goes right); missing goes to the node's default child;
//   - a categorical split sends a code in the node's set right; a negative
//     code, one at or above 2^24, or one beyond the set's largest goes left;
//   - margins are float32, start from the base margin of their output and
//     add each tree's leaf (times its dart weight, when the forest has
//     weights) in tree order;
//   - transforms use the C library's expf/logf, with the softmax summed in
//     double. This file and forest.cpp must be compiled without fast-math
//     and without floating-point contraction (CMake sets -ffp-contract=off).
//
// Nothing here knows Python; errors in a document are reported by throwing
// `ModelError` with a message naming the place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane::core {

// A document that cannot be evaluated; the message says where and why.
struct ModelError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// How margins become results.
enum class Link : std::uint8_t { Identity, Logistic, Exp, Softmax, ArgMax };
// How the stored base score becomes the base margin (XGBoost's ProbToMargin).
enum class InterceptLink : std::uint8_t { Identity, Logit, Log };

struct Objective {
    Link link = Link::Identity;
    InterceptLink intercept = InterceptLink::Identity;
    bool multi_class = false;   // one output per class (multi:softprob, multi:softmax)
};

// The objectives this evaluator supports, by XGBoost's name; nothing for any
// other (ranking, survival, quantile, ...).
std::optional<Objective> objective_by_name(std::string_view name);

// The stored base score: a number ("5E-1") or a bracketed list ("[5E-1,2E-1]"),
// read as float32. Throws ModelError for anything else.
std::vector<float> parse_base_score(std::string_view text);

// One tree as a document gives it: node arrays of one length, indices as
// stored. Leaves carry their value in `split_condition` and -1 as children.
// `split_type` may be empty (every split numerical); categorical splits name
// their node in `categories_nodes` and their codes in
// categories[segment, segment + size).
struct TreeInput {
    std::span<const std::int64_t> left, right, split_index;
    std::span<const float> split_condition;
    std::span<const std::uint8_t> default_left;
    std::span<const std::uint8_t> split_type;
    std::span<const std::int64_t> categories, categories_nodes, categories_segments, categories_sizes;
    std::int64_t group = 0;   // the output the tree adds to (tree_info)
};

struct ForestHeader {
    std::size_t n_features = 0;
    std::size_t n_outputs = 1;          // classes of a multi-class model, else 1
    std::vector<float> base_score;      // one value, or one per output
    Objective objective;
    std::size_t trees_per_layer = 1;    // num_parallel_tree
};

class Forest {
public:
    // Rows in a block of the block walk (XGBoost's CPU predictor uses 64).
    static constexpr std::size_t kBlockRows = 64;

    std::size_t n_features() const { return n_features_; }
    std::size_t n_outputs() const { return base_margin_.size(); }
    std::size_t n_trees() const { return roots_.size(); }
    std::size_t n_rounds() const { return round_end_.size() - 1; }
    // Values a result has: the number of classes for multi:softprob, else 1.
    std::size_t result_size() const;
    const Objective &objective() const { return objective_; }

    // The number of trees in rounds [0, rounds); rounds <= n_rounds().
    std::size_t trees_of_rounds(std::size_t rounds) const { return round_end_[rounds]; }

    // Margins of one row (n_features() float32 values, NaN = missing) over
    // trees [0, tree_end): writes n_outputs() values.
    void margins(const float *row, std::size_t tree_end, float *out) const;

    // Margins of `n` rows, row-major (n × n_features()), over trees
    // [0, tree_end): writes n × n_outputs() values. Rows go through each tree
    // a block at a time; every row's sums are those margins() gives.
    void margins_block(const float *rows, std::size_t n, std::size_t tree_end, float *out) const;

    // Turns one row's margins (n_outputs() values, changed in place) into its
    // result (result_size() values written to `out`).
    void transform(float *margins, float *out) const;

    // Bytes held by the native form.
    std::size_t memory_bytes() const;

private:
    friend class ForestBuilder;

    // A node of the laid-out forest. Children of a split are adjacent:
    // `left` and `left + 1` (absolute indices, always after the node, so a
    // walk can only go forward and ends). A leaf is marked kLeaf, keeps its
    // value in `value` and points to itself, so that a walk of fixed length
    // (the tree's depth) stays on it; a categorical split keeps the index of
    // its category set in `value`'s place (`category`).
    struct Node {
        std::int32_t left;
        std::uint32_t feature;   // feature index | kDefaultLeft | kCategorical | kLeaf
        union {
            float value;
            std::uint32_t category;
        };
    };
    static constexpr std::uint32_t kDefaultLeft = 1u << 31;
    static constexpr std::uint32_t kCategorical = 1u << 30;
    static constexpr std::uint32_t kLeaf = 1u << 29;
    static constexpr std::uint32_t kFeatureMask = kLeaf - 1;

    struct CategorySet {
        std::uint32_t first_word;   // into category_bits_
        std::uint32_t n_words;
    };

    template <bool kHasCategories>
    std::uint32_t step(std::uint32_t node, const float *row) const;
    template <bool kHasCategories>
    void add_row(const float *row, std::size_t tree_end, float *out) const;
    template <bool kHasCategories>
    void add_block(std::size_t tree, const float *rows, std::size_t n, float *out) const;
    bool category_goes_left(std::uint32_t set, float code) const;

    std::size_t n_features_ = 0;
    Objective objective_;
    std::vector<Node> nodes_;
    std::vector<std::uint32_t> roots_;
    std::vector<std::uint32_t> depths_;       // levels below each root
    std::vector<std::uint32_t> groups_;
    std::vector<float> weights_;              // empty: every tree weighs 1
    std::vector<std::uint32_t> round_end_;    // trees before each round's end; [0] = 0
    std::vector<CategorySet> category_sets_;
    std::vector<std::uint32_t> category_bits_;
    std::vector<float> base_margin_;
};

// Builds a Forest tree by tree. Every method throws ModelError for a
// document that cannot be evaluated: a child index out of range, a node with
// one child, a node reached twice (a cycle or shared subtree), arrays of
// unequal length, a split on a feature beyond the feature list, categorical
// data that does not fit, an output group out of range, round boundaries or
// dart weights that do not match the trees.
class ForestBuilder {
public:
    explicit ForestBuilder(ForestHeader header);

    void reserve(std::size_t trees, std::size_t nodes);
    void add_tree(const TreeInput &tree);
    // The document's iteration_indptr (optional; made from the layer size
    // and the groups otherwise, as XGBoost does for older documents).
    void set_round_boundaries(std::span<const std::int64_t> indptr);
    // Dart's weight_drop, one weight per tree (optional).
    void set_weights(std::span<const float> weights);

    Forest finish();

private:
    ForestHeader header_;
    Forest forest_;
    std::vector<std::int64_t> indptr_;
    bool has_indptr_ = false;
    // Scratch of add_tree, kept to spare allocations.
    std::vector<std::int32_t> new_index_;
    std::vector<std::int32_t> order_;
    std::vector<std::uint32_t> depth_;
    std::vector<std::int32_t> set_of_node_;
};

// A linear model in double: intercept + Σ coefficient × feature, in feature
// order, with the logistic link for a logistic regression.
struct LinearModel {
    std::vector<double> coefficients;
    double intercept = 0.0;
    bool logistic = false;

    double linear_term(const double *features) const;
    double score(const double *features, bool output_margin) const;
};

}  // namespace kelvane::core
