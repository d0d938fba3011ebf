// kelvane_analytics_utils.predictive_models.scoring
//
// The bundle scores itself: ExtendedPredictiveModelScorer, a native object
// holding an immutable snapshot of a bundle (its XGBoost forest or linear
// model, its features, a private copy of its preparation), scores one
// record or whole columns of records without the model library.
#include "modules/scoring/state.hpp"

namespace kelvane::scoring {

KELVANE_STATE_DEFINE(State, S);

namespace {

bool flag(nb::handle value, const char *name) {
    if (!PyBool_Check(value.ptr())) {
        raise_argument_type(name, "bool", value.ptr());
        throw_error();
    }
    return value.ptr() == Py_True;
}

const Scorer &self_of(Args a) { return native<Scorer>(a[0]); }

nb::object scorer_new(Args a) {
    const int is_bundle = PyObject_IsInstance(a.get(1), S.AbstractExtendedPredictiveModel.ptr());
    if (is_bundle < 0) throw_error();
    if (!is_bundle) {
        raise_argument_type("model", "ExtendedPredictiveModel", a.get(1));
        throw_error();
    }
    return make_native<Scorer>(a[0], build_scorer(a[1], a[2]));
}

nb::object feature_names(Args a) {
    const Scorer &s = self_of(a);
    nb::object list = check(PyList_New(static_cast<Py_ssize_t>(s.features.size())));
    for (std::size_t f = 0; f < s.features.size(); ++f)
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(f), nb::object(s.features[f].name).release().ptr());
    return list;
}

nb::object output_size(Args a) { return nb::int_(self_of(a).result_width(false)); }

nb::object iteration_end(Args a) { return self_of(a).iteration_end; }

nb::object prepare_record(Args a) { return prepare(self_of(a), a[1]); }

nb::object score_record(Args a) { return score(self_of(a), a[1], flag(a[2], "output_margin")); }

nb::object score_columns(Args a) {
    const Scorer &s = self_of(a);
    const bool margin = flag(a[2], "output_margin");
    if (!PyLong_Check(a.get(3)) || PyBool_Check(a.get(3))) {
        raise_argument_type("n_threads", "int", a.get(3));
        throw_error();
    }
    const Py_ssize_t threads = PyLong_AsSsize_t(a.get(3));
    if (threads == -1 && PyErr_Occurred()) throw_error();
    return score_batch(s, a[1], margin, threads);
}

void declare(Module &m) {
    S.init(m);
    m.import_from("typing", {"Any", "Dict", "List", "Optional", "Union"});
    m.import_from("kelvane_analytics_utils.predictive_models.scorebundle",
                  {"AbstractExtendedPredictiveModel", "ExtendedPredictiveModel", "PredictiveModelType"});
    S.AbstractExtendedPredictiveModel = m.get("AbstractExtendedPredictiveModel");
    nb::object types = m.get("PredictiveModelType");
    S.XGB = check(PyObject_GetAttr(types.ptr(), S.str_XGB));
    S.LOGISTIC_REGRESSION = check(PyObject_GetAttr(types.ptr(), S.str_LOGISTIC_REGRESSION));
    S.EXPERT_SCORE = check(PyObject_GetAttr(types.ptr(), S.str_EXPERT_SCORE));

    NativeClass<Scorer>(m, "ExtendedPredictiveModelScorer")
        .doc("Scores records with a bundle's model: an immutable snapshot of an ExtendedPredictiveModel.")
        .constructor(Function("__new__", scorer_new)
                         .cls()
                         .arg("model", "ExtendedPredictiveModel")
                         .kwonly("iteration_end", "Optional[int]", none()))
        .property(Function("feature_names", feature_names).self().returns("List[str]"))
        .property(Function("output_size", output_size).self().returns("int"))
        .property(Function("iteration_end", iteration_end).self().returns("Optional[int]"))
        .method(Function("prepare", prepare_record).self().arg("values", "Dict[str, Any]").returns("List[float]"))
        .method(Function("score", score_record)
                    .self()
                    .arg("values", "Dict[str, Any]")
                    .kwonly("output_margin", "bool", nb::handle(Py_False))
                    .returns("Union[float, List[float]]"))
        .method(Function("score_batch", score_columns)
                    .self()
                    .arg("columns", "Any")
                    .kwonly("output_margin", "bool", nb::handle(Py_False))
                    .kwonly("n_threads", "int", nb::int_(1))
                    .returns("memoryview"))
        .create();
}

}  // namespace

}  // namespace kelvane::scoring

KELVANE_MODULE(scoring, "kelvane_analytics_utils.predictive_models.scoring", kelvane::scoring::declare)
