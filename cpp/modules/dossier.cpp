// kelvane_analytics_utils.predictive_models.dossier.dossier
//
// The human-readable account of how a model was developed (samples, attribute
// descriptions, hyperparameters, free-text general notes, attached images),
// the upkeep of its general notes and its GraphQL views.
#include "frame/host.hpp"
#include "frame/state.hpp"
#include "modules/entry_views.hpp"

#include "core/records.hpp"

#include <string>
#include <string_view>

namespace {

using namespace kelvane;

#define DOSSIER_NAMES(X)                                                                                    \
    X(general_notes) X(attribute_description) X(hyperparameters) X(eval_metric) X(get) X(write) X(unknown) \
    X(attribute_name) X(description) X(name) X(value) X(title) X(content)

struct State : ModuleState {
    KELVANE_NAMES(DOSSIER_NAMES)
    nb::object literal_eval;   // ast.literal_eval
    nb::object attribute_view, hyperparameter_view, note_view;
    nb::object attribute_kw, hyperparameter_kw, note_kw;   // keyword names of the three views
};
KELVANE_STATE(State, S);

// ------------------------------------------------------------ stdout

// Writes one line on the interpreter's current sys.stdout, as print() does
// (so redirections of sys.stdout see it); nothing when sys.stdout is None.
void print_line(nb::handle text) {
    // Borrowed from the sys module; turned into a strong reference before
    // any Python code runs.
    PyObject *raw = PySys_GetObject("stdout");
    if (!raw) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.stdout");
        throw_error();
    }
    nb::object out = nb::borrow(raw);
    if (out.is_none()) return;
    nb::object line = check(PyUnicode_FromFormat("%U\n", text.ptr()));
    call_method(S.str_write, out, line);
}

// ------------------------------------------------------------ general notes

int host_decimal(char32_t c) { return Py_UNICODE_TODECIMAL(static_cast<Py_UCS4>(c)); }

// Offers one key of the notes to the numbering; keys that are not strings
// carry no number. Runs no Python code.
int offer_key(core::NoteNumbering &numbering, PyObject *key) {
    if (!PyUnicode_Check(key)) return 0;
    Py_ssize_t size;
    if (const char *utf8 = PyUnicode_AsUTF8AndSize(key, &size)) {
        numbering.offer(std::string_view(utf8, static_cast<std::size_t>(size)));
        return 0;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return -1;
    PyErr_Clear();
    // A key with lone surrogates: they pass through the UTF-8 round trip.
    PyObject *bytes = PyUnicode_AsEncodedString(key, "utf-8", "surrogatepass");
    if (!bytes) return -1;
    numbering.offer(std::string_view(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))));
    Py_DECREF(bytes);
    return 0;
}

// The key a new text note gets in `notes`: "note_" and one above the highest
// number of the existing note keys.
nb::object next_note_key(nb::handle notes) {
    core::NoteNumbering numbering(host_decimal);
    if (PyDict_CheckExact(notes.ptr())) {
        // Keys borrowed from the dict: offer_key runs no Python code, so the
        // dict cannot change during the walk.
        Py_ssize_t pos = 0;
        PyObject *key;
        while (PyDict_Next(notes.ptr(), &pos, &key, nullptr))
            if (offer_key(numbering, key) < 0) throw_error();
    } else {
        each(notes, [&](nb::handle key) {
            if (offer_key(numbering, key.ptr()) < 0) throw_error();
            return false;
        });
    }
    std::string key = numbering.next_key();
    return check(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
}

nb::object add_general_note(Args a) {
    PyObject *self = a.get(0), *note = a.get(1);   // borrowed: the caller holds the arguments for the whole call
    nb::object notes = check(PyObject_GetAttr(self, S.str_general_notes));
    if (notes.is_none()) {
        notes = check(PyDict_New());
        if (PyObject_SetAttr(self, S.str_general_notes, notes.ptr()) < 0) throw_error();
    }
    if (PyDict_Check(note)) {
        // A mapping of notes: existing keys keep their note.
        each(a[1], [&](nb::handle key) {
            const int exists = PySequence_Contains(notes.ptr(), key.ptr());
            if (exists < 0) throw_error();
            if (exists) {
                print_line(check(PyUnicode_FromFormat("Note %S already exists. Note not added.", key.ptr())));
                return false;
            }
            nb::object value = check(PyObject_GetItem(note, key.ptr()));
            if (PyObject_SetItem(notes.ptr(), key.ptr(), value.ptr()) < 0) throw_error();
            return false;
        });
    }
    if (PyUnicode_Check(note)) {
        nb::object key = next_note_key(notes);
        if (PyObject_SetItem(notes.ptr(), key.ptr(), note) < 0) throw_error();
    }
    return none();
}

nb::object remove_general_note(Args a) {
    PyObject *self = a.get(0), *note_key = a.get(1);   // borrowed: held by the caller for the whole call
    nb::object notes = check(PyObject_GetAttr(self, S.str_general_notes));
    if (notes.is_none()) return none();
    int exists = PySequence_Contains(notes.ptr(), note_key);
    if (exists < 0) throw_error();
    if (exists && PyObject_DelItem(notes.ptr(), note_key) < 0) throw_error();
    return none();
}

// ------------------------------------------------------------ views

// One view object per entry of the parent's mapping field (none: no entries).
nb::object entries(PyObject *parent, PyObject *field, const nb::object &type, const nb::object &kw, bool as_text) {
    nb::object mapping = check(field_of(parent, field));
    if (mapping.is_none()) return check(PyList_New(0));
    return views::entry_views(mapping, type, kw, as_text);
}

nb::object attribute_description(Args a) {
    return entries(a.get(1), S.str_attribute_description, S.attribute_view, S.attribute_kw, false);
}
nb::object hyperparameters(Args a) {
    return entries(a.get(1), S.str_hyperparameters, S.hyperparameter_view, S.hyperparameter_kw, true);
}
nb::object general_notes(Args a) {
    return entries(a.get(1), S.str_general_notes, S.note_view, S.note_kw, true);
}

// ast.literal_eval(metric), or an empty object (no error set) when it raises
// an Exception: the metric is then no literal.
nb::object try_literal(nb::handle metric) {
    nb::object literal = nb::steal(PyObject_CallOneArg(S.literal_eval.ptr(), metric.ptr()));
    if (literal.is_valid()) return literal;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_error();
    PyErr_Clear();
    return literal;
}

// The training metric: the hyperparameter "eval_metric" read as a literal
// (the last name of a list of names), the text itself when it is no literal,
// "unknown" when there is none.
nb::object eval_metric(Args a) {
    nb::object hp = check(field_of(a.get(1), S.str_hyperparameters));
    if (hp.is_none()) return nb::borrow(S.str_unknown);
    nb::object metric = call_method(S.str_get, hp, S.str_eval_metric);
    if (metric.is_none()) return nb::borrow(S.str_unknown);
    nb::object literal = try_literal(metric);
    if (!literal.is_valid()) return metric;
    if (!PyList_Check(literal.ptr())) return literal;
    const Py_ssize_t n = PyList_GET_SIZE(literal.ptr());
    if (n == 0) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        throw_error();
    }
    return nb::borrow(PyList_GET_ITEM(literal.ptr(), n - 1));
}

// ------------------------------------------------------------ declarations

void declare(Module &m) {
    S.init(m);

    m.import("ast");
    m.import_from("typing", {"Optional", "List", "Dict", "Any", "Union"});
    m.import_from("datetime", {"date"});
    m.import_from("pydantic", {"Field"});
    m.import("strawberry");
    m.import_from("kelvane_analytics_utils.predictive_models.dossier.census",
                  {"SampleDescription", "SampleDescriptionType"});
    m.import_from("kelvane_analytics_utils.utils.base_model", {"BaseModel"});
    S.literal_eval = m.get("ast").attr("literal_eval");

    m.record("AttachedImage", {"BaseModel"})
        .field("type", "str")
        .field("filename", "str")
        .field("image", "Optional[bytes]", m.get("Field")(nb::arg("default") = none(), nb::arg("exclude") = true))
        .create();

    m.view("AttachedImageType", "AttachedImage")
        .field("type", "strawberry.auto")
        .field("filename", "strawberry.auto")
        .create();

    m.record("PredictiveModelDescription", {"BaseModel"})
        .doc("Class for storing descriptive data about models's development sample, attributes and hyperparameters.")
        .field("predictive_model_name", "Optional[str]", none())
        .field("predictive_model_created", "Optional[date]", none())
        .field("sample_metadata", "Optional[List[SampleDescription]]", none())
        .field("attribute_description", "Optional[Dict[str, str]]", none())
        .field("hyperparameters", "Optional[Dict[str, Any]]", none())
        .field("number_of_trainable_parameters", "Optional[int]", none())
        .field("general_notes", "Optional[Dict[str, str]]", none())
        .field("attached_images", "Optional[List[AttachedImage]]", none())
        .method(Function("add_general_note", add_general_note).self().arg("note", "Union[Dict, str]").returns("None"))
        .method(Function("remove_general_note", remove_general_note).self().arg("note_key", "str").returns("None"))
        .create();

    S.attribute_view = m.strawberry_type("AttributeDescriptionType")
                           .field("attribute_name", "str")
                           .field("description", "str")
                           .create();
    S.hyperparameter_view = m.strawberry_type("HyperparameterType").field("name", "str").field("value", "str").create();
    S.note_view = m.strawberry_type("GeneralNoteType").field("title", "str").field("content", "str").create();
    S.attribute_kw = nb::make_tuple(nb::handle(S.str_attribute_name), nb::handle(S.str_description));
    S.hyperparameter_kw = nb::make_tuple(nb::handle(S.str_name), nb::handle(S.str_value));
    S.note_kw = nb::make_tuple(nb::handle(S.str_title), nb::handle(S.str_content));

    const char *parent = "strawberry.Parent[PredictiveModelDescription]";
    m.view("PredictiveModelDescriptionType", "PredictiveModelDescription")
        .field("predictive_model_name", "strawberry.auto")
        .field("predictive_model_created", "strawberry.auto")
        .field("number_of_trainable_parameters", "strawberry.auto")
        .field("attached_images", "Optional[List[AttachedImageType]]")
        .field("sample_metadata", "Optional[List[SampleDescriptionType]]")
        .strawberry_field(Function("attribute_description", attribute_description)
                              .self()
                              .arg("parent", parent)
                              .returns("List[AttributeDescriptionType]")
                              .coroutine())
        .strawberry_field(Function("hyperparameters", hyperparameters)
                              .self()
                              .arg("parent", parent)
                              .returns("List[HyperparameterType]")
                              .coroutine())
        .strawberry_field(Function("general_notes", general_notes)
                              .self()
                              .arg("parent", parent)
                              .returns("List[GeneralNoteType]")
                              .coroutine())
        .strawberry_field(Function("eval_metric", eval_metric)
                              .self()
                              .arg("parent", parent)
                              .returns("str")
                              .result_may_be_none()
                              .coroutine())
        .create();
}

}  // namespace

KELVANE_MODULE(dossier, "kelvane_analytics_utils.predictive_models.dossier.dossier", declare)
