// `AttributePreprocessing.apply_preprocessing`: one scoring record prepared in
// one call. The result is what this loop over the per-attribute methods
// builds, with the same log events and errors:
//
//     out = {}
//     for binning in self.binning:                  # first binning of each attribute
//         out[binning.binned_attribute_name or binning.attribute]  (when set)
//             = self.apply_discretisation(attribute, values.get(attribute))
//     for encoding in self.dummy_encoding:          # first encoding of each attribute
//         out.update(self.apply_dummy_encoding(attribute, values.get(attribute)))
//
// The binning that apply_discretisation would look up is the first one of the
// attribute in `binning`. While the walk is still "quiet" (no Python code has
// run since the call began, so the records, their lists and the methods are
// as they were), the binning at hand is that first one: it is binned directly,
// without a lookup per attribute. Once anything may have run code (a log
// event, a field read by attribute access, an unusual value or bin, an
// overridden method), each attribute goes through exactly what the
// per-attribute method does, reading the records afresh. Nothing is kept
// between calls.
#include "modules/preparation/state.hpp"

#include <vector>

namespace kelvane::preparation {

namespace {

// The attributes already prepared, compared as `attribute == earlier` is:
// exact strings by text through a hash table, anything else by the host's
// equality against each earlier attribute in order. Holds its attributes.
class Seen {
public:
    explicit Seen(Py_ssize_t expected) { items_.reserve(static_cast<std::size_t>(expected)); }

    // Whether an equal attribute was seen: 1, 0, or -1 with an error set.
    // Sets *quiet to false when a comparison may have run Python code.
    int contains(PyObject *attribute, bool *quiet) {
        if (PyUnicode_CheckExact(attribute) && all_text_) {
            const Py_hash_t h = PyObject_Hash(attribute);   // exact str: no Python code, cached
            if (slots_.empty()) return 0;
            for (std::size_t i = static_cast<std::size_t>(h) & mask_;; i = (i + 1) & mask_) {
                const int k = slots_[i];
                if (k < 0) return 0;
                if (hashes_[k] == h && str_equal(items_[k].ptr(), attribute)) return 1;
            }
        }
        for (const nb::object &earlier : items_) {
            int r;
            if (PyUnicode_CheckExact(attribute) && PyUnicode_CheckExact(earlier.ptr())) {
                r = str_equal(attribute, earlier.ptr());
            } else {
                *quiet = false;
                r = host_eq(attribute, earlier.ptr());
            }
            if (r != 0) return r;
        }
        return 0;
    }

    void add(nb::handle attribute) {
        const int k = static_cast<int>(items_.size());
        items_.push_back(nb::borrow(attribute));
        if (!PyUnicode_CheckExact(attribute.ptr())) {
            all_text_ = false;
            hashes_.push_back(-1);
            return;
        }
        hashes_.push_back(PyObject_Hash(attribute.ptr()));
        if (2 * items_.size() > slots_.size()) {
            rehash(slots_.empty() ? 64 : 2 * slots_.size());
        } else {
            insert(k);
        }
    }

private:
    void insert(int k) {
        std::size_t i = static_cast<std::size_t>(hashes_[k]) & mask_;
        while (slots_[i] >= 0) i = (i + 1) & mask_;
        slots_[i] = k;
    }
    void rehash(std::size_t size) {
        slots_.assign(size, -1);
        mask_ = size - 1;
        for (int k = 0; k < static_cast<int>(items_.size()); ++k)
            if (hashes_[k] != -1) insert(k);
    }

    std::vector<nb::object> items_;
    std::vector<Py_hash_t> hashes_;
    std::vector<int> slots_;   // indexes into items_, -1 for an empty slot
    std::size_t mask_ = 0;
    bool all_text_ = true;
};

// record.<f>: read from its place in the record's dict when it is there (no
// code runs); otherwise read as the host would, and the walk is no longer quiet.
nb::object read(PyObject *record, Field f, bool &quiet) {
    if (PyObject *v = entry(record, f)) return nb::borrow(v);
    quiet = false;
    return field(record, f);
}

// values.get(attribute).
nb::object value_for(PyObject *values, PyObject *attribute, bool &quiet) {
    if (!PyUnicode_CheckExact(attribute)) quiet = false;   // its hash or equality may run code
    PyObject *v;
    const int found = PyDict_GetItemRef(values, attribute, &v);
    if (found < 0) throw_error();
    return found ? nb::steal(v) : none();
}

// Whether every key of the mapping is an exact str: looking any exact str up
// in it then runs no Python code.
bool text_keys_only(PyObject *values) {
    Py_ssize_t n;
    if (RecordFields::dict_entries(values, &n)) return true;   // a table of exact-str keys only
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(values, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key)) return false;
    return true;
}

// Calls step(item) for each item of `list` as a for loop over it would.
template <class Step>
void walk(nb::handle list, bool &quiet, Step &&step) {
    if (!PyList_CheckExact(list.ptr())) quiet = false;   // its iterator may run code
    each(list, [&](nb::handle item) {
        step(item.ptr());
        return false;
    });
}

void require_text(PyObject *attribute) {
    if (PyUnicode_CheckExact(attribute)) return;
    raise_argument_type("attribute", "str", attribute);
    throw_error();
}

// Whether AttributeBinning's lookups are the class's own, for binnings of
// exactly that class whose dicts hold nothing but their fields (own_lookups).
bool class_lookups_plain() {
    PyTypeObject *t = reinterpret_cast<PyTypeObject *>(S.AttributeBinning.ptr());
    return plain_instance_lookup(t) && _PyType_Lookup(t, S.str_bin_numeric_attribute) == S.bin_numeric_attribute.ptr() &&
           _PyType_Lookup(t, S.str_bin_categoric_attribute) == S.bin_categoric_attribute.ptr();
}

// Whether a binning's lookups are its class's own (as method_is answers),
// told from its dict: a binning of exactly the class whose dict holds its
// fields at their places and nothing else has no lookup of its own there.
// `plain_class`: class_lookups_plain(), asked once while nothing runs code.
bool own_lookups(PyObject *binning, bool plain_class) {
    if (!plain_class || Py_TYPE(binning) != reinterpret_cast<PyTypeObject *>(S.AttributeBinning.ptr())) return false;
    PyObject *dict = F.dict_of(binning, F.layout_of(binning));
    return dict && PyDict_GET_SIZE(dict) == S.binning_fields && S.binning_fields == 4 && entry(binning, ATTRIBUTE) &&
           entry(binning, ATTRIBUTE_DATA_TYPE) && entry(binning, DISCRETISATION) && entry(binning, BINNED_ATTRIBUTE_NAME);
}

// The four fields of a binning that own_lookups accepts, read at once from
// its dict's entries: borrowed, valid while no Python code runs.
struct BinningFields {
    PyObject *attribute, *binned_attribute_name, *data_type, *discretisation;
};

// Reads them when own_lookups(binning, plain_class) holds and every field is
// at its place; false otherwise (the fields are then read one by one). Runs
// no Python code.
bool try_binning_fields(PyObject *binning, bool plain_class, BinningFields *out) {
    if (!plain_class || Py_TYPE(binning) != reinterpret_cast<PyTypeObject *>(S.AttributeBinning.ptr())) return false;
    const RecordFields::Layout &layout = F.layout_of(binning);
    if (!layout.direct || S.binning_fields != 4) return false;
    PyObject *dict = RecordFields::dict_of(binning, layout);
    Py_ssize_t n;
    PyObject *const *entries = dict ? RecordFields::dict_entries(dict, &n) : nullptr;
    if (!entries || PyDict_GET_SIZE(dict) != 4) return false;
    out->attribute = RecordFields::at_entry(entries, n, layout, ATTRIBUTE);
    out->binned_attribute_name = RecordFields::at_entry(entries, n, layout, BINNED_ATTRIBUTE_NAME);
    out->data_type = RecordFields::at_entry(entries, n, layout, ATTRIBUTE_DATA_TYPE);
    out->discretisation = RecordFields::at_entry(entries, n, layout, DISCRETISATION);
    return out->attribute && out->binned_attribute_name && out->data_type && out->discretisation;
}

// The bin value of `value` straight from the binning's fields, when its data
// type is a member of the enum and its bins are plain; an empty object when
// discretise must answer (a value of the wrong type included: it raises).
// Runs no Python code.
nb::object try_bin_directly(const BinningFields &b, PyObject *value) {
    const bool numeric = b.data_type == S.NUMERICAL.ptr();
    if ((!numeric && b.data_type != S.CATEGORICAL.ptr()) || !PyList_CheckExact(b.discretisation)) return {};
    nb::object r = try_scan_bins(b.discretisation, numeric, value);
    if (r.is_valid() && !r.is_none() && !PyFloat_CheckExact(r.ptr())) return {};
    return r;
}

void bin_attributes(PyObject *self, PyObject *values, PyObject *out, bool &quiet) {
    // While quiet, the record's methods stay the ones checked here.
    if (!method_is(self, S.str_apply_discretisation, S.apply_discretisation) ||
        !method_is(self, S.str_get_discretisation, S.get_discretisation))
        quiet = false;
    const bool plain_class = class_lookups_plain();
    nb::object list = read(self, BINNING, quiet);
    Seen seen(PyList_CheckExact(list.ptr()) ? PyList_GET_SIZE(list.ptr()) : 0);
    walk(list, quiet, [&](PyObject *binning) {
        BinningFields fields{};
        const bool direct = quiet && try_binning_fields(binning, plain_class, &fields);
        nb::object attribute = direct ? nb::borrow(fields.attribute) : read(binning, ATTRIBUTE, quiet);
        const int repeated = seen.contains(attribute.ptr(), &quiet);
        if (repeated < 0) throw_error();
        if (repeated) return;
        seen.add(attribute);
        // (The comparison above may have run code for an attribute that is not a str.)
        nb::object name = direct && quiet ? nb::borrow(fields.binned_attribute_name)
                                          : read(binning, BINNED_ATTRIBUTE_NAME, quiet);
        nb::object value = value_for(values, attribute.ptr(), quiet);
        nb::object result;
        if (quiet) {
            // Nothing has run since the walk began: this binning is the first of
            // its attribute in self.binning, the one the lookup would answer,
            // and the fields read directly are still the binning's.
            require_text(attribute.ptr());
            if (direct) result = try_bin_directly(fields, value.ptr());
            if (!result.is_valid())
                result = discretise(binning, attribute.ptr(), value.ptr(), &quiet,
                                    direct || own_lookups(binning, plain_class));
        } else if (method_is(self, S.str_apply_discretisation, S.apply_discretisation)) {
            require_text(attribute.ptr());
            nb::object found = discretisation_of(self, attribute.ptr());
            result = discretise(found.ptr(), attribute.ptr(), value.ptr(), &quiet);
        } else {
            result = call_method(S.str_apply_discretisation, self, attribute, value);
        }
        PyObject *key = name.is_none() ? attribute.ptr() : name.ptr();
        if (!PyUnicode_CheckExact(key)) quiet = false;
        if (PyDict_SetItem(out, key, result.ptr()) < 0) throw_error();
    });
}

void encode_attributes(PyObject *self, PyObject *values, PyObject *out, bool &quiet) {
    nb::object list = read(self, DUMMY_ENCODING, quiet);
    Seen seen(PyList_CheckExact(list.ptr()) ? PyList_GET_SIZE(list.ptr()) : 0);
    walk(list, quiet, [&](PyObject *encoding) {
        nb::object attribute = read(encoding, ATTRIBUTE, quiet);
        const int repeated = seen.contains(attribute.ptr(), &quiet);
        if (repeated < 0) throw_error();
        if (repeated) return;
        seen.add(attribute);
        nb::object value = value_for(values, attribute.ptr(), quiet);
        nb::object dummies;
        if (method_is(self, S.str_apply_dummy_encoding, S.apply_dummy_encoding)) {
            require_text(attribute.ptr());
            PyObject *const argv[] = {self, attribute.ptr(), value.ptr()};
            dummies = apply_dummy_encoding(Args{argv});
        } else {
            dummies = call_method(S.str_apply_dummy_encoding, self, attribute, value);
        }
        quiet = false;   // the encoding may have logged
        if (PyDict_CheckExact(dummies.ptr())) {
            if (PyDict_Update(out, dummies.ptr()) < 0) throw_error();
        } else {
            call_method(S.str_update, nb::handle(out), dummies);   // what out.update(...) says of it
        }
    });
}

}  // namespace

nb::object apply_preprocessing(Args a) {
    PyObject *self = a.get(0), *values = a.get(1);
    // Sized for the usual record: one entry per binning and per dummy feature.
    nb::object out = check(_PyDict_NewPresized(PyDict_GET_SIZE(values)));
    bool quiet = text_keys_only(values);
    bin_attributes(self, values, out.ptr(), quiet);
    encode_attributes(self, values, out.ptr(), quiet);
    return out;
}

}  // namespace kelvane::preparation
