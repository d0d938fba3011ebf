// kelvane_analytics_utils.predictive_models.surveillance.stability
//
// Population stability of a deployed model's output and characteristic
// stability of its attributes, counted over the bins of its monitoring
// record, streamed in batches and merged across workers.
//
// Every counting call counts into a scratch tally and adds it to the
// accumulator's counts only once every value has been read: a failed call
// leaves the counts as they were, and Python code run while values are read
// (a sequence's iteration, an integer-like __index__) may use the same
// accumulator without losing counts.
#include "frame/native.hpp"
#include "modules/stability/state.hpp"

#include <memory>

namespace kelvane::stability {

namespace {

std::vector<core::Tally> scratch_for(const Accumulator &acc) {
    std::vector<core::Tally> scratch;
    for (const core::Binning &b : acc.state.binnings) scratch.emplace_back(b.slots());
    return scratch;
}

void commit(Accumulator &acc, const std::vector<core::Tally> &scratch, std::uint64_t records) {
    for (std::size_t k = 0; k < scratch.size(); ++k) acc.state.tallies[k].add(scratch[k]);
    acc.state.records += records;
}

[[noreturn]] void no_output_binning() {
    PyErr_SetString(PyExc_ValueError, "the monitoring record has no output binning to count scores in");
    throw_error();
}

// The item of `mapping` (an exact dict) under `key`, or None.
nb::object item_or_none(nb::handle mapping, const nb::object &key) {
    PyObject *value;
    if (PyDict_GetItemRef(mapping.ptr(), key.ptr(), &value) < 0) throw_error();
    return value ? nb::steal(value) : none();
}

// ---------------------------------------------------------------- methods

nb::object accumulator_new(Args a) { return make_native<Accumulator>(a[0], snapshot(a[1])); }

// add(values, score=None, target=None)
nb::object add(Args a) {
    Accumulator &acc = native<Accumulator>(a[0]);
    std::vector<core::Tally> scratch = scratch_for(acc);
    const std::int8_t target = target_of(a.get(3));
    for (std::size_t k = 0; k < acc.attributes(); ++k) {
        nb::object value = item_or_none(a[1], acc.names[k]);
        scratch[k].add(slot_of(acc.state.binnings[k], value.ptr(), acc.names[k].ptr()), target);
    }
    if (!a[2].is_none() && !acc.state.has_score) no_output_binning();
    if (acc.state.has_score)   // no score: a missing one
        scratch.back().add(slot_of(acc.state.binnings.back(), a.get(2), acc.names.back().ptr()), target);
    commit(acc, scratch, 1);
    return none();
}

// add_batch(columns, scores=None, targets=None)
nb::object add_batch(Args a) {
    Accumulator &acc = native<Accumulator>(a[0]);
    const std::size_t n_attributes = acc.attributes();
    // Every column is opened and measured before anything is counted.
    std::vector<std::unique_ptr<Column>> columns(acc.state.binnings.size());
    const Column *first = nullptr;
    auto measure = [&](const Column &c) {
        if (!first) {
            first = &c;
        } else if (c.size() != first->size()) {
            PyErr_Format(PyExc_ValueError, "columns must have equal lengths: '%U' has %zd values, '%U' has %zd",
                         first->what().ptr(), first->size(), c.what().ptr(), c.size());
            throw_error();
        }
    };
    for (std::size_t k = 0; k < n_attributes; ++k) {
        nb::object source = item_or_none(a[1], acc.names[k]);
        if (source.is_none()) continue;
        columns[k] = std::make_unique<Column>(source, acc.names[k]);
        measure(*columns[k]);
    }
    if (!a[2].is_none()) {
        if (!acc.state.has_score) no_output_binning();
        columns.back() = std::make_unique<Column>(a[2], nb::str("scores"));
        measure(*columns.back());
    }
    std::unique_ptr<Column> target_column;
    if (!a[3].is_none()) {
        target_column = std::make_unique<Column>(a[3], nb::str("targets"));
        measure(*target_column);
    }
    if (!first) return none();   // nothing to count
    const Py_ssize_t n = first->size();
    std::vector<std::int8_t> targets;
    if (target_column) targets = target_column->targets();
    const std::int8_t *target_of_row = target_column ? targets.data() : nullptr;

    std::vector<core::Tally> scratch = scratch_for(acc);
    for (std::size_t k = 0; k < columns.size(); ++k) {
        if (columns[k]) {
            columns[k]->count(acc.state.binnings[k], target_of_row, scratch[k]);
        } else {   // no column: every value missing
            const std::uint32_t missing = acc.state.binnings[k].missing();
            for (Py_ssize_t i = 0; i < n; ++i) scratch[k].add(missing, target_of_row ? target_of_row[i] : -1);
        }
    }
    commit(acc, scratch, static_cast<std::uint64_t>(n));
    return none();
}

bool same_definitions(const core::State &a, const core::State &b) {
    if (a.has_score != b.has_score || a.binnings.size() != b.binnings.size()) return false;
    for (std::size_t k = 0; k < a.binnings.size(); ++k)
        if (!a.binnings[k].same_definition(b.binnings[k])) return false;
    return true;
}

nb::object merge(Args a) {
    Accumulator &acc = native<Accumulator>(a[0]);
    const Accumulator &other = native<Accumulator>(a[1], "other");
    if (!same_definitions(acc.state, other.state)) {
        PyErr_SetString(PyExc_ValueError, "cannot merge accumulators built from different monitoring binnings");
        throw_error();
    }
    const std::vector<core::Tally> counts = other.state.tallies;   // a copy: `other` may be `acc`
    commit(acc, counts, other.state.records);
    return none();
}

nb::object report_method(Args a) { return report(native<Accumulator>(a[0])); }

nb::object reduce(Args a) {
    const std::string bytes = core::save(native<Accumulator>(a[0]).state);
    nb::object state = check(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
    return nb::make_tuple(S.restore, nb::make_tuple(state));
}

nb::object restore(Args a) {
    char *data;
    Py_ssize_t size;
    if (PyBytes_AsStringAndSize(a.get(0), &data, &size) < 0) throw_error();
    Accumulator acc;
    std::string error;
    if (!core::load(std::string_view(data, static_cast<std::size_t>(size)), acc.state, error)) {
        PyErr_Format(PyExc_ValueError, "cannot restore a stability accumulator: %s", error.c_str());
        throw_error();
    }
    acc.prepare();
    return make_native<Accumulator>(std::move(acc));
}

// ---------------------------------------------------------------- declaration

void declare(Module &m) {
    S.init(m);
    m.import_from("typing", {"Any", "Dict", "List", "Optional"});
    m.import("strawberry");
    m.import_from("kelvane_analytics_utils.predictive_models.preparation.discretisation",
                  {"AttributeBinNumerical", "AttributeBinCategorical", "AttributeDataType", "PredictiveModelBinName"});
    m.import_from("kelvane_analytics_utils.predictive_models.surveillance.surveillance",
                  {"PredictiveModelMonitoring"});
    m.import_from("kelvane_analytics_utils.utils.base_model", {"BaseModel"});

    S.V.capture(m.object());
    S.monitoring_class = m.get("PredictiveModelMonitoring");
    nb::object dtypes = m.get("AttributeDataType");
    S.numerical_member = dtypes.attr("NUMERICAL");
    S.categorical_member = dtypes.attr("CATEGORICAL");

    nb::object levels = m.enumeration("StabilityLevel")
                            .doc("Customary alarm level of a stability index: STABLE below 0.10, WATCH from 0.10, "
                                 "SHIFT from 0.25.")
                            .member("STABLE")
                            .member("WATCH")
                            .member("SHIFT")
                            .strawberry()
                            .create();
    S.levels[0] = levels.attr("STABLE");
    S.levels[1] = levels.attr("WATCH");
    S.levels[2] = levels.attr("SHIFT");

    S.bin_record = m.record("BinStability", {"BaseModel"})
                       .doc("Counts and shares of one bin of a monitoring binning.")
                       .field("name", "str")
                       .field("id", "int")
                       .field("expected_share", "Optional[float]", none())
                       .field("count", "int", nb::int_(0))
                       .field("actual_share", "Optional[float]", none())
                       .field("psi_term", "Optional[float]", none())
                       .field("target_rate", "Optional[float]", none())
                       .field("events", "int", nb::int_(0))
                       .field("event_rate", "Optional[float]", none())
                       .create();
    S.attribute_record = m.record("AttributeStability", {"BaseModel"})
                             .doc("Stability of one attribute (or of the model's output) over its monitoring bins.")
                             .field("attribute", "str")
                             .field("counted", "int", nb::int_(0))
                             .field("unmatched", "int", nb::int_(0))
                             .field("psi", "Optional[float]", none())
                             .field("level", "Optional[StabilityLevel]", none())
                             .field("bins", "List[BinStability]", nb::list())
                             .create();
    S.report_record = m.record("StabilityReport", {"BaseModel"})
                          .doc("Stability of a deployed model: its output and each monitored attribute.")
                          .field("records", "int", nb::int_(0))
                          .field("score", "Optional[AttributeStability]", none())
                          .field("attributes", "List[AttributeStability]", nb::list())
                          .create();

    m.view("BinStabilityType", "BinStability")
        .field("name", "strawberry.auto")
        .field("id", "strawberry.auto")
        .field("expected_share", "strawberry.auto")
        .field("count", "strawberry.auto")
        .field("actual_share", "strawberry.auto")
        .field("psi_term", "strawberry.auto")
        .field("target_rate", "strawberry.auto")
        .field("events", "strawberry.auto")
        .field("event_rate", "strawberry.auto")
        .create();
    m.view("AttributeStabilityType", "AttributeStability")
        .field("attribute", "strawberry.auto")
        .field("counted", "strawberry.auto")
        .field("unmatched", "strawberry.auto")
        .field("psi", "strawberry.auto")
        .field("level", "strawberry.auto")
        .field("bins", "List[BinStabilityType]")
        .create();
    m.view("StabilityReportType", "StabilityReport")
        .field("records", "strawberry.auto")
        .field("score", "Optional[AttributeStabilityType]")
        .field("attributes", "List[AttributeStabilityType]")
        .create();

    S.restore = m.function(Function("_restore_accumulator", restore).arg("state", "bytes").returns("Any"));

    NativeClass<Accumulator>(m, "StabilityAccumulator")
        .doc("Counts of observed values per monitoring bin, streamed and mergeable.")
        .constructor(Function("__new__", accumulator_new).cls().arg("monitoring", "PredictiveModelMonitoring"))
        .method(Function("add", add)
                    .self()
                    .arg("values", "Dict[str, Any]")
                    .arg("score", "Any", none())
                    .arg("target", "Any", none())
                    .returns("None"))
        .method(Function("add_batch", add_batch)
                    .self()
                    .arg("columns", "Dict[str, Any]")
                    .arg("scores", "Any", none())
                    .arg("targets", "Any", none())
                    .returns("None"))
        .method(Function("merge", merge).self().arg("other", "StabilityAccumulator").returns("None"))
        .method(Function("report", report_method).self().returns("StabilityReport"))
        .method(Function("__reduce__", reduce).self().returns("Any"))
        .create();
}

}  // namespace

}  // namespace kelvane::stability

KELVANE_MODULE(stability, "kelvane_analytics_utils.predictive_models.surveillance.stability",
               kelvane::stability::declare)
