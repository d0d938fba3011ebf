// The forest evaluator: objectives, base margins, validation and layout of
// trees, the walk, iteration ranges and transforms. See forest.hpp for the
// arithmetic contract; this file is compiled with -ffp-contract=off.
#include "core/forest.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace kelvane::core {

namespace {

// Codes a categorical split can hold: XGBoost's largest float-exact category.
constexpr std::int64_t kCategoryLimit = 16777216;   // 2^24
constexpr float kRtEps = 1e-6f;                      // XGBoost's kRtEps

struct NamedObjective {
    std::string_view name;
    Objective objective;
};

constexpr NamedObjective kObjectives[] = {
    {"binary:logistic", {Link::Logistic, InterceptLink::Logit, false}},
    {"reg:logistic", {Link::Logistic, InterceptLink::Logit, false}},
    {"binary:logitraw", {Link::Identity, InterceptLink::Identity, false}},
    {"reg:squarederror", {Link::Identity, InterceptLink::Identity, false}},
    {"reg:linear", {Link::Identity, InterceptLink::Identity, false}},
    {"reg:squaredlogerror", {Link::Identity, InterceptLink::Identity, false}},
    {"reg:pseudohubererror", {Link::Identity, InterceptLink::Identity, false}},
    {"reg:absoluteerror", {Link::Identity, InterceptLink::Identity, false}},
    {"multi:softprob", {Link::Softmax, InterceptLink::Identity, true}},
    {"multi:softmax", {Link::ArgMax, InterceptLink::Identity, true}},
    {"count:poisson", {Link::Exp, InterceptLink::Log, false}},
    {"reg:tweedie", {Link::Exp, InterceptLink::Log, false}},
    {"reg:gamma", {Link::Exp, InterceptLink::Log, false}},
};

// XGBoost's common::Sigmoid(float), operation for operation.
float sigmoid(float x) {
    constexpr float kEps = 1e-16;
    x = std::min(-x, 88.7f);
    const float denom = expf(x) + 1.0f + kEps;
    return 1.0f / denom;
}

// XGBoost's common::Softmax: float exponentials, summed in double.
void softmax(float *values, std::size_t n) {
    float wmax = values[0];
    for (std::size_t i = 1; i < n; ++i) wmax = fmaxf(values[i], wmax);
    double wsum = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        values[i] = expf(values[i] - wmax);
        wsum += values[i];
    }
    for (std::size_t i = 0; i < n; ++i) values[i] /= static_cast<float>(wsum);
}

float base_margin_of(float score, InterceptLink link) {
    switch (link) {
    case InterceptLink::Identity:
        return score;
    case InterceptLink::Logit: {
        if (!(score >= 0.0f && score <= 1.0f))
            throw ModelError("base_score must be in [0, 1] for the logistic link, got " + std::to_string(score));
        const float bounded = std::min(std::max(score, kRtEps), 1.0f - kRtEps);
        return -logf(1.0f / bounded - 1.0f);
    }
    case InterceptLink::Log:
        return logf(score);
    }
    return score;
}

}  // namespace

std::optional<Objective> objective_by_name(std::string_view name) {
    for (const NamedObjective &o : kObjectives)
        if (o.name == name) return o.objective;
    return std::nullopt;
}

std::vector<float> parse_base_score(std::string_view text) {
    std::string body(text);
    const auto bad = [&] { return ModelError("base_score is not a number or a list of numbers: '" + body + "'"); };
    std::size_t begin = 0, end = body.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(body[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(body[end - 1]))) --end;
    const bool bracketed = end - begin >= 2 && body[begin] == '[' && body[end - 1] == ']';
    if (bracketed) ++begin, --end;
    std::vector<float> values;
    std::size_t i = begin;
    bool after_comma = false;
    while (true) {
        while (i < end && std::isspace(static_cast<unsigned char>(body[i]))) ++i;
        if (i >= end) {
            if (after_comma) throw bad();
            break;
        }
        const std::string item = body.substr(i, std::min(body.find(',', i), end) - i);
        char *stop = nullptr;
        const float v = std::strtof(item.c_str(), &stop);
        std::size_t used = static_cast<std::size_t>(stop - item.c_str());
        while (used < item.size() && std::isspace(static_cast<unsigned char>(item[used]))) ++used;
        if (item.empty() || used != item.size() || !std::isfinite(v)) throw bad();
        values.push_back(v);
        i += item.size();
        after_comma = i < end;
        if (after_comma) {
            ++i;   // the comma
            if (!bracketed) throw bad();
        }
    }
    if (values.empty()) throw bad();
    return values;
}

// ---------------------------------------------------------------- building

ForestBuilder::ForestBuilder(ForestHeader header) : header_(std::move(header)) {
    const Objective &o = header_.objective;
    if (header_.n_outputs == 0) header_.n_outputs = 1;
    if (!o.multi_class && header_.n_outputs != 1)
        throw ModelError("models with several outputs are supported for multi-class objectives only");
    if (header_.n_features >= Forest::kFeatureMask)
        throw ModelError("too many features: " + std::to_string(header_.n_features));
    if (header_.trees_per_layer == 0) throw ModelError("num_parallel_tree must be at least 1");
    const std::vector<float> &score = header_.base_score;
    if (score.size() != 1 && score.size() != header_.n_outputs)
        throw ModelError("base_score has " + std::to_string(score.size()) + " values for " +
                         std::to_string(header_.n_outputs) + " outputs");
    forest_.n_features_ = header_.n_features;
    forest_.objective_ = o;
    forest_.base_margin_.resize(header_.n_outputs);
    for (std::size_t g = 0; g < header_.n_outputs; ++g)
        forest_.base_margin_[g] = base_margin_of(score[score.size() == 1 ? 0 : g], o.intercept);
}

void ForestBuilder::reserve(std::size_t trees, std::size_t nodes) {
    forest_.roots_.reserve(trees);
    forest_.depths_.reserve(trees);
    forest_.groups_.reserve(trees);
    forest_.nodes_.reserve(nodes);
}

void ForestBuilder::add_tree(const TreeInput &t) {
    const std::size_t tree = forest_.roots_.size();
    const std::size_t n = t.left.size();
    const auto fail = [&](const std::string &why) { return ModelError("tree " + std::to_string(tree) + ": " + why); };
    if (n == 0) throw fail("it has no nodes");
    if (t.right.size() != n || t.split_index.size() != n || t.split_condition.size() != n ||
        t.default_left.size() != n || (!t.split_type.empty() && t.split_type.size() != n))
        throw fail("its node arrays differ in length");
    if (n > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) ||
        forest_.nodes_.size() + n > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        throw fail("too many nodes");
    if (t.group < 0 || static_cast<std::size_t>(t.group) >= header_.n_outputs)
        throw fail("its output group " + std::to_string(t.group) + " is out of range");

    // Category sets of this tree's categorical splits, by node.
    set_of_node_.assign(n, -1);
    const std::size_t n_sets = t.categories_nodes.size();
    if (t.categories_segments.size() != n_sets || t.categories_sizes.size() != n_sets)
        throw fail("its categorical split arrays differ in length");
    for (std::size_t j = 0; j < n_sets; ++j) {
        const std::int64_t node = t.categories_nodes[j];
        if (node < 0 || static_cast<std::size_t>(node) >= n) throw fail("categorical split names node " + std::to_string(node) + ", which does not exist");
        if (set_of_node_[node] >= 0) throw fail("node " + std::to_string(node) + " has two category sets");
        if (t.split_type.empty() || t.split_type[node] != 1) throw fail("node " + std::to_string(node) + " has a category set but is not a categorical split");
        const std::int64_t begin = t.categories_segments[j], size = t.categories_sizes[j];
        if (begin < 0 || size <= 0 || static_cast<std::uint64_t>(begin) > t.categories.size() ||
            static_cast<std::uint64_t>(size) > t.categories.size() - static_cast<std::uint64_t>(begin))
            throw fail("the category set of node " + std::to_string(node) + " lies outside the categories");
        std::int64_t largest = 0;
        for (std::int64_t k = begin; k < begin + size; ++k) {
            const std::int64_t code = t.categories[k];
            if (code < 0 || code >= kCategoryLimit) throw fail("node " + std::to_string(node) + " holds the category " + std::to_string(code) + ", which is out of range");
            largest = std::max(largest, code);
        }
        const std::size_t words = static_cast<std::size_t>(largest) / 32 + 1;
        const std::size_t first = forest_.category_bits_.size();
        forest_.category_bits_.resize(first + words, 0);
        for (std::int64_t k = begin; k < begin + size; ++k) {
            const auto code = static_cast<std::uint32_t>(t.categories[k]);
            forest_.category_bits_[first + code / 32] |= 1u << (code % 32);
        }
        set_of_node_[node] = static_cast<std::int32_t>(forest_.category_sets_.size());
        forest_.category_sets_.push_back({static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(words)});
    }

    // Breadth-first from the root: each reachable node gets a new index, the
    // two children of a split adjacent and after their parent. A node reached
    // twice means a cycle or a shared subtree; nodes never reached (deleted
    // nodes) are left out.
    new_index_.assign(n, -1);
    order_.clear();
    order_.push_back(0);
    new_index_[0] = 0;
    depth_.assign(1, 0);
    std::uint32_t depth = 0;
    for (std::size_t k = 0; k < order_.size(); ++k) {
        const std::int32_t old = order_[k];
        const std::int64_t l = t.left[old], r = t.right[old];
        if (l == -1 && r == -1) continue;
        if (l == -1 || r == -1) throw fail("node " + std::to_string(old) + " has one child");
        for (std::int64_t c : {l, r})
            if (c < 0 || static_cast<std::size_t>(c) >= n)
                throw fail("node " + std::to_string(old) + " has the child " + std::to_string(c) + ", which does not exist");
        if (l == r || new_index_[l] >= 0 || new_index_[r] >= 0)
            throw fail("node " + std::to_string(new_index_[l] >= 0 || l == r ? l : r) + " is reached twice (a cycle or a shared subtree)");
        new_index_[l] = static_cast<std::int32_t>(order_.size());
        order_.push_back(static_cast<std::int32_t>(l));
        new_index_[r] = static_cast<std::int32_t>(order_.size());
        order_.push_back(static_cast<std::int32_t>(r));
        depth = std::max(depth, depth_[k] + 1);
        depth_.push_back(depth_[k] + 1);
        depth_.push_back(depth_[k] + 1);
    }

    const auto base = static_cast<std::int32_t>(forest_.nodes_.size());
    for (std::size_t k = 0; k < order_.size(); ++k) {
        const std::int32_t old = order_[k];
        Forest::Node node{};
        if (t.left[old] == -1) {
            node.left = base + static_cast<std::int32_t>(k);
            node.feature = Forest::kLeaf;
            node.value = t.split_condition[old];
        } else {
            const std::int64_t feature = t.split_index[old];
            if (feature < 0 || static_cast<std::size_t>(feature) >= header_.n_features)
                throw fail("node " + std::to_string(old) + " splits on feature " + std::to_string(feature) + " of " +
                           std::to_string(header_.n_features));
            const std::uint8_t dl = t.default_left[old];
            if (dl > 1) throw fail("node " + std::to_string(old) + " has a default_left that is neither 0 nor 1");
            node.left = base + new_index_[t.left[old]];
            node.feature = static_cast<std::uint32_t>(feature) | (dl ? Forest::kDefaultLeft : 0u);
            const std::uint8_t type = t.split_type.empty() ? 0 : t.split_type[old];
            if (type == 1) {
                if (set_of_node_[old] < 0) throw fail("categorical node " + std::to_string(old) + " has no category set");
                node.feature |= Forest::kCategorical;
                node.category = static_cast<std::uint32_t>(set_of_node_[old]);
            } else if (type == 0) {
                node.value = t.split_condition[old];
            } else {
                throw fail("node " + std::to_string(old) + " has the split type " + std::to_string(type));
            }
        }
        forest_.nodes_.push_back(node);
    }
    // The right child must directly follow the left one in the new order.
    forest_.roots_.push_back(static_cast<std::uint32_t>(base));
    forest_.depths_.push_back(depth);
    forest_.groups_.push_back(static_cast<std::uint32_t>(t.group));
}

void ForestBuilder::set_round_boundaries(std::span<const std::int64_t> indptr) {
    indptr_.assign(indptr.begin(), indptr.end());
    has_indptr_ = true;
}

void ForestBuilder::set_weights(std::span<const float> weights) { forest_.weights_.assign(weights.begin(), weights.end()); }

Forest ForestBuilder::finish() {
    const std::size_t n_trees = forest_.roots_.size();
    if (!forest_.weights_.empty() && forest_.weights_.size() != n_trees)
        throw ModelError("weight_drop has " + std::to_string(forest_.weights_.size()) + " weights for " +
                         std::to_string(n_trees) + " trees");
    std::vector<std::uint32_t> &ends = forest_.round_end_;
    ends.clear();
    if (has_indptr_) {
        if (indptr_.empty() || indptr_.front() != 0 || static_cast<std::size_t>(indptr_.back()) != n_trees)
            throw ModelError("iteration_indptr does not run from 0 to the number of trees (" + std::to_string(n_trees) + ")");
        for (std::size_t i = 0; i < indptr_.size(); ++i) {
            if (i > 0 && indptr_[i] < indptr_[i - 1]) throw ModelError("iteration_indptr decreases at " + std::to_string(i));
            ends.push_back(static_cast<std::uint32_t>(indptr_[i]));
        }
    } else {
        // As XGBoost rebuilds it for documents without one: rounds of
        // num_parallel_tree × (largest group + 1) trees.
        ends.push_back(0);
        if (n_trees > 0) {
            const std::size_t groups = *std::max_element(forest_.groups_.begin(), forest_.groups_.end()) + 1;
            const std::size_t layer = header_.trees_per_layer * groups;
            if (n_trees % layer != 0)
                throw ModelError(std::to_string(n_trees) + " trees do not make whole rounds of " + std::to_string(layer));
            for (std::size_t e = layer; e <= n_trees; e += layer) ends.push_back(static_cast<std::uint32_t>(e));
        }
    }
    forest_.nodes_.shrink_to_fit();
    return std::move(forest_);
}

// ---------------------------------------------------------------- walking

std::size_t Forest::result_size() const { return objective_.link == Link::ArgMax ? 1 : n_outputs(); }

inline bool Forest::category_goes_left(std::uint32_t set, float code) const {
    // XGBoost's common::Decision: invalid or unseen codes go left.
    if (code < 0 || code >= static_cast<float>(kCategoryLimit)) return true;
    const auto c = static_cast<std::uint32_t>(static_cast<std::int32_t>(code));
    const CategorySet &s = category_sets_[set];
    if (c / 32 >= s.n_words) return true;
    return !((category_bits_[s.first_word + c / 32] >> (c % 32)) & 1u);
}

// One step of a walk from `node`: the child the row goes to, or the node
// itself for a leaf. Numerical splits are branch-free.
template <bool kHasCategories>
inline std::uint32_t Forest::step(std::uint32_t node, const float *row) const {
    const Node &n = nodes_[node];
    const std::uint32_t flags = n.feature;
    const float x = row[flags & kFeatureMask];
    const bool missing = std::isnan(x);
    std::uint32_t right;
    if (kHasCategories && (flags & kCategorical) && !missing) {
        right = category_goes_left(n.category, x) ? 0 : 1;
    } else {
        // Missing goes to the default child; otherwise x < threshold goes
        // left (false for a NaN threshold: right).
        const bool left = (x < n.value) | (missing & ((flags & kDefaultLeft) != 0));
        right = static_cast<std::uint32_t>(!left);
    }
    return static_cast<std::uint32_t>(n.left) + (right & ((flags & kLeaf) ? 0u : 1u));
}

// Adds tree `tree`'s leaves of rows [0, n) to their margins. Rows walk the
// tree's depth in steps, eight at a time side by side, so that their
// independent loads overlap; a row on a leaf stays there.
template <bool kHasCategories>
void Forest::add_block(std::size_t tree, const float *rows, std::size_t n, float *out) const {
    constexpr std::size_t kLanes = 8;
    const std::size_t width = n_features_, groups = n_outputs();
    const std::uint32_t root = roots_[tree], depth = depths_[tree], group = groups_[tree];
    const bool weighted = !weights_.empty();
    const float weight = weighted ? weights_[tree] : 1.0f;
    for (std::size_t first = 0; first < n; first += kLanes) {
        const std::size_t lanes = std::min(kLanes, n - first);
        std::uint32_t at[kLanes];
        for (std::size_t k = 0; k < kLanes; ++k) at[k] = root;
        if (lanes == kLanes) {
            for (std::uint32_t d = 0; d < depth; ++d)
                for (std::size_t k = 0; k < kLanes; ++k) at[k] = step<kHasCategories>(at[k], rows + (first + k) * width);
        } else {
            for (std::uint32_t d = 0; d < depth; ++d)
                for (std::size_t k = 0; k < lanes; ++k) at[k] = step<kHasCategories>(at[k], rows + (first + k) * width);
        }
        for (std::size_t k = 0; k < lanes; ++k) {
            const float leaf = nodes_[at[k]].value;
            if (weighted) out[(first + k) * groups + group] += leaf * weight;
            else out[(first + k) * groups + group] += leaf;
        }
    }
}

// One row: eight trees walk side by side (their loads overlap), each its own
// depth; their leaves are then added in tree order.
template <bool kHasCategories>
void Forest::add_row(const float *row, std::size_t tree_end, float *out) const {
    constexpr std::size_t kLanes = 8;
    const bool weighted = !weights_.empty();
    for (std::size_t first = 0; first < tree_end; first += kLanes) {
        const std::size_t lanes = std::min(kLanes, tree_end - first);
        std::uint32_t at[kLanes], depth = 0;
        for (std::size_t k = 0; k < lanes; ++k) {
            at[k] = roots_[first + k];
            depth = std::max(depth, depths_[first + k]);
        }
        if (lanes == kLanes) {
            for (std::uint32_t d = 0; d < depth; ++d)
                for (std::size_t k = 0; k < kLanes; ++k) at[k] = step<kHasCategories>(at[k], row);
        } else {
            for (std::uint32_t d = 0; d < depth; ++d)
                for (std::size_t k = 0; k < lanes; ++k) at[k] = step<kHasCategories>(at[k], row);
        }
        for (std::size_t k = 0; k < lanes; ++k) {
            const float leaf = nodes_[at[k]].value;
            if (weighted) out[groups_[first + k]] += leaf * weights_[first + k];
            else out[groups_[first + k]] += leaf;
        }
    }
}

void Forest::margins(const float *row, std::size_t tree_end, float *out) const {
    const std::size_t groups = n_outputs();
    for (std::size_t g = 0; g < groups; ++g) out[g] = base_margin_[g];
    if (!category_sets_.empty()) add_row<true>(row, tree_end, out);
    else add_row<false>(row, tree_end, out);
}

void Forest::margins_block(const float *rows, std::size_t n, std::size_t tree_end, float *out) const {
    const std::size_t groups = n_outputs(), width = n_features_;
    for (std::size_t r = 0; r < n; ++r)
        for (std::size_t g = 0; g < groups; ++g) out[r * groups + g] = base_margin_[g];
    const bool categories = !category_sets_.empty();
    for (std::size_t begin = 0; begin < n; begin += kBlockRows) {
        const std::size_t rows_here = std::min(n, begin + kBlockRows) - begin;
        const float *block = rows + begin * width;
        float *block_out = out + begin * groups;
        for (std::size_t t = 0; t < tree_end; ++t) {
            if (categories) add_block<true>(t, block, rows_here, block_out);
            else add_block<false>(t, block, rows_here, block_out);
        }
    }
}

void Forest::transform(float *m, float *out) const {
    const std::size_t groups = n_outputs();
    switch (objective_.link) {
    case Link::Identity:
        for (std::size_t g = 0; g < groups; ++g) out[g] = m[g];
        break;
    case Link::Logistic:
        for (std::size_t g = 0; g < groups; ++g) out[g] = sigmoid(m[g]);
        break;
    case Link::Exp:
        for (std::size_t g = 0; g < groups; ++g) out[g] = expf(m[g]);
        break;
    case Link::Softmax:
        softmax(m, groups);
        for (std::size_t g = 0; g < groups; ++g) out[g] = m[g];
        break;
    case Link::ArgMax: {
        // XGBoost's FindMaxIndex: the first strictly largest.
        std::size_t best = 0;
        for (std::size_t g = 0; g < groups; ++g)
            if (m[g] > m[best]) best = g;
        out[0] = static_cast<float>(best);
        break;
    }
    }
}

std::size_t Forest::memory_bytes() const {
    return sizeof(Forest) + nodes_.capacity() * sizeof(Node) + roots_.capacity() * 4 + depths_.capacity() * 4 + groups_.capacity() * 4 +
           weights_.capacity() * 4 + round_end_.capacity() * 4 + category_sets_.capacity() * sizeof(CategorySet) +
           category_bits_.capacity() * 4 + base_margin_.capacity() * 4;
}

// ---------------------------------------------------------------- linear models

double LinearModel::linear_term(const double *features) const {
    double z = intercept;
    for (std::size_t i = 0; i < coefficients.size(); ++i) z += coefficients[i] * features[i];
    return z;
}

double LinearModel::score(const double *features, bool output_margin) const {
    const double z = linear_term(features);
    if (!logistic || output_margin) return z;
    return 1.0 / (1.0 + std::exp(-z));
}

}  // namespace kelvane::core
