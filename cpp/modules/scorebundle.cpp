// kelvane_analytics_utils.predictive_models.scorebundle
//
// The extended predictive model, or bundle: a model built elsewhere together
// with its preprocessing, description, performance and monitoring. The module
// declares the bundle record with its consistency check, the accessors that
// read facts out of the external model document, the conversion of a bundle
// to and from its file set, and the bundle's GraphQL views.
//
// Nothing here is a hot path: every step calls the record base, the YAML and
// JSON libraries or the sibling modules, and does what the equivalent Python
// statements would do in the same order (global names looked up at call time,
// methods called through the instance so that subclasses may override them,
// the host's own equality, truth and conversions). The formula text is built
// by core/formula.
#include "frame/host.hpp"
#include "frame/state.hpp"
#include "core/formula.hpp"
#include "core/limits.hpp"

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace kelvane;

// ------------------------------------------------------------ module state

#define SCOREBUNDLE_NAMES(X)                                                                               \
    X(attributes) X(predictive_model_type) X(preparation) X(description) X(directory_name) X(external_model) \
    X(get_all_transformation_attributes) X(get_attributes_created_in_transformations)                     \
    X(get_all_binning_attributes) X(get_external_model_stringio) X(get_external_model_feature_names)       \
    X(get_external_model_intercept) X(get_external_model_intercept_name) X(get_external_model_coefficients) \
    X(get_external_model_best_iteration) X(get_external_model_number_of_trees)                             \
    X(get_external_model_number_of_attributes) X(get_external_model_best_eval_metric)                      \
    X(get_external_model_category) X(get_coefficient) X(get_transformation_formula) X(attribute)          \
    X(attached_images) X(image) X(filename) X(predictive_model_name) X(seek) X(read) X(getvalue) X(index)  \
    X(model_validate) X(_migrate) X(load) X(scorebundle_yaml) X(external_model_json) X(external_model_pmml) \
    X(extended_model) X(StringIO) X(BytesIO) X(json) X(valid_dumps_yaml) X(safe_loads_yaml)                \
    X(safe_dumps_json) X(ExtendedPredictiveModelContent) X(ExternalPredictiveModelType)                    \
    X(feature_names) X(intercept) X(intercept_name) X(model) X(intercept_) X(coef_) X(pmml_model) X(type)  \
    X(xgb_model) X(learner) X(best_iteration) X(best_score) X(gradient_booster) X(gbtree_model_param)      \
    X(num_trees) X(learner_model_param) X(num_feature)

// Interned names, enum members and constants, set once while the module is
// declared (frame/state.hpp).
struct State : ModuleState {
    KELVANE_NAMES(SCOREBUNDLE_NAMES)
    nb::object LOGISTIC_REGRESSION, PMML, XGB, EXPERT_SCORE, RANDOM_FOREST, COX_PH_FITTER;   // PredictiveModelType
    nb::object STATIC, HORIZON, NONE;                                                        // PredictiveModelCategory
    nb::object zero, zero_float, fixed4_format, attribute_kwnames;
};
KELVANE_STATE(State, S);

// ------------------------------------------------------------ host operations

// A global of the module, looked up at the time of the call as Python code
// would; NameError when the namespace lacks it.
nb::object global(PyObject *name) {
    PyObject *v;
    if (PyDict_GetItemRef(S.ns.ptr(), name, &v) < 0) throw_error();
    if (!v) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw_error();
    }
    return nb::steal(v);
}

nb::object attr(nb::handle o, PyObject *name) { return check(PyObject_GetAttr(o.ptr(), name)); }
void set_attr(nb::handle o, PyObject *name, nb::handle v) {
    if (PyObject_SetAttr(o.ptr(), name, v.ptr()) < 0) throw_error();
}
void set_item(nb::handle o, PyObject *key, nb::handle v) {
    if (PyObject_SetItem(o.ptr(), key, v.ptr()) < 0) throw_error();
}
nb::object call(nb::handle f, nb::handle arg) { return check(PyObject_CallOneArg(f.ptr(), arg.ptr())); }

// The pending exception is one of `kinds` (or a subclass): clears it and
// returns true; otherwise leaves it pending and returns false.
bool clear_if(std::initializer_list<PyObject *> kinds) {
    for (PyObject *k : kinds) {
        if (PyErr_ExceptionMatches(k)) {
            PyErr_Clear();
            return true;
        }
    }
    return false;
}

// Text as UTF-8, lone surrogates included (they pass through unchanged).
std::string utf8(nb::handle text) {
    Py_ssize_t n;
    if (const char *p = PyUnicode_AsUTF8AndSize(text.ptr(), &n)) return std::string(p, static_cast<size_t>(n));
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw_error();
    PyErr_Clear();
    nb::object bytes = check(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
    return std::string(PyBytes_AS_STRING(bytes.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.ptr())));
}

nb::object from_utf8(const std::string &s) {
    return check(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass"));
}

// ------------------------------------------------------------ external model documents

// self.external_model[k0][k1]...: 1 with the value in `out`, 0 when a key
// is missing on the way (the KeyError is cleared), -1 with another error set.
// Integer steps (element 0) are given as the int object.
// The keys are interned names or constants of the module state, alive for
// the life of the process.
int lookup(nb::handle self, std::initializer_list<PyObject *> path, nb::object &out) {
    PyObject *doc = PyObject_GetAttr(self.ptr(), S.str_external_model);
    if (!doc) return -1;
    out = nb::steal(doc);
    for (PyObject *key : path) {
        PyObject *v = PyObject_GetItem(out.ptr(), key);
        if (!v) {
            out = nb::object();
            return clear_if({PyExc_KeyError}) ? 0 : -1;
        }
        out = nb::steal(v);
    }
    return 1;
}

// The value at the path, or None when a key is missing.
nb::object lookup_or_none(nb::handle self, std::initializer_list<PyObject *> path) {
    nb::object v;
    const int found = lookup(self, path, v);
    if (found < 0) throw_error();
    return found ? v : none();
}

bool is_type(nb::handle self, nb::handle member) {
    return equals(attr(self, S.str_predictive_model_type), member);
}

// ------------------------------------------------------------ AbstractExtendedPredictiveModel

// ValueError "<kind> defined for unknown attributes: {...}. Model attributes are {...}."
[[noreturn]] void raise_unknown(const char *kind, nb::handle unknown, nb::handle declared) {
    PyErr_Format(PyExc_ValueError, "%s defined for unknown attributes: %S. Model attributes are %S.", kind,
                 unknown.ptr(), declared.ptr());
    throw_error();
}

// Transformations may read declared attributes only; binnings may read
// declared attributes and those that transformations create.
nb::object preprocess_attributes(Args a) {
    nb::handle self = a[0];
    nb::object attributes = attr(self, S.str_attributes);
    nb::object preparation = attr(self, S.str_preparation);
    nb::object read = check(PySet_New(call_method(S.str_get_all_transformation_attributes, preparation).ptr()));
    nb::object declared = check(PySet_New(attributes.ptr()));
    nb::object unknown = check(PyNumber_Subtract(read.ptr(), declared.ptr()));
    if (PySet_GET_SIZE(unknown.ptr()) > 0) raise_unknown("Transformation", unknown, declared);

    nb::object created = call_method(S.str_get_attributes_created_in_transformations, preparation);
    nb::object after = check(PyNumber_Add(attributes.ptr(), created.ptr()));
    read = check(PySet_New(call_method(S.str_get_all_binning_attributes, preparation).ptr()));
    nb::object known = check(PySet_New(after.ptr()));
    unknown = check(PyNumber_Subtract(read.ptr(), known.ptr()));
    if (PySet_GET_SIZE(unknown.ptr()) > 0) raise_unknown("Binning", unknown, declared);
    return nb::borrow(self);
}

// The file set: the YAML document, the external model (JSON, or PMML text
// for a PMML bundle) and the attached images that hold bytes.
nb::object get_content(Args a) {
    nb::handle self = a[0];
    nb::object yaml = call(global(S.str_StringIO), call(global(S.str_valid_dumps_yaml), self));

    nb::object images = check(PyDict_New());
    nb::object attached = attr(attr(self, S.str_description), S.str_attached_images);
    if (!attached.is_none()) {
        each(attached, [&](nb::handle image) {
            nb::object bytes = attr(image, S.str_image);
            if (bytes.is_none()) return false;
            nb::object stream = call(global(S.str_BytesIO), bytes);
            set_item(images, attr(image, S.str_filename).ptr(), stream);
            return false;
        });
    }

    nb::object stream = call_method(S.str_get_external_model_stringio, self);
    nb::object json = none(), pmml = none();
    (is_type(self, S.PMML) ? pmml : json) = stream;

    nb::object content_class = global(S.str_ExtendedPredictiveModelContent);
    // Borrowed from the objects above, which outlive the call.
    PyObject *args[] = {yaml.ptr(), json.ptr(), pmml.ptr(), images.ptr()};
    nb::object names = nb::make_tuple(nb::handle(S.str_scorebundle_yaml), nb::handle(S.str_external_model_json),
                                      nb::handle(S.str_external_model_pmml), nb::handle(S.str_attached_images));
    return check(PyObject_Vectorcall(content_class.ptr(), args, 0, names.ptr()));
}

// stream.seek(0); stream.read()
nb::object read_from_start(nb::handle stream) {
    call_method(S.str_seek, stream, S.zero);
    return call_method(S.str_read, stream);
}

// ------------------------------------------------------------ alias expansion

bool is_container(PyObject *o) { return PyDict_Check(o) || PyList_Check(o) || PyTuple_Check(o); }

// The children of a loaded container (core::count_nodes): containers into
// `out`, the number of scalars (mapping keys and set members included) as the
// result. Reads the containers' storage only: no Python code runs, so the
// borrowed pointers stay valid while the caller holds the document.
std::uint64_t children_of(const void *node, std::vector<const void *> &out) {
    PyObject *o = static_cast<PyObject *>(const_cast<void *>(node));
    std::uint64_t scalars = 0;
    auto add = [&](PyObject *child) {
        if (is_container(child))
            out.push_back(child);
        else
            ++scalars;
    };
    if (PyDict_Check(o)) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(o, &pos, &key, &value)) {
            add(key);
            add(value);
        }
    } else if (PyList_Check(o)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) add(PyList_GET_ITEM(o, i));
    } else {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(o); ++i) add(PyTuple_GET_ITEM(o, i));
    }
    return scalars;
}

// Refuses, before anything validates or copies it, a document whose aliases
// make its data far larger than its text: validated, dumped again or walked,
// each alias would be expanded in full (a few hundred bytes of nested
// aliases reach billions of nodes). The count is memoised per container, so
// it costs one pass over the document's own nodes.
void refuse_alias_expansion(nb::handle data) {
    if (!is_container(data.ptr())) return;
    const core::NodeCounts counts = core::count_nodes(data.ptr(), children_of);
    if (!core::expansion_refused(counts)) return;
    if (counts.expanded == core::NodeCounts::infinite)
        PyErr_Format(PyExc_ValueError,
                     "The bundle YAML document expands through its aliases without end (more than %llu times its own "
                     "%llu nodes)",
                     static_cast<unsigned long long>(core::expansion_factor),
                     static_cast<unsigned long long>(counts.own));
    else
        PyErr_Format(PyExc_ValueError,
                     "The bundle YAML document expands through its aliases to %llu nodes, more than %llu times its own "
                     "%llu nodes",
                     static_cast<unsigned long long>(counts.expanded),
                     static_cast<unsigned long long>(core::expansion_factor),
                     static_cast<unsigned long long>(counts.own));
    throw_error();
}

// Rebuilds a bundle from its file set. Every stream read is rewound first,
// so a content can be parsed any number of times.
nb::object parse_from_content(Args a) {
    nb::handle cls = a[0], content = a[1];
    nb::object data = call(global(S.str_safe_loads_yaml), read_from_start(attr(content, S.str_scorebundle_yaml)));
    refuse_alias_expansion(data);

    // A document that is not a mapping has no place for the external model:
    // the record base's validation below reports what it is instead.
    if (PyDict_Check(data.ptr())) {
        nb::object json_stream = attr(content, S.str_external_model_json);
        if (!json_stream.is_none()) {
            call_method(S.str_seek, json_stream, S.zero);
            nb::object document = call(attr(global(S.str_json), S.str_load), json_stream);
            set_item(data, S.str_external_model, document);
        } else {
            nb::object pmml_stream = attr(content, S.str_external_model_pmml);
            if (!pmml_stream.is_none()) {
                call_method(S.str_seek, pmml_stream, S.zero);
                nb::object document = check(PyDict_New());
                set_item(document, S.str_type, S.PMML);
                set_item(document, S.str_pmml_model, call_method(S.str_read, pmml_stream));
                set_item(data, S.str_external_model, document);
            }
        }
    }

    nb::object obj = call_method(S.str_model_validate, cls, data);

    nb::object attached = attr(attr(obj, S.str_description), S.str_attached_images);
    if (!attached.is_none()) {
        each(attached, [&](nb::handle image) {
            nb::object streams = attr(content, S.str_attached_images);
            nb::object stream = check(PyObject_GetItem(streams.ptr(), attr(image, S.str_filename).ptr()));
            set_attr(image, S.str_image, call_method(S.str_getvalue, stream));
            return false;
        });
    }
    call_method(S.str__migrate, obj);
    return obj;
}

// The coefficient of an attribute, found by its position among the model's
// feature names (or the declared attributes when the model names none).
// Only ValueError and KeyError mean "no coefficient".
nb::object get_coefficient(Args a) {
    nb::handle self = a[0], attribute = a[1];
    try {
        nb::object names = call_method(S.str_get_external_model_feature_names, self);
        nb::object model_attributes = truthy(names) ? names : attr(self, S.str_attributes);
        nb::object index = call_method(S.str_index, model_attributes, attribute);
        nb::object coefficients = call_method(S.str_get_external_model_coefficients, self);
        if (coefficients.is_none()) return none();
        return check(PyObject_GetItem(coefficients.ptr(), index.ptr()));
    } catch (error_already_set &) {
        if (clear_if({PyExc_ValueError, PyExc_KeyError})) return none();
        throw;
    }
}

// The body of every abstract method: NotImplementedError without a message.
nb::object not_implemented(Args) {
    PyErr_SetNone(PyExc_NotImplementedError);
    throw_error();
}

nb::object get_external_model_category(Args a) {
    nb::object type = attr(a[0], S.str_predictive_model_type);
    if (equals(type, S.COX_PH_FITTER)) return S.HORIZON;
    for (const nb::object *member : {&S.LOGISTIC_REGRESSION, &S.XGB, &S.EXPERT_SCORE, &S.RANDOM_FOREST, &S.PMML})
        if (equals(type, *member)) return S.STATIC;
    return S.NONE;
}

// ------------------------------------------------------------ ExtendedPredictiveModel

nb::object migrate(Args a) {
    nb::handle self = a[0];
    if (is_type(self, S.EXPERT_SCORE) && !truthy(call_method(S.str_get_external_model_feature_names, self)))
        set_item(attr(self, S.str_external_model), S.str_feature_names, attr(self, S.str_attributes));
    nb::object description = attr(self, S.str_description);
    if (attr(description, S.str_predictive_model_name).is_none())
        set_attr(description, S.str_predictive_model_name, attr(self, S.str_directory_name));
    return none();
}

nb::object get_external_model_stringio(Args a) {
    nb::handle self = a[0];
    nb::object text;
    if (is_type(self, S.PMML)) {
        text = check(PyObject_GetItem(attr(self, S.str_external_model).ptr(), S.str_pmml_model));
    } else {
        text = call(global(S.str_safe_dumps_json), attr(self, S.str_external_model));
    }
    return call(global(S.str_StringIO), text);
}

nb::object get_external_model_feature_names(Args a) { return lookup_or_none(a[0], {S.str_feature_names}); }

nb::object get_external_model_intercept(Args a) {
    nb::object v;
    const int found = lookup(a[0], {S.str_intercept}, v);
    if (found < 0) throw_error();
    if (found) return v;
    return lookup_or_none(a[0], {S.str_model, S.str_intercept_, S.zero.ptr()});
}

nb::object get_external_model_intercept_name(Args a) { return lookup_or_none(a[0], {S.str_intercept_name}); }

nb::object get_external_model_coefficients(Args a) {
    return lookup_or_none(a[0], {S.str_model, S.str_coef_, S.zero.ptr()});
}

// A fact of an XGBoost document converted by `type` (int or float): None for
// other kinds of model and for a document without it.
nb::object xgb_fact(nb::handle self, std::initializer_list<PyObject *> path, PyTypeObject *type) {
    if (!is_type(self, S.XGB)) return none();
    nb::object v = lookup_or_none(self, path);
    if (v.is_none()) return v;
    return call(nb::handle(reinterpret_cast<PyObject *>(type)), v);
}

nb::object get_external_model_best_iteration(Args a) {
    nb::object v = xgb_fact(a[0], {S.str_xgb_model, S.str_learner, S.str_attributes, S.str_best_iteration},
                            &PyLong_Type);
    if (v.is_none()) return v;
    // The saved value counts from 0; the result is the number of iterations up to the best.
    return check(PyNumber_Add(v.ptr(), nb::int_(1).ptr()));
}

nb::object get_external_model_number_of_trees(Args a) {
    return xgb_fact(a[0],
                    {S.str_xgb_model, S.str_learner, S.str_gradient_booster, S.str_model, S.str_gbtree_model_param,
                     S.str_num_trees},
                    &PyLong_Type);
}

nb::object get_external_model_number_of_attributes(Args a) {
    return xgb_fact(a[0], {S.str_xgb_model, S.str_learner, S.str_learner_model_param, S.str_num_feature},
                    &PyLong_Type);
}

nb::object get_external_model_best_eval_metric(Args a) {
    return xgb_fact(a[0], {S.str_xgb_model, S.str_learner, S.str_attributes, S.str_best_score}, &PyFloat_Type);
}

// ------------------------------------------------------------ GraphQL views

nb::object external_init(Args a) {
    set_attr(a[0], S.str_extended_model, a[1]);
    return none();
}

// ExternalPredictiveModelType fields: the accessor of the presented bundle.
template <PyObject *State::*Accessor>
nb::object forward(Args a) {
    return call_method(S.*Accessor, attr(a[0], S.str_extended_model));
}

// format(x, ".4f"): floats by the core formatting, anything else by the host.
std::string fixed4_text(nb::handle x) {
    if (PyFloat_CheckExact(x.ptr())) return core::fixed4(PyFloat_AS_DOUBLE(x.ptr()));
    return utf8(check(PyObject_Format(x.ptr(), S.fixed4_format.ptr())));
}

// The term of an attribute. Coefficients are floats or None (the result check
// of get_coefficient); a subclass that returns other numbers gets the host's
// comparison, abs() and formatting.
core::FormulaTerm term_of(nb::handle coef, std::string text) {
    if (coef.is_none()) return core::formula_term(std::nullopt, std::move(text));
    if (PyFloat_CheckExact(coef.ptr())) return core::formula_term(PyFloat_AS_DOUBLE(coef.ptr()), std::move(text));
    core::FormulaTerm t;
    t.text = std::move(text);
    nb::object negative = check(PyObject_RichCompare(coef.ptr(), S.zero.ptr(), Py_LT));
    if (truthy(negative)) {
        t.sign = core::FormulaTerm::Sign::Minus;
        t.coefficient = fixed4_text(check(PyNumber_Absolute(coef.ptr())));
    } else {
        t.sign = core::FormulaTerm::Sign::Plus;
        t.coefficient = fixed4_text(coef);
    }
    return t;
}

// The linear predictor of a logistic regression; None for other models.
nb::object formula(Args a) {
    nb::handle parent = a[1];
    if (!is_type(parent, S.LOGISTIC_REGRESSION)) return none();
    nb::object intercept = call_method(S.str_get_external_model_intercept, parent);
    if (!truthy(intercept)) intercept = S.zero_float;
    const std::string head = fixed4_text(intercept);

    nb::object names = call_method(S.str_get_external_model_feature_names, parent);
    nb::object model_attributes = truthy(names) ? names : attr(parent, S.str_attributes);
    std::vector<core::FormulaTerm> terms;
    each(model_attributes, [&](nb::handle attribute) {
        nb::object coef = call_method(S.str_get_coefficient, parent, attribute);
        // parent.preparation.get_transformation_formula(attribute=attribute)
        nb::object preparation = attr(parent, S.str_preparation);
        // Borrowed from `preparation` and the walk's item, both held across the call.
        PyObject *args[] = {preparation.ptr(), attribute.ptr()};
        nb::object term = check(PyObject_VectorcallMethod(S.str_get_transformation_formula, args,
                                                          1 | PY_VECTORCALL_ARGUMENTS_OFFSET, S.attribute_kwnames.ptr()));
        terms.push_back(term_of(coef, utf8(check(PyObject_Str(term.ptr())))));
        return false;
    });
    return from_utf8(core::formula_text(head, terms));
}

nb::object external_model(Args a) {
    nb::object cls = global(S.str_ExternalPredictiveModelType);
    // Borrowed from the call's arguments, held by the caller until it returns.
    PyObject *args[] = {a.get(1)};
    nb::object names = nb::make_tuple(nb::handle(S.str_extended_model));
    return check(PyObject_Vectorcall(cls.ptr(), args, 0, names.ptr()));
}

nb::object category(Args a) { return call_method(S.str_get_external_model_category, a[1]); }

// ------------------------------------------------------------ declaration

Function accessor(const char *name, Impl impl, const char *returns) {
    return Function(name, impl).self().returns(returns);
}

void declare(Module &m) {
    S.init(m);
    S.zero = nb::int_(0);
    S.zero_float = nb::float_(0.0);
    S.fixed4_format = nb::str(".4f");
    S.attribute_kwnames = nb::make_tuple(nb::handle(S.str_attribute));

    m.import_from("abc", {"ABC", "abstractmethod"});
    m.import_from("enum", {"Enum"});
    m.import_from("io", {"BytesIO", "StringIO"});
    m.import("json");
    m.import_from("typing", {"Dict", "List", "Optional", "Any"});
    m.import("strawberry");
    m.import_from("pydantic", {"Field", "model_validator"});
    m.import_from("kelvane_analytics_utils.predictive_models.content", {"ExtendedPredictiveModelContent"});
    m.import_from("kelvane_analytics_utils.predictive_models.preparation.preparation",
                  {"AttributePreprocessing", "AttributePreprocessingType"});
    m.import_from("kelvane_analytics_utils.predictive_models.dossier.dossier",
                  {"PredictiveModelDescription", "PredictiveModelDescriptionType"});
    m.import_from("kelvane_analytics_utils.predictive_models.surveillance.surveillance",
                  {"PredictiveModelMonitoring", "PredictiveModelMonitoringType"});
    m.import_from("kelvane_analytics_utils.predictive_models.yardstick.yardstick",
                  {"PredictiveModelPerformance", "PredictiveModelPerformanceType"});
    m.import_from("kelvane_analytics_utils.utils.base_model", {"BaseModel"});
    m.import_from("kelvane_analytics_utils.utils.dump", {"valid_dumps_yaml", "safe_loads_yaml", "safe_dumps_json"});

    nb::object types = m.enumeration("PredictiveModelType")
                           .member("LOGISTIC_REGRESSION")
                           .member("PMML")
                           .member("XGB")
                           .member("EXPERT_SCORE")
                           .member("RANDOM_FOREST")
                           .member("COX_PH_FITTER")
                           .create();
    S.LOGISTIC_REGRESSION = types.attr("LOGISTIC_REGRESSION");
    S.PMML = types.attr("PMML");
    S.XGB = types.attr("XGB");
    S.EXPERT_SCORE = types.attr("EXPERT_SCORE");
    S.RANDOM_FOREST = types.attr("RANDOM_FOREST");
    S.COX_PH_FITTER = types.attr("COX_PH_FITTER");
    nb::object categories =
        m.enumeration("PredictiveModelCategory").member("STATIC").member("HORIZON").member("NONE").create();
    S.STATIC = categories.attr("STATIC");
    S.HORIZON = categories.attr("HORIZON");
    S.NONE = categories.attr("NONE");

    nb::object Field = m.get("Field");
    nb::handle list_type(reinterpret_cast<PyObject *>(&PyList_Type));
    nb::handle dict_type(reinterpret_cast<PyObject *>(&PyDict_Type));

    m.record("AbstractExtendedPredictiveModel", {"BaseModel", "ABC"})
        .field("attributes", "List[str]", Field(nb::arg("default_factory") = list_type))
        .field("predictive_model_type", "Optional[PredictiveModelType]", none())
        .field("target", "Optional[str]", none())
        .field("target_class", "Optional[str]", none())
        .field("preparation", "AttributePreprocessing", m.get("AttributePreprocessing")())
        .field("description", "PredictiveModelDescription", m.get("PredictiveModelDescription")())
        .field("performance", "PredictiveModelPerformance", m.get("PredictiveModelPerformance")())
        .field("monitoring", "PredictiveModelMonitoring", m.get("PredictiveModelMonitoring")())
        .validator_after(
            Function("preprocess_attributes", preprocess_attributes).self().returns("'AbstractExtendedPredictiveModel'"))
        .method(Function("get_content", get_content).self().returns("ExtendedPredictiveModelContent"))
        .classmethod(Function("parse_from_content", parse_from_content)
                         .cls()
                         .arg("content", "ExtendedPredictiveModelContent")
                         .returns("'AbstractExtendedPredictiveModel'"))
        .method(Function("get_coefficient", get_coefficient).self().arg("attribute", "str").returns("Optional[float]"))
        .abstractmethod(accessor("_migrate", not_implemented, "None"))
        .abstractmethod(accessor("get_external_model_stringio", not_implemented, "StringIO"))
        .abstractmethod(accessor("get_external_model_feature_names", not_implemented, "Optional[List[str]]"))
        .abstractmethod(accessor("get_external_model_intercept", not_implemented, "Optional[float]"))
        .abstractmethod(accessor("get_external_model_intercept_name", not_implemented, "Optional[str]"))
        .abstractmethod(accessor("get_external_model_coefficients", not_implemented, "Optional[List[float]]"))
        .abstractmethod(accessor("get_external_model_best_iteration", not_implemented, "Optional[int]"))
        .abstractmethod(accessor("get_external_model_number_of_trees", not_implemented, "Optional[int]"))
        .abstractmethod(accessor("get_external_model_number_of_attributes", not_implemented, "Optional[int]"))
        .abstractmethod(accessor("get_external_model_best_eval_metric", not_implemented, "Optional[float]"))
        .method(accessor("get_external_model_category", get_external_model_category, "PredictiveModelCategory"))
        .create();

    m.record("ExtendedPredictiveModel", {"AbstractExtendedPredictiveModel"})
        .doc("Extended predictive model: a statistical model built outside the decision platform, carried into it\n"
             "together with everything needed to run it in production.\n"
             "\n"
             "Data about the model's development (description, performance, monitoring) are filled in after the\n"
             "model has been built, and the whole object is serialised to a YAML file before the model is deployed.")
        .field("directory_name", "Optional[str]", none())
        .field("external_model", "Dict[str, Any]",
               Field(nb::arg("default_factory") = dict_type, nb::arg("exclude") = true))
        .method(accessor("_migrate", migrate, "None"))
        .method(accessor("get_external_model_stringio", get_external_model_stringio, "StringIO"))
        .method(accessor("get_external_model_feature_names", get_external_model_feature_names, "Optional[List[str]]"))
        .method(accessor("get_external_model_intercept", get_external_model_intercept, "Optional[float]"))
        .method(accessor("get_external_model_intercept_name", get_external_model_intercept_name, "Optional[str]"))
        .method(accessor("get_external_model_coefficients", get_external_model_coefficients, "Optional[List[float]]"))
        .method(accessor("get_external_model_best_iteration", get_external_model_best_iteration, "Optional[int]"))
        .method(accessor("get_external_model_number_of_trees", get_external_model_number_of_trees, "Optional[int]"))
        .method(accessor("get_external_model_number_of_attributes", get_external_model_number_of_attributes,
                         "Optional[int]"))
        .method(accessor("get_external_model_best_eval_metric", get_external_model_best_eval_metric,
                         "Optional[float]"))
        .create();

    m.strawberry_type("ExternalPredictiveModelType")
        .method(Function("__init__", external_init).self().arg("extended_model", "ExtendedPredictiveModel").returns("None"))
        .strawberry_field(accessor("coefficients", forward<&State::str_get_external_model_coefficients>,
                                   "Optional[List[float]]"))
        .strawberry_field(accessor("intercept", forward<&State::str_get_external_model_intercept>, "Optional[float]"))
        .strawberry_field(
            accessor("intercept_name", forward<&State::str_get_external_model_intercept_name>, "Optional[str]"))
        .strawberry_field(
            accessor("best_eval_metric", forward<&State::str_get_external_model_best_eval_metric>, "Optional[float]"))
        .strawberry_field(
            accessor("best_iteration", forward<&State::str_get_external_model_best_iteration>, "Optional[int]"))
        .strawberry_field(accessor("number_of_attributes", forward<&State::str_get_external_model_number_of_attributes>,
                                   "Optional[int]"))
        .strawberry_field(
            accessor("number_of_trees", forward<&State::str_get_external_model_number_of_trees>, "Optional[int]"))
        .create();

    const char *parent = "strawberry.Parent[ExtendedPredictiveModel]";
    m.view("ExtendedPredictiveModelType", "ExtendedPredictiveModel")
        .field("directory_name", "strawberry.auto")
        .field("attributes", "strawberry.auto")
        .field("predictive_model_type", "strawberry.auto")
        .field("target", "strawberry.auto")
        .field("target_class", "strawberry.auto")
        .field("preparation", "AttributePreprocessingType")
        .field("description", "PredictiveModelDescriptionType")
        .field("performance", "PredictiveModelPerformanceType")
        .field("monitoring", "PredictiveModelMonitoringType")
        .strawberry_field(Function("formula", formula).self().arg("parent", parent).returns("Optional[str]"))
        .strawberry_field(
            Function("external_model", external_model).self().arg("parent", parent).returns("ExternalPredictiveModelType"))
        .strawberry_field(Function("category", category).self().arg("parent", parent).returns("PredictiveModelCategory"))
        .create();
}

}  // namespace

KELVANE_MODULE(scorebundle, "kelvane_analytics_utils.predictive_models.scorebundle", declare)
