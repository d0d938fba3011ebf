// kelvane_analytics_utils.predictive_models.preparation.reshaping
//
// One transformation applied to a raw attribute before binning and scoring.
#include "frame/frame.hpp"

namespace {

using namespace kelvane;

void declare(Module &m) {
    m.import_from("typing", {"Optional"});
    m.import("strawberry");
    m.import_from("kelvane_analytics_utils.utils.base_model", {"BaseModel"});

    m.record("AttributeTransformation", {"BaseModel"})
        .field("attribute", "str")
        .field("transformation", "str")
        .field("transformed_attribute_name", "Optional[str]", none())
        .create();

    m.view("AttributeTransformationType", "AttributeTransformation")
        .field("attribute", "strawberry.auto")
        .field("transformation", "strawberry.auto")
        .field("transformed_attribute_name", "strawberry.auto")
        .create();
}

}  // namespace

KELVANE_MODULE(reshaping, "kelvane_analytics_utils.predictive_models.preparation.reshaping", declare)
