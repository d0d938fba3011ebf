// kelvane_analytics_utils.predictive_models.scoring: the state its sources
// share and the scorer object they build and read.
//
// The module is built from:
//   document.cpp  - building a scorer from a bundle: the XGBoost document
//                   read into the native forest, linear models, the
//                   features and where each comes from;
//   record.cpp    - one record: values to model inputs, prepare and score;
//   batch.cpp     - columns of records, walked without the GIL;
//   module.cpp    - the declaration of the module.
#pragma once

#include "core/forest.hpp"
#include "frame/host.hpp"
#include "frame/native.hpp"
#include "frame/state.hpp"

#include <string>
#include <unordered_map>
#include <vector>

namespace kelvane::scoring {

#define SCORING_NAMES(X)                                                                                         \
    X(attributes) X(predictive_model_type) X(external_model) X(preparation) X(transformations) X(binning)        \
    X(dummy_encoding) X(attribute) X(transformation) X(transformed_attribute_name) X(binned_attribute_name)     \
    X(encoding) X(encoded_feature_name) X(apply_preprocessing) X(get_external_model_feature_names)              \
    X(get_external_model_intercept) X(get_external_model_coefficients) X(get_external_model_best_iteration)     \
    X(model_copy) X(deep) X(name) X(xgb_model) X(learner) X(learner_model_param) X(num_class) X(num_target)     \
    X(base_score) X(objective) X(gradient_booster) X(model) X(gbtree) X(gbtree_model_param) X(num_trees)        \
    X(num_parallel_tree) X(trees) X(tree_info) X(iteration_indptr) X(weight_drop) X(tree_param) X(num_nodes)    \
    X(size_leaf_vector) X(left_children) X(right_children) X(split_indices) X(split_conditions) X(default_left)  \
    X(split_type) X(categories) X(categories_nodes) X(categories_segments) X(categories_sizes) X(feature_names)  \
    X(feature_types) X(cats) X(enc) X(offsets) X(values) X(keys) X(tolist) X(to_numpy) X(cast) X(XGB)           \
    X(LOGISTIC_REGRESSION) X(EXPERT_SCORE)

struct State : ModuleState {
    KELVANE_NAMES(SCORING_NAMES)
    nb::object XGB, LOGISTIC_REGRESSION, EXPERT_SCORE;   // PredictiveModelType members
    nb::object AbstractExtendedPredictiveModel;
};
KELVANE_STATE_EXTERN(State, S);

// One input of the model.
struct Feature {
    nb::object name;             // exact str
    nb::object transformation;   // the text of the transformation creating it; empty if none does
    int categories = -1;         // index into Scorer::category_codes for a native categorical feature
};

// What a scorer holds: an immutable snapshot of a bundle, safe to share
// between threads (nothing in it changes after construction; the private
// preparation record is only read by apply_preprocessing).
struct Scorer {
    bool trees = true;                  // XGBoost forest, else a linear model
    core::Forest forest;
    std::size_t tree_end = 0;           // trees of the rounds scored
    nb::object iteration_end;           // int, or None for linear models
    core::LinearModel linear;
    std::vector<Feature> features;
    // Category code of each text, per native categorical feature (the
    // categories the document stores, in order).
    std::vector<std::unordered_map<std::string, float>> category_codes;
    // A private copy of the bundle's preparation; None when it bins and
    // encodes nothing (records need no preparation then).
    nb::object preparation;
    // The attributes the preparation reads (binned and encoded attributes):
    // the keys of the record a batch row hands to apply_preprocessing.
    std::vector<nb::object> prepared_inputs;

    // Values of one result: the classes for multi:softprob (and every
    // margin of a multi-class model), else 1.
    std::size_t result_width(bool output_margin) const {
        if (!trees) return 1;
        return output_margin ? forest.n_outputs() : forest.result_size();
    }
};

// document.cpp: a scorer for `model` (ValueError when it cannot be scored).
Scorer build_scorer(nb::handle model, nb::handle iteration_end);

// record.cpp
// The value of feature `f` of a record as a model input: 1 stored, 0 missing
// (NaN stored), -1 with an error set. May run Python code (__float__,
// __index__).
template <class T>
int feature_value(const Scorer &s, std::size_t f, PyObject *value, T *out);
// ValueError naming a feature a linear model is missing.
[[noreturn]] void raise_missing_linear(const Scorer &s, std::size_t f);
// ValueError naming a feature created by a transformation that `values` lacks.
[[noreturn]] void raise_missing_created(const Scorer &s, std::size_t f);
nb::object prepare(const Scorer &s, nb::handle values);
nb::object score(const Scorer &s, nb::handle values, bool output_margin);
// One result (width values) as a float or a list of floats.
nb::object result_object(const float *values, std::size_t width);

// batch.cpp
nb::object score_batch(const Scorer &s, nb::handle columns, bool output_margin, Py_ssize_t n_threads);

}  // namespace kelvane::scoring
