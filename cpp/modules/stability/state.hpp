// kelvane_analytics_utils.predictive_models.surveillance.stability: the
// state the module's sources share and the object an accumulator owns.
//
// The module is built from:
//   snapshot.cpp  - the monitoring binnings taken into plain C++ definitions,
//                   and the report records made from the counts;
//   columns.cpp   - values, columns and targets read into bin slots;
//   module.cpp    - the accumulator's methods and the declaration.
#pragma once

#include "core/stability.hpp"
#include "frame/host.hpp"
#include "frame/state.hpp"
#include "modules/bin_scan.hpp"

#include <string>
#include <vector>

namespace kelvane::stability {

namespace core = ::kelvane::core::stability;

#define STABILITY_NAMES(X)                                                                                    \
    X(binning) X(predictive_model_output_binning) X(attribute) X(attribute_data_type) X(discretisation)       \
    X(name) X(id) X(frequency) X(target_rate) X(lower_bound) X(upper_bound) X(categories) X(expected_share)   \
    X(count) X(actual_share) X(psi_term) X(events) X(event_rate) X(counted) X(unmatched) X(psi) X(level)      \
    X(bins) X(records) X(score) X(attributes)

struct State : ModuleState {
    KELVANE_NAMES(STABILITY_NAMES)
    bins::Vocabulary V;                          // bin classes and reserved names
    nb::object monitoring_class;                 // PredictiveModelMonitoring
    nb::object numerical_member, categorical_member;   // AttributeDataType members
    nb::object bin_record, attribute_record, report_record;   // BinStability, AttributeStability, StabilityReport
    nb::object levels[3];                        // StabilityLevel members, in the order of core::Level
    nb::object restore;                          // the module's _restore_accumulator
};
KELVANE_STATE_EXTERN(State, S);

// What a StabilityAccumulator owns: the definitions and counts, and the
// attribute names as str objects (the keys read from a record's values).
struct Accumulator {
    core::State state;
    std::vector<nb::object> names;   // one per binning of `state`

    std::size_t attributes() const { return state.binnings.size() - (state.has_score ? 1 : 0); }
    // Builds the lookup tables and the names (after a snapshot or a restore).
    void prepare();
};

// ---------------------------------------------------------------- snapshot.cpp

// The accumulator of a monitoring record: for each attribute (in the order of
// first appearance) its last binning, then the output binning.
Accumulator snapshot(nb::handle monitoring);
// The StabilityReport of the counts.
nb::object report(const Accumulator &acc);
// A str from a key or name (UTF-8, lone surrogates passed through).
nb::object text_object(const std::string &text);

// ---------------------------------------------------------------- columns.cpp

// The key of an exact str, in `scratch` when the str does not keep its UTF-8
// text. Runs no Python code; throws (error set) only for a failed encoding.
std::string_view text_key(PyObject *s, std::string &scratch);

// The slot of one value under the binning's lookup; TypeError (thrown) for a
// value of the wrong type. May run Python code (an integer-like object's
// __index__).
std::uint32_t slot_of(const core::Binning &binning, PyObject *value, PyObject *attribute);
// A target: -1 (None: unknown), 0 or 1; ValueError (thrown) otherwise.
std::int8_t target_of(PyObject *value);

// One column of a batch: a buffer of numbers, or a sequence of objects.
class Column {
public:
    // `what`: the name of the column in messages.
    Column(nb::handle source, nb::handle what);
    ~Column();
    Column(const Column &) = delete;
    Column &operator=(const Column &) = delete;

    Py_ssize_t size() const { return size_; }
    nb::handle what() const { return what_; }
    // Counts every value into `tally` (targets: one per value, or nullptr).
    void count(const core::Binning &binning, const std::int8_t *targets, core::Tally &tally) const;
    // Every value as a target.
    std::vector<std::int8_t> targets() const;

private:
    nb::object what_;
    nb::object items_;      // the sequence of objects, when not a buffer
    Py_buffer view_{};
    bool buffer_ = false;
    char code_ = 0;         // the buffer's element: 'd', 'f', '?', 'i' (signed), 'u' (unsigned)
    Py_ssize_t size_ = 0;
};

}  // namespace kelvane::stability
