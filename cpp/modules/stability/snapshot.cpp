// The monitoring binnings taken into plain C++ definitions, and the report
// records made from the counts.
//
// A snapshot reads the records once, by attribute access, and refuses what
// the monitoring lookup could compare differently from the plain rules it
// counts by: bin names and attributes that are not str, bounds that are not
// floats, categories that are not str.
#include "modules/stability/state.hpp"

#include <cmath>
#include <cstring>
#include <limits>

namespace kelvane::stability {

KELVANE_STATE_DEFINE(State, S);

nb::object text_object(const std::string &text) {
    return check(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
}

void Accumulator::prepare() {
    names.clear();
    for (core::Binning &b : state.binnings) {
        b.prepare([](const std::string &key) {
            return static_cast<std::uint64_t>(str_hash(text_object(key).ptr()));
        });
        names.push_back(text_object(b.attribute));
    }
}

namespace {

// TypeError "<field> of <record> must be <expected>, got <type>".
[[noreturn]] void refuse(const char *field, const char *expected, nb::handle where, nb::handle value) {
    PyErr_Format(PyExc_TypeError, "%s of %R must be %s, got %.200s", field, where.ptr(), expected,
                 Py_TYPE(value.ptr())->tp_name);
    throw_error();
}

std::string text_of(nb::handle value, const char *what, nb::handle where) {
    if (!PyUnicode_CheckExact(value.ptr())) refuse(what, "a str", where, value);
    std::string scratch;
    return std::string(text_key(value.ptr(), scratch));
}

std::optional<double> number_of(nb::handle value, const char *what, nb::handle where) {
    if (value.is_none()) return std::nullopt;
    if (PyFloat_CheckExact(value.ptr())) return PyFloat_AS_DOUBLE(value.ptr());
    if (PyLong_CheckExact(value.ptr())) {
        const double v = PyLong_AsDouble(value.ptr());
        if (v == -1.0 && PyErr_Occurred()) throw_error();
        return v;
    }
    refuse(what, "a number or None", where, value);
}

std::optional<double> bound_of(nb::handle value, const char *what, nb::handle where) {
    if (value.is_none()) return std::nullopt;
    if (!PyFloat_CheckExact(value.ptr())) refuse(what, "a float or None", where, value);
    return PyFloat_AS_DOUBLE(value.ptr());
}

core::Bin bin_of(nb::handle record) {
    core::Bin bin;
    nb::object name = record.attr(S.str_name);
    bin.name = text_of(name, "name", record);
    const int reserved = S.V.reserved_index(name.ptr());
    bin.reserved = static_cast<core::Reserved>(reserved);
    nb::object id = record.attr(S.str_id);
    if (!PyLong_Check(id.ptr())) refuse("id", "an int", record, id);
    bin.id = PyLong_AsLongLong(id.ptr());
    if (bin.id == -1 && PyErr_Occurred()) throw_error();
    bin.frequency = number_of(record.attr(S.str_frequency), "frequency", record);
    bin.target_rate = number_of(record.attr(S.str_target_rate), "target_rate", record);
    const int numerical = PyObject_IsInstance(record.ptr(), S.V.numerical.ptr());
    if (numerical < 0) throw_error();
    const int categorical = numerical ? 0 : PyObject_IsInstance(record.ptr(), S.V.categorical.ptr());
    if (categorical < 0) throw_error();
    if (numerical) {
        bin.kind = core::BinKind::Numerical;
        bin.lower = bound_of(record.attr(S.str_lower_bound), "lower_bound", record);
        bin.upper = bound_of(record.attr(S.str_upper_bound), "upper_bound", record);
    } else if (categorical) {
        bin.kind = core::BinKind::Categorical;
        nb::object categories = record.attr(S.str_categories);
        if (!categories.is_none()) {
            if (!PyList_Check(categories.ptr()) && !PyTuple_Check(categories.ptr()))
                refuse("categories", "a list of str or None", record, categories);
            std::vector<std::string> keys;
            nb::object items = check(PySequence_Tuple(categories.ptr()));
            for (nb::handle c : nb::borrow<nb::tuple>(items)) {
                if (!PyUnicode_CheckExact(c.ptr())) refuse("categories", "a list of str or None", record, categories);
                keys.push_back(text_of(c, "categories", record));
            }
            bin.categories = std::move(keys);
        }
    }
    return bin;
}

core::Binning binning_of(nb::handle record) {
    core::Binning b;
    nb::object attribute = record.attr(S.str_attribute);
    b.attribute = text_of(attribute, "attribute", record);
    nb::object dtype = record.attr(S.str_attribute_data_type);
    if (equals(dtype, S.numerical_member)) {
        b.kind = core::DataKind::Numerical;
    } else if (equals(dtype, S.categorical_member)) {
        b.kind = core::DataKind::Categorical;
    }
    nb::object bins = bins::bin_list(record.attr(S.str_discretisation));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(bins.ptr()); ++i) {
        nb::object bin = nb::borrow(PyList_GET_ITEM(bins.ptr(), i));   // held: reading it runs Python code
        b.bins.push_back(bin_of(bin));
    }
    if (b.bins.size() >= std::numeric_limits<std::uint32_t>::max()) {
        PyErr_SetString(PyExc_ValueError, "too many bins");
        throw_error();
    }
    return b;
}

}  // namespace

Accumulator snapshot(nb::handle monitoring) {
    const int is_monitoring = PyObject_IsInstance(monitoring.ptr(), S.monitoring_class.ptr());
    if (is_monitoring < 0) throw_error();
    if (!is_monitoring) {
        PyErr_Format(PyExc_TypeError, "monitoring must be a PredictiveModelMonitoring, got %.200s",
                     Py_TYPE(monitoring.ptr())->tp_name);
        throw_error();
    }
    Accumulator acc;
    nb::object binnings = monitoring.attr(S.str_binning);
    if (!binnings.is_none()) {
        each(binnings, [&](nb::handle record) {
            core::Binning b = binning_of(record);
            for (core::Binning &seen : acc.state.binnings) {
                if (seen.attribute == b.attribute) {
                    seen = std::move(b);   // the last binning of an attribute, at its first place
                    return false;
                }
            }
            acc.state.binnings.push_back(std::move(b));
            return false;
        });
    }
    nb::object output = monitoring.attr(S.str_predictive_model_output_binning);
    if (!output.is_none()) {
        acc.state.binnings.push_back(binning_of(output));
        acc.state.has_score = true;
    }
    for (const core::Binning &b : acc.state.binnings) acc.state.tallies.emplace_back(b.slots());
    acc.prepare();
    return acc;
}

// ---------------------------------------------------------------- report

namespace {

nb::object optional_float(const std::optional<double> &v) { return v ? nb::object(nb::float_(*v)) : none(); }
nb::object count_object(std::uint64_t v) { return check(PyLong_FromUnsignedLongLong(v)); }

nb::object attribute_report(const core::Binning &binning, const core::Tally &tally, nb::handle name) {
    const core::BinningReport r = core::report(binning, tally);
    nb::list bins;
    for (std::size_t i = 0; i < r.bins.size(); ++i) {
        const core::Bin &bin = binning.bins[i];
        const core::BinReport &b = r.bins[i];
        bins.append(S.bin_record(nb::arg("name") = text_object(bin.name), nb::arg("id") = nb::int_(bin.id),
                                 nb::arg("expected_share") = optional_float(b.expected_share),
                                 nb::arg("count") = count_object(b.count),
                                 nb::arg("actual_share") = optional_float(b.actual_share),
                                 nb::arg("psi_term") = optional_float(b.term),
                                 nb::arg("target_rate") = optional_float(bin.target_rate),
                                 nb::arg("events") = count_object(b.events),
                                 nb::arg("event_rate") = optional_float(b.event_rate)));
    }
    nb::object level = r.level == core::Level::None ? none() : S.levels[static_cast<int>(r.level)];
    return S.attribute_record(nb::arg("attribute") = name, nb::arg("counted") = count_object(r.counted),
                              nb::arg("unmatched") = count_object(r.unmatched),
                              nb::arg("psi") = optional_float(r.psi), nb::arg("level") = level,
                              nb::arg("bins") = bins);
}

}  // namespace

nb::object report(const Accumulator &acc) {
    const core::State &s = acc.state;
    nb::list attributes;
    for (std::size_t k = 0; k < acc.attributes(); ++k)
        attributes.append(attribute_report(s.binnings[k], s.tallies[k], acc.names[k]));
    nb::object score = none();
    if (s.has_score) score = attribute_report(s.binnings.back(), s.tallies.back(), acc.names.back());
    return S.report_record(nb::arg("records") = count_object(s.records), nb::arg("score") = score,
                           nb::arg("attributes") = attributes);
}

}  // namespace kelvane::stability
