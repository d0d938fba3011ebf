// kelvane_analytics_utils.predictive_models.yardstick.yardstick
//
// The performance of a model on its development samples and the metrics it is
// judged by. Metrics may be written loosely as text (any letter case, lift at
// any depth as "LIFT(...)"); they are turned into PerformanceMetrics members
// before field validation.
#include "frame/host.hpp"
#include "frame/state.hpp"

#include "core/records.hpp"

#include <string_view>

namespace {

using namespace kelvane;

#define YARDSTICK_NAMES(X) X(performance_metrics) X(upper)

struct State : ModuleState {
    KELVANE_NAMES(YARDSTICK_NAMES)
    nb::object metrics;   // the PerformanceMetrics enum
};
KELVANE_STATE(State, S);

// PerformanceMetrics(<metric's name>) for an exact str `metric`; a text that
// is no member's value raises the enum lookup's ValueError.
nb::object metric_member(PyObject *metric) {
    nb::object upper = call_method(S.str_upper, metric);
    // Lone surrogates pass through the UTF-8 round trip unchanged.
    nb::object bytes = check(PyUnicode_AsEncodedString(upper.ptr(), "utf-8", "surrogatepass"));
    std::string_view text(PyBytes_AS_STRING(bytes.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr())));
    std::string_view name = core::metric_name(text);
    nb::object value = name.size() == text.size()
                           ? upper
                           : check(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    return check(PyObject_CallOneArg(S.metrics.ptr(), value.ptr()));
}

nb::object validate_performance_metric_str(Args a) { return metric_member(a.get(1)); }

// Before field validation: every item of data["performance_metrics"] that is
// not already a member is named by validate_performance_metric_str; order and
// duplicates are kept. The data is changed in place and returned.
nb::object validate_performance_metrics(Args a) {
    PyObject *data = a.get(1);   // borrowed: the caller holds the arguments for the whole call
    int present = PySequence_Contains(data, S.str_performance_metrics);
    if (present < 0) throw_error();
    if (!present) return nb::borrow(data);
    nb::object old = check(PyObject_GetItem(data, S.str_performance_metrics));
    nb::object out = check(PyList_New(0));
    PyTypeObject *metrics = reinterpret_cast<PyTypeObject *>(S.metrics.ptr());
    each(old, [&](nb::handle item) {
        const bool is_member = PyObject_TypeCheck(item.ptr(), metrics);
        if (!is_member && !PyUnicode_CheckExact(item.ptr())) {
            raise_argument_type("metric", "str", item.ptr());
            throw_error();
        }
        nb::object member = is_member ? nb::borrow(item) : metric_member(item.ptr());
        if (PyList_Append(out.ptr(), member.ptr()) < 0) throw_error();
        return false;
    });
    if (PyObject_SetItem(data, S.str_performance_metrics, out.ptr()) < 0) throw_error();
    return nb::borrow(data);
}

void declare(Module &m) {
    S.init(m);
    m.import_from("typing", {"Any", "List"});
    m.import_from("pydantic", {"model_validator"});
    m.import("strawberry");
    m.import_from("kelvane_analytics_utils.predictive_models.yardstick.tally",
                  {"PerformanceMetrics", "SamplePerformance"});
    m.import_from("kelvane_analytics_utils.predictive_models.yardstick.tally", {"SamplePerformanceType"});
    m.import_from("kelvane_analytics_utils.utils.base_model", {"BaseModel"});

    S.metrics = m.get("PerformanceMetrics");

    m.record("PredictiveModelPerformance", {"BaseModel"})
        .doc("Object to store information about models performance on development sample.")
        .field("tally", "List[SamplePerformance]", nb::list())
        .field("performance_metrics", "List[PerformanceMetrics]", nb::list())
        .classmethod(Function("validate_performance_metric_str", validate_performance_metric_str)
                         .cls()
                         .arg("metric", "str")
                         .returns("PerformanceMetrics"))
        .validator_before(Function("validate_performance_metrics", validate_performance_metrics)
                              .cls()
                              .arg("data", "Any")
                              .returns("Any"))
        .create();

    m.view("PredictiveModelPerformanceType", "PredictiveModelPerformance")
        .field("tally", "List[SamplePerformanceType]")
        .field("performance_metrics", "strawberry.auto")
        .create();
}

}  // namespace

KELVANE_MODULE(yardstick, "kelvane_analytics_utils.predictive_models.yardstick.yardstick", declare)
