#include "frame/fields.hpp"

namespace kelvane {

void RecordFields::init(const std::vector<const char *> &names) {
    if (names.size() > static_cast<std::size_t>(max_fields)) {
        PyErr_SetString(PyExc_SystemError, "too many record fields named for direct reading");
        throw_error();
    }
    n_fields_ = 0;
    for (const char *name : names) {
        by_attribute_.slot[n_fields_].key = intern(name);   // the intern table keeps it alive
        by_attribute_.slot[n_fields_].position = -1;
        ++n_fields_;
    }
    by_attribute_.direct = false;
    by_attribute_.dict_offset = 0;
}

void RecordFields::check_dict_entries(PyObject *dict) {
    Py_ssize_t n = 0;
    PyObject *const *entries = dict_entries(dict, &n);
    if (!entries) return;   // read through PyDict_Next
    Py_ssize_t pos = 0, at = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        // Entries that PyDict_Next passed over were deleted.
        for (; at < pos - 1; ++at)
            if (entries[2 * at]) entries_in_place = false;
        if (at >= n || entries[2 * at] != key || entries[2 * at + 1] != value) entries_in_place = false;
        ++at;
    }
    for (; at < n; ++at)
        if (entries[2 * at]) entries_in_place = false;
}

void RecordFields::trust(nb::handle cls) {
    if (!PyType_Check(cls.ptr())) {
        PyErr_SetString(PyExc_TypeError, "only classes can be trusted for direct field reading");
        throw_error();
    }
    if (n_classes_ == max_classes) {
        PyErr_SetString(PyExc_SystemError, "too many record classes trusted for direct field reading");
        throw_error();
    }
    const int i = n_classes_;
    types_[i] = reinterpret_cast<PyTypeObject *>(Py_NewRef(cls.ptr()));
    Layout &layout = layouts_[i];
    layout = by_attribute_;
    layout.direct = true;
    layout.dict_offset = 0;
    for (int f = 0; f < n_fields_; ++f) Py_INCREF(layout.slot[f].key);
    learned_[i] = false;
    ++n_classes_;
}

bool RecordFields::reprove(int i) {
    Layout &layout = layouts_[i];
    for (int f = 0; f < n_fields_; ++f)
        if (!read_from_instance_dict(types_[i], by_attribute_.slot[f].key)) return false;
    layout.proof.prove(types_[i]);
    return layout.proof.tag != 0;
}

void RecordFields::learn(PyObject *record) {
    PyTypeObject *t = Py_TYPE(record);
    for (int i = 0; i < n_classes_; ++i)
        if (types_[i] == t && !learned_[i]) learn_class(i, record);
}

// Walks the dict once; for each field the first key with the field's text
// gives the key object and the entry index to look at. Runs no Python code
// (the keys compared are exact str objects).
void RecordFields::learn_class(int i, PyObject *record) {
    PyObject **dictptr = _PyObject_GetDictPtr(record);
    PyObject *dict = dictptr ? *dictptr : nullptr;
    if (!dict) return;   // learn from a later record
    Layout &layout = layouts_[i];
    layout.dict_offset = reinterpret_cast<char *>(dictptr) - reinterpret_cast<char *>(record);
    check_dict_entries(dict);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) continue;
        for (int f = 0; f < n_fields_; ++f) {
            if (layout.slot[f].position < 0 && PyUnicode_Compare(key, by_attribute_.slot[f].key) == 0) {
                Py_SETREF(layout.slot[f].key, Py_NewRef(key));
                layout.slot[f].position = pos - 1;   // the index of the entry just read
            }
        }
    }
    learned_[i] = true;
}

}  // namespace kelvane
