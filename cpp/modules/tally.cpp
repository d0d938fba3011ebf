// kelvane_analytics_utils.predictive_models.yardstick.tally
//
// The vocabulary of model evaluation (kinds of development sample, performance
// metrics) and the performance of a model on one sample, with its GraphQL
// views.
#include "frame/state.hpp"
#include "modules/entry_views.hpp"

namespace {

using namespace kelvane;

#define TALLY_NAMES(X) X(performance) X(metric) X(value)

struct State : ModuleState {
    KELVANE_NAMES(TALLY_NAMES)
    nb::object metric_view;   // SamplePerformancePerformanceType
    nb::object kwnames;       // ("metric", "value")
};
KELVANE_STATE(State, S);

// The metric -> value mapping as a list of metric-value objects, in the
// mapping's order.
nb::object performance(Args a) {
    nb::object mapping = check(field_of(a.get(1), S.str_performance));
    return views::entry_views(mapping, S.metric_view, S.kwnames, false);
}

void declare(Module &m) {
    S.init(m);
    m.import_from("typing", {"Dict", "List"});
    m.import_from("enum", {"Enum"});
    m.import("strawberry");
    m.import_from("kelvane_analytics_utils.utils.base_model", {"BaseModel"});

    m.enumeration("SampleType")
        .member("TRAIN")
        .member("VALID")
        .member("TEST")
        .member("OOT")
        .member("CV")
        .strawberry()
        .create();

    m.enumeration("PerformanceMetrics")
        .member("AUC")
        .member("GINI")
        .member("LIFT")
        .member("KS")
        .member("TAU", "TAR")
        .member("RHO")
        .member("ACCURACY")
        .strawberry()
        .create();

    m.record("SamplePerformance", {"BaseModel"})
        .doc("Object containing information about performance metrics on given sample (train/valid/test/...)")
        .field("sample", "SampleType")
        .field("target", "str")
        .field("performance", "Dict[PerformanceMetrics, float]", nb::dict())
        .create();

    S.metric_view = m.strawberry_type("SamplePerformancePerformanceType")
                         .field("metric", "PerformanceMetrics")
                         .field("value", "float")
                         .create();
    S.kwnames = nb::make_tuple(nb::handle(S.str_metric), nb::handle(S.str_value));

    m.view("SamplePerformanceType", "SamplePerformance")
        .field("sample", "strawberry.auto")
        .field("target", "strawberry.auto")
        .strawberry_field(Function("performance", performance)
                              .self()
                              .arg("parent", "strawberry.Parent[SamplePerformance]")
                              .returns("List[SamplePerformancePerformanceType]")
                              .coroutine())
        .create();
}

}  // namespace

KELVANE_MODULE(tally, "kelvane_analytics_utils.predictive_models.yardstick.tally", declare)
