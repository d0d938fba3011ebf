// kelvane_analytics_utils.predictive_models.surveillance.surveillance
//
// The binnings kept to monitor a deployed model, and the lookup of the bin
// record an observed value falls in. Unlike the assignment of the binning
// module, the lookup answers the bin record, logs nothing, does not set the
// reserved bins apart in the regular scan, skips bins with a missing bound or
// without categories, and uses the last binning of an attribute.
#include "frame/host.hpp"
#include "frame/state.hpp"
#include "modules/bin_scan.hpp"

#include <cmath>

namespace {

using namespace kelvane;
using bins::N_RESERVED;

#define SURVEILLANCE_NAMES(X) X(_get_numerical_bin) X(_get_categorical_bin) X(binning) X(value)

struct State : ModuleState {
    KELVANE_NAMES(SURVEILLANCE_NAMES)
    bins::Vocabulary V;
    nb::object get_numerical_bin, get_categorical_bin;   // the class's own static lookups
    nb::object lookup_kwnames;                           // ("binning", "value")
    nb::object numerical_text, categorical_text;       // data type values
    nb::object numerical_member, categorical_member;   // AttributeDataType members
};
KELVANE_STATE(State, S);
RecordFields F;

// The first bin named with one of the reserved names first..last-1.
int find_named(PyObject *list, int first, int last, nb::object *bin) {
    int which;
    return bins::find_named(F, S.V, list, first, last, bin, &which);
}

nb::object bins_of(PyObject *binning) { return bins::bin_list(check(F.get(binning, bins::DISCRETISATION))); }

// The binning's bins when its dict holds them at their place as an exact
// list, borrowed (valid while no Python code runs); nullptr otherwise.
PyObject *plain_bins_of(PyObject *binning) {
    PyObject *list = F.entry(binning, bins::DISCRETISATION);
    return list && PyList_CheckExact(list) ? list : nullptr;
}

// The bin found, or else the first default bin, or None.
nb::object answer(int r, nb::object bin, PyObject *list) {
    if (r < 0) throw_error();
    if (r) return bin;
    r = find_named(list, bins::DEFAULT, bins::NULL_BIN, &bin);
    if (r < 0) throw_error();
    return r ? bin : none();
}

// value: a float or None (checked by the caller).
nb::object numerical_bin(PyObject *binning, PyObject *value) {
    const double v = value == Py_None ? NAN : PyFloat_AS_DOUBLE(value);
    if (!std::isnan(v))
        if (PyObject *list = plain_bins_of(binning))   // borrowed: the scan runs no Python code
            if (PyObject *hit = bins::try_plain_interval<false>(F, S.V, list, v)) return nb::borrow(hit);
    nb::object list = bins_of(binning);
    nb::object bin;
    bins::FloatValue fv(v, value == Py_None ? nb::handle() : nb::handle(value));
    const int r = std::isnan(v) ? find_named(list.ptr(), bins::NULL_BIN, N_RESERVED, &bin)
                                : bins::find_interval(F, S.V, bins::monitoring, list.ptr(), fv, &bin);
    return answer(r, std::move(bin), list.ptr());
}

// str(value) == "nan", None included: 1, 0, -1.
int is_missing(PyObject *value) {
    if (value == Py_None) return 1;
    if (PyUnicode_CheckExact(value)) return str_equal(value, S.V.nan_text.ptr());
    if (PyFloat_CheckExact(value)) return std::isnan(PyFloat_AS_DOUBLE(value));
    nb::object text = nb::steal(PyObject_Str(value));
    if (!text.is_valid()) return -1;
    return host_eq(text.ptr(), S.V.nan_text.ptr());
}

nb::object categorical_bin(PyObject *binning, PyObject *value) {
    const int missing = is_missing(value);
    if (missing < 0) throw_error();
    if (!missing && PyUnicode_CheckExact(value))
        if (PyObject *list = plain_bins_of(binning))   // borrowed: the scan runs no Python code
            if (PyObject *hit = bins::try_plain_category<false>(F, S.V, list, value)) return nb::borrow(hit);
    nb::object list = bins_of(binning);
    nb::object bin;
    const int r = missing ? find_named(list.ptr(), bins::NULL_BIN, N_RESERVED, &bin)
                          : bins::find_category(F, S.V, bins::monitoring, list.ptr(), value, &bin);
    return answer(r, std::move(bin), list.ptr());
}

nb::object get_numerical_bin(Args a) { return numerical_bin(a.get(0), a.get(1)); }
nb::object get_categorical_bin(Args a) { return categorical_bin(a.get(0), a.get(1)); }

// binning.attribute == attribute (an exact str): 1, 0 or -1.
int same_attribute(RecordReader &r, PyObject *attribute) {
    PyObject *own = r.read(bins::ATTRIBUTE);
    if (!own) return -1;
    if (PyUnicode_CheckExact(own)) return str_equal(own, attribute);
    r.pin();
    return host_eq(own, attribute);
}
int same_attribute(PyObject *binning, PyObject *attribute) {
    RecordReader r(F, binning);
    return same_attribute(r, attribute);
}

// host_eq for a value that is the exact str `text` or compares with `member`.
int is_data_type(PyObject *dtype, const nb::object &text, const nb::object &member) {
    if (dtype == member.ptr()) return 1;   // the member itself: str equality is reflexive
    if (PyUnicode_CheckExact(dtype)) return str_equal(dtype, text.ptr());
    return host_eq(dtype, member.ptr());
}

// self.<name>(binning=binning, value=value): a lookup that a subclass, the
// class or the instance has replaced.
nb::object lookup_through(PyObject *self, PyObject *name, const nb::object &binning, PyObject *value) {
    nb::object method = check(PyObject_GetAttr(self, name));
    PyObject *args[] = {binning.ptr(), value};
    return check(PyObject_Vectorcall(method.ptr(), args, 0, S.lookup_kwnames.ptr()));
}

// The last binning of the exact list `list` whose attribute is the exact str
// `attribute`, when every binning's attribute is an exact str at its place
// in the binning's dict: true, the binning (borrowed, nullptr for none) in
// *found. False when the comparisons must go the general way. Texts are told
// apart by their kept hashes first. Runs no Python code.
bool try_last_with_attribute(PyObject *list, PyObject *attribute, PyObject **found) {
    *found = nullptr;
    if (!PyUnicode_CheckExact(attribute)) return false;
    const Py_hash_t hash = str_hash(attribute);
    RecordRun run(F);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject *binning = PyList_GET_ITEM(list, i);
        run.next(binning);   // nothing in this loop runs Python code
        PyObject *own = run[bins::ATTRIBUTE];
        if (!own || !PyUnicode_CheckExact(own)) return false;
        if (own == attribute || (str_hash(own) == hash && str_equal(own, attribute))) *found = binning;
    }
    return true;
}

nb::object get_discretisation(Args a) {
    PyObject *self = a.get(0), *attribute = a.get(1), *dtype = a.get(2), *value = a.get(3);
    nb::object binnings = check(F.get(self, bins::BINNING));
    if (binnings.is_none()) return none();
    nb::object list = bins::bin_list(binnings);
    nb::object found;   // the last binning of the attribute
    if (PyObject *last; try_last_with_attribute(list.ptr(), attribute, &last)) {
        if (last) found = nb::borrow(last);
    } else {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
            RecordReader binning(F, PyList_GET_ITEM(list.ptr(), i));
            const int r = same_attribute(binning, attribute);
            if (r < 0) throw_error();
            if (r) found = nb::borrow(binning.record());
        }
    }
    if (!found.is_valid()) return none();
    int r = is_data_type(dtype, S.numerical_text, S.numerical_member);
    if (r < 0) throw_error();
    if (r) {
        if (!method_is(self, S.str__get_numerical_bin, S.get_numerical_bin))
            return lookup_through(self, S.str__get_numerical_bin, found, value);
        if (!passes(core::ExactType::Float, true, value)) {
            raise_argument_type("value", "float", value);
            throw_error();
        }
        return numerical_bin(found.ptr(), value);
    }
    r = is_data_type(dtype, S.categorical_text, S.categorical_member);
    if (r < 0) throw_error();
    if (r) {
        if (!method_is(self, S.str__get_categorical_bin, S.get_categorical_bin))
            return lookup_through(self, S.str__get_categorical_bin, found, value);
        return categorical_bin(found.ptr(), value);
    }
    return none();
}

nb::object discretisation_exists(Args a) {
    PyObject *self = a.get(0), *attribute = a.get(1);
    nb::object binnings = check(F.get(self, bins::BINNING));
    bool exists = false;
    each(binnings, [&](nb::handle binning) {
        const int r = same_attribute(binning.ptr(), attribute);
        if (r < 0) throw_error();
        exists = r != 0;
        return exists;
    });
    return nb::bool_(exists);
}

// Removes every binning of the attribute from the list itself, keeping the
// order of the others (adjacent binnings of the attribute included).
nb::object remove_discretisation(Args a) {
    PyObject *self = a.get(0), *attribute = a.get(1);
    nb::object binnings = check(F.get(self, bins::BINNING));
    nb::object items = check(PySequence_List(binnings.ptr()));
    nb::object kept = check(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        PyObject *b = PyList_GET_ITEM(items.ptr(), i);   // `items` is ours: nothing else changes it
        const int r = same_attribute(b, attribute);
        if (r < 0) throw_error();
        if (!r && PyList_Append(kept.ptr(), b) < 0) throw_error();
    }
    if (PyList_GET_SIZE(kept.ptr()) == PyList_GET_SIZE(items.ptr())) return none();
    if (PyList_Check(binnings.ptr())) {
        if (PyList_SetSlice(binnings.ptr(), 0, PyList_GET_SIZE(binnings.ptr()), kept.ptr()) < 0) throw_error();
    } else {
        // Another mutable sequence: delete the removed positions, last first.
        for (Py_ssize_t i = PyList_GET_SIZE(items.ptr()); i-- > 0;) {
            const int r = same_attribute(PyList_GET_ITEM(items.ptr(), i), attribute);
            if (r < 0) throw_error();
            if (r && PySequence_DelItem(binnings.ptr(), i) < 0) throw_error();
        }
    }
    return none();
}

void declare(Module &m) {
    S.init(m);
    S.lookup_kwnames = nb::make_tuple(nb::handle(S.str_binning), nb::handle(S.str_value));
    bins::name_fields(F);

    m.import_from("typing", {"List", "Optional", "Union"});
    m.import("math");
    m.import("strawberry");
    m.import_from("kelvane_analytics_utils.predictive_models.preparation.discretisation",
                  {"AbstractAttributeBin", "AttributeBinning", "AttributeBinNumerical", "AttributeBinCategorical",
                   "AttributeBinningType", "AttributeDataType", "PredictiveModelBinName"});
    m.import_from("kelvane_analytics_utils.utils.base_model", {"BaseModel"});

    S.V.capture(m.object());
    nb::object dtypes = m.get("AttributeDataType");
    S.numerical_member = dtypes.attr("NUMERICAL");
    S.categorical_member = dtypes.attr("CATEGORICAL");
    S.numerical_text = nb::str("NUMERICAL");
    S.categorical_text = nb::str("CATEGORICAL");

    F.trust(S.V.numerical);
    F.trust(S.V.categorical);
    F.trust(m.get("AttributeBinning"));

    nb::object monitoring = m.record("PredictiveModelMonitoring", {"BaseModel"})
        .doc("Object holding data needed for models monitoring.")
        .field("binning", "List[AttributeBinning]", nb::list())
        .field("predictive_model_output_binning", "Optional[AttributeBinning]", none())
        .method(Function("remove_discretisation", remove_discretisation).self().arg("attribute", "str").returns("None"))
        .method(Function("discretisation_exists", discretisation_exists).self().arg("attribute", "str").returns("bool"))
        .staticmethod(Function("_get_numerical_bin", get_numerical_bin)
                          .arg("binning", "AttributeBinning")
                          .arg("value", "Optional[float]")
                          .returns("Optional[Union[AttributeBinNumerical, AbstractAttributeBin]]"))
        .staticmethod(Function("_get_categorical_bin", get_categorical_bin)
                          .arg("binning", "AttributeBinning")
                          .arg("value", "Optional[Union[str, float]]")
                          .returns("Optional[Union[AttributeBinCategorical, AbstractAttributeBin]]"))
        .method(Function("get_discretisation", get_discretisation)
                    .self()
                    .arg("attribute", "str")
                    .arg("attribute_dtype", "AttributeDataType")
                    .arg("attribute_value", "Union[str, float]")
                    .returns("Optional[Union[AbstractAttributeBin, AttributeBinNumerical, AttributeBinCategorical]]"))
        .create();
    F.trust(monitoring);
    S.get_numerical_bin = class_function(monitoring, S.str__get_numerical_bin);
    S.get_categorical_bin = class_function(monitoring, S.str__get_categorical_bin);

    m.view("PredictiveModelMonitoringType", "PredictiveModelMonitoring")
        .field("binning", "List[AttributeBinningType]")
        .field("predictive_model_output_binning", "Optional[AttributeBinningType]")
        .create();
}

}  // namespace

KELVANE_MODULE(surveillance, "kelvane_analytics_utils.predictive_models.surveillance.surveillance", declare)
