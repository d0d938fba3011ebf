// Dummy encoding: the check of the encoding records and
// `AttributePreprocessing.apply_dummy_encoding`, which expands one value of
// a categorical attribute into 0/1 features.
//
// The usual encoding is a list of plain single-value encodings (exact-str
// feature names, bool flags, values the argument compares with without
// running code): it is answered from a mapping of its features at 0, made
// once per list of feature names and kept for the next calls. Anything else
// takes the general path, which reads the fields and compares the values as
// the host does.
#include "modules/preparation/state.hpp"

#include <vector>

namespace kelvane::preparation {

namespace {

void set_item(nb::handle d, nb::handle key, nb::handle value) {
    if (PyDict_SetItem(d.ptr(), key.ptr(), value.ptr()) < 0) throw_error();
}

// Built-in scalars whose comparisons run no code of the caller's.
inline bool plain_scalar(PyObject *o) {
    return PyLong_CheckExact(o) || PyFloat_CheckExact(o) || PyBool_Check(o) || o == Py_None;
}

enum class Match { No, Yes, Unknown };

// attribute_value == value when it can be told without running code;
// Unknown when the general comparison must decide. Never fails.
Match try_match(PyObject *attribute_value, PyObject *value) {
    const bool text_a = PyUnicode_CheckExact(attribute_value), text_v = PyUnicode_CheckExact(value);
    if (text_a && text_v) {
        // The hash of an encoded value is computed once and kept by the string
        // itself; later calls then tell most values apart by hash alone.
        if (reinterpret_cast<PyASCIIObject *>(value)->hash == -1) (void)PyObject_Hash(value);
        return str_equal(attribute_value, value) ? Match::Yes : Match::No;
    }
    if (text_a) return plain_scalar(value) ? Match::No : Match::Unknown;
    if (text_v) return plain_scalar(attribute_value) ? Match::No : Match::Unknown;
    if (plain_scalar(attribute_value) && plain_scalar(value)) {
        // Built-in numbers, bools and None compare without running code or failing.
        const int r = host_eq(attribute_value, value);
        if (r >= 0) return r ? Match::Yes : Match::No;
        PyErr_Clear();
    }
    return Match::Unknown;
}

// bool(attribute_value == value): the host's equality, so 1 == 1.0 and "1" != 1.
bool value_matches(PyObject *attribute_value, PyObject *value) {
    const Match m = try_match(attribute_value, value);
    if (m != Match::Unknown) return m == Match::Yes;
    return equals(attribute_value, value);
}

// The features at 0 of one list of feature names.
struct DummyTemplate {
    std::vector<nb::object> names;     // the feature names in list order
    nb::object zeros;                  // {name: 0} in first-seen order
    std::vector<nb::object> one_hot;   // per entry (distinct names): zeros with that name at 1, made on use
    bool distinct = false;             // one key per entry
};
constexpr Py_ssize_t kPlainMax = 64;
struct Templates {
    DummyTemplate slot[4];
    unsigned next = 0;
    unsigned last = 0;   // the slot found or made last: tried first, inside the reading loop
};
// Kept to the end of the process, like the module state: nothing is
// released after the interpreter has gone.
Forever<Templates> templates;

// `features` are borrowed by the caller and must stay valid until the
// template holds them: the names are held before anything is allocated.
DummyTemplate &template_for(PyObject *const *features, Py_ssize_t n) {
    Templates &all = templates.value;
    for (DummyTemplate &t : all.slot) {
        if (static_cast<Py_ssize_t>(t.names.size()) != n || !t.zeros.is_valid()) continue;
        Py_ssize_t i = 0;
        while (i < n && t.names[i].ptr() == features[i]) ++i;
        if (i == n) {
            all.last = static_cast<unsigned>(&t - all.slot);
            return t;
        }
    }
    std::vector<nb::object> names;
    names.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) names.push_back(nb::borrow(features[i]));
    nb::object zeros = check(_PyDict_NewPresized(n));
    for (Py_ssize_t i = 0; i < n; ++i) set_item(zeros, names[i], S.zero);
    all.last = all.next++ % 4;
    DummyTemplate &t = all.slot[all.last];
    t.names = std::move(names);
    t.distinct = PyDict_GET_SIZE(zeros.ptr()) == n;
    t.one_hot.assign(t.distinct ? static_cast<std::size_t>(n) : 0, nb::object());
    t.zeros = std::move(zeros);
    return t;
}

struct Encoded {
    nb::object dummies;   // empty: the encoding is not plain, nothing was done
    bool found = false;   // a feature was set to 1
    nb::object marked;    // the feature marked use_for_undefined, if any
};

Encoded try_encode_plain(PyObject *entries, PyObject *attribute_value) {
    const Py_ssize_t n = PyList_GET_SIZE(entries);
    if (n > kPlainMax) return {};
    PyObject *features[kPlainMax];
    bool hits[kPlainMax];
    Py_ssize_t marked = -1, only = -1, count = 0;
    // The template used last, compared name by name while the entries are
    // read (no second pass over the names when the encoding is the same).
    DummyTemplate *last = &templates.value.slot[templates.value.last];
    bool same = static_cast<Py_ssize_t>(last->names.size()) == n && last->zeros.is_valid();
    // A text value is told apart from the encoded texts by their hashes, which
    // each string computes once and keeps.
    const bool text = PyUnicode_CheckExact(attribute_value);
    const Py_hash_t hash = text ? str_hash(attribute_value) : -1;
    // Borrowed entries and fields: reading and comparing them runs no Python code.
    RecordRun fields(F);
    for (Py_ssize_t i = 0; i < n; ++i) {
        fields.next(PyList_GET_ITEM(entries, i));
        PyObject *value = fields[VALUE];
        PyObject *use = fields[USE_FOR_UNDEFINED];
        PyObject *feature = fields[ENCODED_FEATURE_NAME];
        if (!value || !feature || (use != Py_True && use != Py_False) || !PyUnicode_CheckExact(feature)) return {};
        Match hit;
        if (text && PyUnicode_CheckExact(value))
            hit = value == attribute_value || (str_hash(value) == hash && str_equal(value, attribute_value)) ? Match::Yes
                                                                                                         : Match::No;
        else
            hit = try_match(attribute_value, value);
        if (hit == Match::Unknown) return {};
        features[i] = feature;
        hits[i] = hit == Match::Yes;
        if (hits[i]) only = i, ++count;
        if (use == Py_True) marked = i;
        same = same && last->names[i].ptr() == feature;
    }
    // Nothing above ran Python code or changed the templates: `last` still
    // holds these very names when `same`.
    DummyTemplate &t = same ? *last : template_for(features, n);   // holds the names from here on
    Encoded out;
    if (marked >= 0) out.marked = t.names[marked];
    if (count == 1 && t.distinct) {   // the usual case: one feature at 1
        nb::object &one_hot = t.one_hot[only];
        if (!one_hot.is_valid()) {
            nb::object d = check(PyDict_Copy(t.zeros.ptr()));
            set_item(d, t.names[only], S.one);
            one_hot = std::move(d);
        }
        out.dummies = check(PyDict_Copy(one_hot.ptr()));
        out.found = true;
        return out;
    }
    nb::object result = check(PyDict_Copy(t.zeros.ptr()));
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (hits[i]) {
            set_item(result, t.names[i], S.one);
            out.found = true;
        } else if (!t.distinct) {
            set_item(result, t.names[i], S.zero);   // a shared name keeps the last write
        }
    }
    out.dummies = std::move(result);
    return out;
}

}  // namespace

nb::object apply_dummy_encoding(Args a) {
    PyObject *self = a.get(0), *attribute = a.get(1), *attribute_value = a.get(2);
    nb::object encodings = field(self, DUMMY_ENCODING);
    nb::object encoding = first_with_attribute(encodings.ptr(), attribute);
    if (encoding.is_none()) {
        S.log(S.str_warning, check(PyUnicode_FromFormat("No dummy encoding for %U was found.", attribute)));
        return none();
    }
    nb::object entries = field(encoding.ptr(), ENCODING);
    const bool listed = PyList_CheckExact(entries.ptr());
    nb::object dummies;
    bool dummy_found = false;
    nb::object default_value = none();

    // One single-value encoding, in the order its fields are read.
    auto visit = [&](nb::handle single) {
        nb::object value = field(single.ptr(), VALUE);
        nb::object use_for_undefined = field(single.ptr(), USE_FOR_UNDEFINED);
        if (truthy(use_for_undefined)) default_value = field(single.ptr(), ENCODED_FEATURE_NAME);
        const bool hit = value_matches(attribute_value, value.ptr());
        nb::object feature = field(single.ptr(), ENCODED_FEATURE_NAME);
        set_item(dummies, feature, hit ? S.one : S.zero);
        dummy_found = dummy_found || hit;
        return false;
    };
    Encoded plain = listed ? try_encode_plain(entries.ptr(), attribute_value) : Encoded{};
    if (plain.dummies.is_valid()) {
        dummies = std::move(plain.dummies);
        dummy_found = plain.found;
        if (plain.marked.is_valid()) default_value = std::move(plain.marked);
    } else if (!listed) {
        dummies = check(PyDict_New());
        each(entries, visit);
    } else {
        dummies = check(PyDict_New());
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.ptr()); ++i) {
            // Borrowed: plain fields and a comparison that runs no code need no references.
            PyObject *single = PyList_GET_ITEM(entries.ptr(), i);
            PyObject *value = entry(single, VALUE);
            PyObject *use = entry(single, USE_FOR_UNDEFINED);
            PyObject *feature = entry(single, ENCODED_FEATURE_NAME);
            Match hit = Match::Unknown;
            if (value && feature && (use == Py_True || use == Py_False) && PyUnicode_CheckExact(feature))
                hit = try_match(attribute_value, value);
            if (hit == Match::Unknown) {
                visit(nb::borrow(single));
                continue;
            }
            if (use == Py_True) default_value = nb::borrow(feature);
            set_item(dummies, feature, hit == Match::Yes ? S.one : S.zero);
            dummy_found = dummy_found || hit == Match::Yes;
        }
    }
    if (dummy_found) return dummies;
    if (truthy(default_value)) {
        set_item(dummies, default_value, S.one);
        // Joined as text: a feature name that is not a str fails as the concatenation does.
        nb::object head = check(PyUnicode_FromFormat(
            "Dummy encoding for value '%S' of attribute '%U' is not defined. Default value '", attribute_value, attribute));
        S.log(S.str_info, add(head, default_value, nb::str("' was assigned with 1.")));
        return dummies;
    }
    S.log(S.str_warning,
          check(PyUnicode_FromFormat("Dummy encoding for value '%S' of attribute '%U' is not defined and no default "
                                     "value was assigned. All dummies for given attribute are assigned with 0.",
                                     attribute_value, attribute)));
    return dummies;
}

nb::object check_created_attribute_naming(Args a) {
    PyObject *self = a.get(0);
    nb::object attribute = field(self, ATTRIBUTE);
    each(field(self, ENCODING), [&](nb::handle single) {
        if (!equals(field(single.ptr(), ENCODED_FEATURE_NAME), attribute)) return false;
        nb::object message = add(nb::str("Features created by dummy encoding in predictive model cannot be named the "
                                          "same as feature that is being encoded. This rule is broken for feature '"),
                                  attribute, nb::str("'"));
        PyErr_SetObject(PyExc_ValueError, message.ptr());
        throw_error();
    });
    return nb::borrow(self);
}

}  // namespace kelvane::preparation
