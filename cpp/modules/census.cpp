// kelvane_analytics_utils.predictive_models.dossier.census
//
// Descriptive facts about one sample used while a model was developed: its
// kind, the period it covers, its size and how it splits over the classes of
// the target label, with their GraphQL views.
#include "frame/state.hpp"

namespace {

using namespace kelvane;

#define CENSUS_NAMES(X) X(label_class)

struct State : ModuleState {
    KELVANE_NAMES(CENSUS_NAMES)
};
KELVANE_STATE(State, S);

// The label class as text: a string as it is, anything else by str(); GraphQL
// always sees a string whatever the class's type.
nb::object label_class(Args a) {
    nb::object label = check(field_of(a.get(1), S.str_label_class));
    return check(PyObject_Str(label.ptr()));
}

void declare(Module &m) {
    S.init(m);
    m.import_from("datetime", {"date"});
    m.import_from("typing", {"Optional", "Any", "List"});
    m.import("strawberry");
    m.import_from("kelvane_analytics_utils.predictive_models.yardstick.tally", {"SampleType"});
    m.import_from("kelvane_analytics_utils.utils.base_model", {"BaseModel"});

    m.record("ClassFrequency", {"BaseModel"})
        .field("label_class", "Any")
        .field("number_of_observations", "Optional[int]", none())
        .create();

    m.view("ClassFrequencyType", "ClassFrequency")
        .field("number_of_observations", "strawberry.auto")
        .strawberry_field(Function("label_class", label_class)
                              .self()
                              .arg("parent", "strawberry.Parent[ClassFrequency]")
                              .returns("str"))
        .create();

    m.record("SampleDescription", {"BaseModel"})
        .doc("Object for storing descriptive information about samples used in models development "
             "(train/valid/test/...)")
        .field("sample_type", "Optional[SampleType]", none())
        .field("first_date", "Optional[date]", none())
        .field("last_date", "Optional[date]", none())
        .field("number_of_observations", "Optional[int]", none())
        .field("label_class_frequency", "Optional[List[ClassFrequency]]", none())
        .create();

    m.view("SampleDescriptionType", "SampleDescription")
        .field("sample_type", "strawberry.auto")
        .field("first_date", "strawberry.auto")
        .field("last_date", "strawberry.auto")
        .field("number_of_observations", "strawberry.auto")
        .field("label_class_frequency", "Optional[List[ClassFrequencyType]]")
        .create();
}

}  // namespace

KELVANE_MODULE(census, "kelvane_analytics_utils.predictive_models.dossier.census", declare)
