// kelvane_analytics_utils.predictive_models.surveillance.surveillance
//
// The binnings kept to monitor a deployed model, and the lookup of the bin
// record an observed value falls in. Unlike the assignment of the binning
// module, the lookup answers the bin record, logs nothing, does not set the
// reserved bins apart in the regular scan, skips bins with a missing bound or
// without categories, and uses the last binning of an attribute.
#include "frame/frame.hpp"
#include "modules/bin_scan.hpp"

#include <cmath>

namespace {

using namespace kelvane;
using bins::Ref;

enum Reserved { DEFAULT = 0, DEFINED_DEFAULT = 1, SYSTEM_DEFAULT = 2, NULL_BIN = 3, N_RESERVED = 4 };

struct State {
    PyObject *categorical = nullptr, *numerical = nullptr;
    PyObject *reserved_text[N_RESERVED] = {};
    PyObject *reserved_member[N_RESERVED] = {};
    PyObject *numerical_text = nullptr, *categorical_text = nullptr;   // data type values
    PyObject *numerical_member = nullptr, *categorical_member = nullptr;
    PyObject *nan_text = nullptr;
};
State S;
RecordFields F;

PyObject *keep(nb::handle h) { return Py_NewRef(h.ptr()); }


// 1 when the bin's name is one of the reserved names first..last-1, 0, or -1.
int is_reserved(RecordReader &r, int first, int last) {
    PyObject *name = r.read(bins::NAME);
    if (!name) return -1;
    for (int i = first; i < last; ++i) {
        int res = bins::equals(r, name, S.reserved_text[i], S.reserved_member[i]);
        if (res) return res;
    }
    return 0;
}

// The first bin whose name is one of first..last-1: 1 (bin in *out), 0, -1.
int find_named(PyObject *list, int first, int last, PyObject **out) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        RecordReader r(F, PyList_GET_ITEM(list, i));
        int res = is_reserved(r, first, last);
        if (res < 0) return -1;
        if (res) {
            *out = Py_NewRef(r.record());
            return 1;
        }
    }
    return 0;
}

// The first numeric bin, whatever its name, with both bounds and
// lower < value <= upper.
int find_interval(PyObject *list, bins::FloatValue &value, PyObject **out) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        RecordReader r(F, PyList_GET_ITEM(list, i));
        int k = bins::kind_is(r, S.numerical, S.categorical);
        if (k <= 0) {
            if (k < 0) return -1;
            continue;
        }
        PyObject *lower = r.read(bins::LOWER_BOUND);
        if (!lower) return -1;
        if (lower == Py_None) continue;
        PyObject *upper = r.read(bins::UPPER_BOUND);
        if (!upper) return -1;
        if (upper == Py_None) continue;
        int hit = bins::in_interval(r, lower, upper, value);
        if (hit < 0) return -1;
        if (hit) {
            *out = Py_NewRef(r.record());
            return 1;
        }
    }
    return 0;
}

// The first categorical bin, whatever its name, whose categories hold the
// value (no categories: no match).
int find_category(PyObject *list, PyObject *value, PyObject **out) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        RecordReader r(F, PyList_GET_ITEM(list, i));
        int k = bins::kind_is(r, S.categorical, S.numerical);
        if (k <= 0) {
            if (k < 0) return -1;
            continue;
        }
        PyObject *categories = r.read(bins::CATEGORIES);
        if (!categories) return -1;
        if (categories == Py_None) continue;
        int hit = bins::contains(r, categories, value);
        if (hit < 0) return -1;
        if (hit) {
            *out = Py_NewRef(r.record());
            return 1;
        }
    }
    return 0;
}

PyObject *bins_of(PyObject *binning) {
    Ref d(F.get(binning, bins::DISCRETISATION));
    if (!d) throw_error();
    PyObject *list = bins::bin_list(d.p);
    if (!list) throw_error();
    return list;
}

nb::object answer(int r, PyObject *bin, PyObject *list) {
    if (r < 0) throw_error();
    if (r) return nb::steal(bin);
    r = find_named(list, DEFAULT, NULL_BIN, &bin);
    if (r < 0) throw_error();
    return r ? nb::steal(bin) : none();
}

// value: a float or None (checked by the caller).
nb::object numerical_bin(PyObject *binning, PyObject *value) {
    const double v = value == Py_None ? NAN : PyFloat_AS_DOUBLE(value);
    Ref list(bins_of(binning));
    PyObject *bin = nullptr;
    bins::FloatValue fv(v, value == Py_None ? nullptr : value);
    int r = std::isnan(v) ? find_named(list.p, NULL_BIN, N_RESERVED, &bin) : find_interval(list.p, fv, &bin);
    return answer(r, bin, list.p);
}

// str(value) == "nan", None included.
int is_missing(PyObject *value) {
    if (value == Py_None) return 1;
    if (PyUnicode_CheckExact(value)) return bins::text_equal(value, S.nan_text);
    if (PyFloat_CheckExact(value)) return std::isnan(PyFloat_AS_DOUBLE(value));
    Ref text(PyObject_Str(value));
    if (!text) return -1;
    return bins::equals(text.p, S.nan_text, S.nan_text);
}

nb::object categorical_bin(PyObject *binning, PyObject *value) {
    int missing = is_missing(value);
    if (missing < 0) throw_error();
    Ref list(bins_of(binning));
    PyObject *bin = nullptr;
    int r = missing ? find_named(list.p, NULL_BIN, N_RESERVED, &bin) : find_category(list.p, value, &bin);
    return answer(r, bin, list.p);
}

nb::object get_numerical_bin(Args a) { return numerical_bin(a.get(0), a.get(1)); }
nb::object get_categorical_bin(Args a) { return categorical_bin(a.get(0), a.get(1)); }

// binning.attribute == attribute (an exact str), 1, 0 or -1.
int same_attribute(RecordReader &r, PyObject *attribute) {
    PyObject *own = r.read(bins::ATTRIBUTE);
    if (!own) return -1;
    return bins::equals(r, own, attribute, attribute);
}
int same_attribute(PyObject *binning, PyObject *attribute) {
    RecordReader r(F, binning);
    return same_attribute(r, attribute);
}

PyObject *binnings_of(PyObject *self) {
    Ref b(F.get(self, bins::BINNING));
    if (!b) throw_error();
    return b.release();
}

nb::object get_discretisation(Args a) {
    PyObject *self = a.get(0), *attribute = a.get(1), *dtype = a.get(2), *value = a.get(3);
    Ref binnings(binnings_of(self));
    if (binnings.p == Py_None) return none();
    Ref list(bins::bin_list(binnings.p));
    if (!list) throw_error();
    Ref found(nullptr);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.p); ++i) {
        RecordReader binning(F, PyList_GET_ITEM(list.p, i));
        int r = same_attribute(binning, attribute);
        if (r < 0) throw_error();
        if (r) Py_XSETREF(found.p, Py_NewRef(binning.record()));
    }
    if (!found) return none();
    int r = bins::equals(dtype, S.numerical_text, S.numerical_member);
    if (r < 0) throw_error();
    if (r) {
        if (!passes(core::ExactType::Float, true, value)) {
            raise_argument_type("value", "float", value);
            throw_error();
        }
        return numerical_bin(found.p, value);
    }
    r = bins::equals(dtype, S.categorical_text, S.categorical_member);
    if (r < 0) throw_error();
    if (r) return categorical_bin(found.p, value);
    return none();
}

nb::object discretisation_exists(Args a) {
    PyObject *self = a.get(0), *attribute = a.get(1);
    Ref binnings(binnings_of(self));
    Ref it(PyObject_GetIter(binnings.p));
    if (!it) throw_error();
    while (PyObject *b = PyIter_Next(it.p)) {
        Ref binning(b);
        int r = same_attribute(b, attribute);
        if (r < 0) throw_error();
        if (r) return nb::bool_(true);
    }
    if (PyErr_Occurred()) throw_error();
    return nb::bool_(false);
}

// Removes every binning of the attribute from the list itself, keeping the
// order of the others (adjacent binnings of the attribute included).
nb::object remove_discretisation(Args a) {
    PyObject *self = a.get(0), *attribute = a.get(1);
    Ref binnings(binnings_of(self));
    Ref items(PySequence_List(binnings.p));
    if (!items) throw_error();
    Ref kept(PyList_New(0));
    if (!kept) throw_error();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.p); ++i) {
        PyObject *b = PyList_GET_ITEM(items.p, i);
        int r = same_attribute(b, attribute);
        if (r < 0) throw_error();
        if (!r && PyList_Append(kept.p, b) < 0) throw_error();
    }
    if (PyList_GET_SIZE(kept.p) == PyList_GET_SIZE(items.p)) return none();
    if (PyList_Check(binnings.p)) {
        if (PyList_SetSlice(binnings.p, 0, PyList_GET_SIZE(binnings.p), kept.p) < 0) throw_error();
    } else {
        // Another mutable sequence: delete the removed positions, last first.
        for (Py_ssize_t i = PyList_GET_SIZE(items.p); i-- > 0;) {
            int r = same_attribute(PyList_GET_ITEM(items.p, i), attribute);
            if (r < 0) throw_error();
            if (r && PySequence_DelItem(binnings.p, i) < 0) throw_error();
        }
    }
    return none();
}

void declare(Module &m) {
    bins::name_fields(F);

    m.import_from("typing", {"List", "Optional", "Union"});
    m.import("math");
    m.import("strawberry");
    m.import_from("kelvane_analytics_utils.predictive_models.preparation.discretisation",
                  {"AbstractAttributeBin", "AttributeBinning", "AttributeBinNumerical", "AttributeBinCategorical",
                   "AttributeBinningType", "AttributeDataType", "PredictiveModelBinName"});
    m.import_from("kelvane_analytics_utils.utils.base_model", {"BaseModel"});

    S.numerical = keep(m.get("AttributeBinNumerical"));
    S.categorical = keep(m.get("AttributeBinCategorical"));
    nb::object names = m.get("PredictiveModelBinName");
    const char *members[N_RESERVED] = {"DEFAULT", "DEFINED_DEFAULT", "SYSTEM_DEFAULT", "NULL"};
    const char *values[N_RESERVED] = {"0_default", "0_defined_default", "0_system_default", "1_null"};
    for (int i = 0; i < N_RESERVED; ++i) {
        S.reserved_member[i] = keep(names.attr(members[i]));
        S.reserved_text[i] = check(PyUnicode_InternFromString(values[i])).release().ptr();
    }
    nb::object dtypes = m.get("AttributeDataType");
    S.numerical_member = keep(dtypes.attr("NUMERICAL"));
    S.categorical_member = keep(dtypes.attr("CATEGORICAL"));
    S.numerical_text = check(PyUnicode_InternFromString("NUMERICAL")).release().ptr();
    S.categorical_text = check(PyUnicode_InternFromString("CATEGORICAL")).release().ptr();
    S.nan_text = check(PyUnicode_InternFromString("nan")).release().ptr();

    F.trust(S.numerical);
    F.trust(S.categorical);
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

    m.view("PredictiveModelMonitoringType", "PredictiveModelMonitoring")
        .field("binning", "List[AttributeBinningType]")
        .field("predictive_model_output_binning", "Optional[AttributeBinningType]")
        .create();
}

}  // namespace

KELVANE_MODULE(surveillance, "kelvane_analytics_utils.predictive_models.surveillance.surveillance", declare)
