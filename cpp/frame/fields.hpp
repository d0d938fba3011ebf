// Reading record fields straight from the instance dict, for hot paths.
//
// A record keeps its field values in its instance dict. The record base
// builds every instance dict of a class with the same key strings, in field
// order, and those strings are not the interned names the modules hold: a
// plain dict lookup would hash, probe and compare texts on every read. So the
// key object and the position of each field are learned from the first record
// of each class, and a read looks at that one entry of the dict:
//
//   - the entry is taken only when its key is that very key object (an
//     identity test). Keys are unique in a dict, so the entry found is then
//     the field's entry whatever happened to the dict since (a field deleted,
//     a dict rebuilt in another order, a record made some other way);
//   - otherwise the read falls back to a lookup of the key in the dict, and
//     when the dict does not hold it, to attribute access (which also gives
//     the AttributeError of a record without the field).
//
// Only records of the classes a module names with `trust` are read from their
// dict, only when their type is exactly that class, and only while the class
// still puts no data descriptor in front of the fields and does not override
// __getattribute__ (proved once per version tag of the class, guard.hpp): the
// dict entry is then what attribute access would answer. Records of any other
// class (subclasses included, which may define a property or their own
// __getattribute__), and records of a trusted class that has since been given
// a property or a __getattribute__, are read by attribute access.
//
// `peek` gives a borrowed value and runs no Python code at all (no hashing of
// arbitrary objects, no comparisons but pointer equality). A borrowed value
// stays valid only while no Python code runs: anything that may run code (a
// comparison of arbitrary objects, a call, a lookup that may collect garbage)
// can drop the record, its dict or the value. `RecordReader` keeps that rule
// for a scan step: it hands out borrowed values and takes strong references
// to the record and to everything read so far when asked to (`pin`), before
// such code runs.
#pragma once

#include "frame/frame.hpp"
#include "frame/guard.hpp"

#include <initializer_list>
#include <vector>

namespace kelvane {

class RecordFields {
public:
    static constexpr int max_fields = 24;
    static constexpr int max_classes = 8;

    // Where the records of one class keep each field.
    struct Layout {
        struct Slot {
            PyObject *key;          // strong reference; the learned dict key, else the interned name
            Py_ssize_t position;    // index of the dict entry; -1: unknown or absent
        } slot[max_fields];
        bool direct;                        // records of this layout are read from their dict
        VersionProof proof;                 // the class's lookups leave the fields to the dict
        Py_ssize_t dict_offset;             // where records of the class hold their dict; 0: ask the interpreter
    };

    // Names the fields, a field being known by its index in `names`. Called
    // once while the module is declared (interns the names).
    void init(const std::vector<const char *> &names);

    // Records of exactly this class are read from their instance dict.
    void trust(nb::handle cls);

    // Learns where records of the class of `record` keep their fields from
    // this record, when the class is trusted and not learned yet (a record
    // built while declaring shows the usual layout before any other is read).
    void learn(PyObject *record);

    // The layout to read `record` with: its class's learned layout, or one
    // that reads by attribute access. Runs no Python code.
    const Layout &layout_of(PyObject *record) {
        PyTypeObject *t = Py_TYPE(record);
        int i = last_;
        if (types_[i] != t) {
            // The two classes used last: a scan alternates between a record
            // and the records it holds (a binning and its bins).
            i = previous_;
            if (types_[i] != t) {
                for (i = 0; i < n_classes_ && types_[i] != t; ++i) {
                }
                if (i == n_classes_) return by_attribute_;
            }
            previous_ = last_;
            last_ = i;
        }
        if (!layouts_[i].proof.holds(t) && !reprove(i)) return by_attribute_;
        if (!learned_[i]) learn_class(i, record);
        return layouts_[i];
    }

    // Whether a layout still reads `record` from its dict (Python code run
    // since the layout was taken may have changed the class).
    static bool still_direct(PyObject *record, const Layout &layout) {
        return layout.direct && layout.proof.holds(Py_TYPE(record));
    }

    // The instance dict of a record, borrowed, or nullptr (no error).
    // (Record classes keep the dict where the interpreter manages it: ask the
    // interpreter.)
    static PyObject *dict_of(PyObject *record) {
        PyObject **dictptr = _PyObject_GetDictPtr(record);
        return dictptr ? *dictptr : nullptr;
    }

    // The same for a record of a learned class: the interpreter keeps the
    // dict pointer of every instance of a class at one offset from the object,
    // learned from the first record (see learn_class).
    static PyObject *dict_of(PyObject *record, const Layout &layout) {
        if (layout.dict_offset == 0) return dict_of(record);
        return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(record) + layout.dict_offset);
    }

    // The entry of field f in `dict` when it sits at its learned position
    // under the learned key (borrowed), else nullptr without an error. Runs
    // no Python code. `dict` may be nullptr.
    static PyObject *peek(PyObject *dict, const Layout &layout, int f) {
        Py_ssize_t pos = layout.slot[f].position;
        if (!dict || pos < 0) return nullptr;
        Py_ssize_t n;
        if (PyObject *const *entries = dict_entries(dict, &n)) return at_entry(entries, n, layout, f);
        PyObject *key, *v;
        if (PyDict_Next(dict, &pos, &key, &v) && key == layout.slot[f].key) return v;
        return nullptr;
    }

    // Field f from the entries of a record's dict (see dict_entries).
    static PyObject *at_entry(PyObject *const *entries, Py_ssize_t n, const Layout &layout, int f) {
        const Py_ssize_t pos = layout.slot[f].position;
        if (static_cast<std::size_t>(pos) >= static_cast<std::size_t>(n)) return nullptr;   // -1 included
        return entries[2 * pos] == layout.slot[f].key ? entries[2 * pos + 1] : nullptr;
    }

    // The entries (key, value, key, value...) of a dict whose keys are all
    // exact str and whose values live with its keys (the records' dicts), to
    // be read in place, and their number in *n; nullptr for any other dict,
    // which is then read through PyDict_Next. A deleted entry has a null key.
    // The layout read here is the interpreter's own (3.13);
    // `check_dict_entries` compares it with PyDict_Next on the first record's
    // dict and turns the reading off should they ever differ.
    static PyObject *const *dict_entries(PyObject *dict, Py_ssize_t *n) {
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
        if (!entries_in_place) return nullptr;
        const auto *d = reinterpret_cast<const PyDictObject *>(dict);
        if (d->ma_values) return nullptr;
        const auto *keys = reinterpret_cast<const KeysHead *>(d->ma_keys);
        if (keys->dk_kind != 1) return nullptr;   // 1: str keys, combined table
        *n = keys->dk_nentries;
        const char *entries = reinterpret_cast<const char *>(keys + 1) + (std::size_t{1} << keys->dk_log2_index_bytes);
        return reinterpret_cast<PyObject *const *>(entries);
#else
        (void)dict;
        (void)n;
        return nullptr;
#endif
    }

    // Whether dict_entries reads `dict` as PyDict_Next does; turns the reading
    // off when it does not.
    static void check_dict_entries(PyObject *dict);

    // The same for a record (borrowed; nullptr for records read by attribute
    // access).
    PyObject *entry(PyObject *record, int f) {
        const Layout &layout = layout_of(record);
        return layout.direct ? peek(dict_of(record, layout), layout, f) : nullptr;
    }

    // The value of field f from the record's dict only, looked up by key when
    // it is not at its learned position: 1 (new reference in *out), 0 when
    // the dict does not hold it or the record is read by attribute access, -1
    // with an error set.
    static int in_dict(PyObject *record, const Layout &layout, int f, PyObject **out) {
        *out = nullptr;
        if (!still_direct(record, layout)) return 0;
        PyObject *dict = dict_of(record, layout);
        if (!dict) return 0;
        if (PyObject *v = peek(dict, layout, f)) {
            *out = Py_NewRef(v);
            return 1;
        }
        return PyDict_GetItemRef(dict, layout.slot[f].key, out);
    }

    // The value of field f, new reference; nullptr with an error set (the
    // AttributeError of a record without the field). May run Python code.
    PyObject *get(PyObject *record, const Layout &layout, int f) const {
        PyObject *v;
        const int found = in_dict(record, layout, f, &v);
        if (found != 0) return v;   // found, or error
        return PyObject_GetAttr(record, by_attribute_.slot[f].key);
    }
    PyObject *get(PyObject *record, int f) { return get(record, layout_of(record), f); }

    // The interned name of field f.
    PyObject *name(int f) const { return by_attribute_.slot[f].key; }

private:
    void learn_class(int i, PyObject *record);
    // Proves the lookups of trusted class i again after a change to it: true
    // when every field is still read from the instance dict.
    bool reprove(int i);

    // The head of a dict's keys object (CPython 3.13, default build); the
    // index table and then the entries follow it.
    struct KeysHead {
        Py_ssize_t dk_refcnt;
        uint8_t dk_log2_size;
        uint8_t dk_log2_index_bytes;
        uint8_t dk_kind;
        uint32_t dk_version;
        Py_ssize_t dk_usable;
        Py_ssize_t dk_nentries;
    };
    static inline bool entries_in_place = true;

    Layout by_attribute_{};
    Layout layouts_[max_classes]{};
    PyTypeObject *types_[max_classes] = {};   // strong references
    bool learned_[max_classes] = {};
    int n_fields_ = 0, n_classes_ = 0, last_ = 0, previous_ = 0;
};

// Reads the fields of records met one after another (the items of a list,
// mostly of one class) at their learned places: the layout is looked up again
// only when the class changes. Runs no Python code; what it gives is borrowed.
//
//     RecordRun run(fields);
//     for (...) {
//         run.at(record);
//         PyObject *name = run[NAME];   // nullptr: not at its place, read otherwise
//     }
class RecordRun {
public:
    explicit RecordRun(RecordFields &fields) : fields_(fields) {}

    void at(PyObject *record) {
        PyTypeObject *t = Py_TYPE(record);
        if (t != type_ || (layout_->direct && !layout_->proof.holds(t))) {
            type_ = t;
            layout_ = &fields_.layout_of(record);
        }
        dict_ = layout_->direct ? RecordFields::dict_of(record, *layout_) : nullptr;
        entries_ = dict_ ? RecordFields::dict_entries(dict_, &n_entries_) : nullptr;
    }

    // The same as at(), for a loop that has run no Python code since the
    // previous record was taken: a class met just before cannot have changed,
    // so its proof is not checked again.
    void next(PyObject *record) {
        PyTypeObject *t = Py_TYPE(record);
        if (t != type_) {
            type_ = t;
            layout_ = &fields_.layout_of(record);
        }
        dict_ = layout_->direct ? RecordFields::dict_of(record, *layout_) : nullptr;
        entries_ = dict_ ? RecordFields::dict_entries(dict_, &n_entries_) : nullptr;
    }

    // The entry of field f of the current record (see RecordFields::peek).
    PyObject *operator[](int f) const {
        if (entries_) return RecordFields::at_entry(entries_, n_entries_, *layout_, f);
        return RecordFields::peek(dict_, *layout_, f);
    }

    PyObject *entry(PyObject *record, int f) {
        at(record);
        return (*this)[f];
    }

private:
    RecordFields &fields_;
    PyTypeObject *type_ = nullptr;
    const RecordFields::Layout *layout_ = nullptr;
    PyObject *dict_ = nullptr;
    PyObject *const *entries_ = nullptr;   // the dict's entries, read in place
    Py_ssize_t n_entries_ = 0;
};

// Reads the fields of one record during a scan step. Values are borrowed from
// the record's dict while nothing but C code runs. `pin` takes strong
// references to the record and to every value read so far; call it before
// anything that may run Python code (a comparison of objects other than exact
// floats and strings, an isinstance test through a metaclass, a call), so
// that what the step still uses outlives whatever that code does to the
// record or to the list the record came from. A read that misses the learned
// layout pins by itself, as the lookup it falls back to may run code.
class RecordReader {
public:
    static constexpr int capacity = 4;   // fields read per record

    RecordReader(RecordFields &fields, PyObject *record)
        : fields_(fields),
          record_(record),
          layout_(fields.layout_of(record)),
          dict_(layout_.direct ? RecordFields::dict_of(record, layout_) : nullptr),
          entries_(dict_ ? RecordFields::dict_entries(dict_, &n_entries_) : nullptr) {}
    ~RecordReader() {
        for (int i = 0; i < n_; ++i)
            if (owned_ & (1u << i)) Py_DECREF(values_[i]);
        if (held_) Py_DECREF(record_);
    }
    RecordReader(const RecordReader &) = delete;
    RecordReader &operator=(const RecordReader &) = delete;

    // The value of field f, valid for the life of the reader; nullptr with an
    // error set.
    PyObject *read(int f) {
        if (n_ == capacity) {
            PyErr_SetString(PyExc_SystemError, "too many fields read from one record");
            return nullptr;
        }
        PyObject *v = entries_ ? RecordFields::at_entry(entries_, n_entries_, layout_, f)
                               : RecordFields::peek(dict_, layout_, f);
        if (v) return keep(v, false);
        pin();
        v = fields_.get(record_, layout_, f);
        return v ? keep(v, true) : nullptr;
    }

    void pin() {
        dict_ = nullptr;   // Python code may replace it: read through the lookup from now on
        entries_ = nullptr;
        if (!held_) {
            Py_INCREF(record_);
            held_ = true;
        }
        for (int i = 0; i < n_; ++i) {
            if (!(owned_ & (1u << i))) {
                Py_INCREF(values_[i]);
                owned_ |= 1u << i;
            }
        }
    }

    PyObject *record() const { return record_; }

private:
    PyObject *keep(PyObject *v, bool owned) {
        values_[n_] = v;
        if (owned) owned_ |= 1u << n_;
        ++n_;
        return v;
    }

    RecordFields &fields_;
    PyObject *record_;
    const RecordFields::Layout &layout_;
    PyObject *dict_;   // borrowed, until pinned; nullptr for records read by attribute access
    Py_ssize_t n_entries_ = 0;
    PyObject *const *entries_;     // the dict's entries read in place, until pinned
    PyObject *values_[capacity];   // the first n_ are set
    unsigned owned_ = 0;           // bit i: values_[i] is a strong reference
    int n_ = 0;
    bool held_ = false;
};

}  // namespace kelvane
