// kelvane_analytics_utils.predictive_models.preparation.preparation
//
// The preprocessing record of a model: its transformations, binnings and
// dummy encodings, the building of binnings from a plain mapping of bin
// edges and values, and the application of binnings and dummy encodings to
// raw attribute values. This file declares the module; the methods live in
// the sources named in state.hpp.
#include "modules/preparation/state.hpp"

namespace kelvane::preparation {

KELVANE_STATE_DEFINE(State, S);
RecordFields F;

namespace {

constexpr const char *kBinningModule = "kelvane_analytics_utils.predictive_models.preparation.discretisation";

}  // namespace

void capture(Module &m) {
    // What the lookups need beyond the module's own names.
    S.V.capture(check(PyImport_ImportModule(kBinningModule)));
    S.AttributeBinning = m.get("AttributeBinning");
    S.AttributeTransformation = m.get("AttributeTransformation");
    nb::object data_type = m.get("AttributeDataType");
    S.NUMERICAL = data_type.attr("NUMERICAL");
    S.CATEGORICAL = data_type.attr("CATEGORICAL");
    S.bin_numeric_attribute = class_function(S.AttributeBinning, S.str_bin_numeric_attribute);
    S.bin_categoric_attribute = class_function(S.AttributeBinning, S.str_bin_categoric_attribute);
    S.zero = nb::int_(0);
    S.one = nb::int_(1);
    S.zero_float = nb::float_(0.0);
}

// The module's own records and those of the binning and reshaping modules are
// read straight from their dicts; records built here show where the records
// of each class keep their fields.
void read_fields_directly(Module &m) {
    nb::object numeric = S.V.numerical(nb::arg("id") = 2, nb::arg("lower_bound") = 0.0, nb::arg("upper_bound") = 1.0,
                                       nb::arg("value") = 1.0);
    nb::object categorical = S.V.categorical(nb::arg("id") = 3, nb::arg("categories") = nb::list(),
                                             nb::arg("value") = 1.0);
    nb::list bins;
    bins.append(numeric);
    bins.append(categorical);
    nb::object binning = S.AttributeBinning(nb::arg("attribute") = "a", nb::arg("attribute_data_type") = S.NUMERICAL,
                                            nb::arg("discretisation") = bins);
    nb::object transformation = S.AttributeTransformation(nb::arg("attribute") = "a", nb::arg("transformation") = "t");
    nb::object single = m.get("PredictiveModelDummyEncodingSingleValue")(nb::arg("value") = "v",
                                                                         nb::arg("encoded_feature_name") = "f");
    nb::list singles;
    singles.append(single);
    nb::object encoding = m.get("PredictiveModelDummyEncoding")(nb::arg("attribute") = "a", nb::arg("encoding") = singles);
    nb::object preprocessing = S.AttributePreprocessing();
    if (PyObject *dict = RecordFields::dict_of(binning.ptr())) S.binning_fields = PyDict_GET_SIZE(dict);
    for (nb::handle record : {preprocessing, transformation, binning, numeric, categorical, encoding, single}) {
        F.trust(nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(record.ptr()))));
        F.learn(record.ptr());
    }
}

namespace {

void declare(Module &m) {
    S.init(m);
    bins::name_fields(F, {"transformations", "dummy_encoding", "transformation", "transformed_attribute_name",
                          "attribute_data_type", "binned_attribute_name", "encoding", "encoded_feature_name",
                          "use_for_undefined"});

    m.import_from("typing", {"List", "Optional", "Union", "Dict", "Any"});
    m.import("structlog");
    m.import("strawberry");
    m.import_from("pydantic", {"model_validator"});
    m.import_from(kBinningModule,
                  {"AttributeBinning", "AttributeBinningType", "AttributeDataType", "PredictiveModelBinName"});
    m.import_from("kelvane_analytics_utils.predictive_models.preparation.reshaping",
                  {"AttributeTransformation", "AttributeTransformationType"});
    m.import_from("kelvane_analytics_utils.utils.base_model", {"BaseModel"});
    m.logger();

    capture(m);

    m.record("PredictiveModelDummyEncodingSingleValue", {"BaseModel"})
        .field("value", "Union[str, int, float]")
        .field("encoded_feature_name", "str")
        .field("use_for_undefined", "bool", nb::bool_(false))
        .create();

    m.record("PredictiveModelDummyEncoding", {"BaseModel"})
        .field("attribute", "str")
        .field("encoding", "List[PredictiveModelDummyEncodingSingleValue]")
        .validator_after(Function("check_created_attribute_naming", check_created_attribute_naming)
                             .self()
                             .returns("'PredictiveModelDummyEncoding'")
                             .doc("We don't allow new features created by dummy encoding to be named the same as "
                                  "original attribute."))
        .create();

    nb::object preprocessing =
        m.record("AttributePreprocessing", {"BaseModel"})
            .doc("Class stores information about attribute transformations and binning applied before models "
                 "creation.")
            .field("transformations", "List[AttributeTransformation]", nb::list())
            .field("binning", "List[AttributeBinning]", nb::list())
            .field("dummy_encoding", "List[PredictiveModelDummyEncoding]", nb::list())
            .method(Function("get_transformation_formula", get_transformation_formula)
                        .self()
                        .arg("attribute", "str")
                        .returns("str"))
            .method(Function("add_reshaping", add_reshaping)
                        .self()
                        .arg("transformations", "List[Dict[str, str]]")
                        .returns("None"))
            .classmethod(Function("add_discretisation", add_discretisation)
                             .cls()
                             .arg("attributes_binning", "Dict[str, Any]")
                             .returns("List[AttributeBinning]")
                             .doc("Create objects with attribute binning from dictionary.\n"
                                  "\n"
                                  ":param attributes_binning: dictionary with binning of the attributes\n"
                                  ":return:"))
            .method(Function("get_discretisation", get_discretisation)
                        .self()
                        .arg("attribute", "str")
                        .returns("Optional[AttributeBinning]"))
            .method(Function("apply_discretisation", apply_discretisation)
                        .self()
                        .arg("attribute", "str")
                        .arg("attribute_value", "Union[str, int, float]")
                        .returns("Optional[float]"))
            .method(Function("apply_discretisation_batch", apply_discretisation_batch)
                        .self()
                        .arg("attribute", "str")
                        .arg("attribute_values", "List")
                        .returns("Optional[List[float]]"))
            .method(Function("discretisation_exists", discretisation_exists)
                        .self()
                        .arg("attribute", "str")
                        .returns("bool")
                        .doc("Check if attribute binning exists.\n"
                             ":param attribute: name of the attribute\n"
                             ":return: True if binning for given attribute exists"))
            .method(Function("get_all_transformation_attributes", get_all_transformation_attributes)
                        .self()
                        .returns("List[str]"))
            .method(Function("get_attributes_created_in_transformations", get_attributes_created_in_transformations)
                        .self()
                        .returns("List[str]"))
            .method(Function("get_all_binning_attributes", get_all_binning_attributes).self().returns("List[str]"))
            .method(Function("get_attributes_created_in_binning", get_attributes_created_in_binning)
                        .self()
                        .returns("List[str]"))
            .method(Function("get_all_dummy_enc_attributes", get_all_dummy_enc_attributes).self().returns("List[str]"))
            .method(Function("apply_dummy_encoding", apply_dummy_encoding)
                        .self()
                        .arg("attribute", "str")
                        .arg("attribute_value", "Union[str, int, float]")
                        .returns("Optional[Dict[str, int]]"))
            .method(Function("apply_preprocessing", apply_preprocessing)
                        .self()
                        .arg("values", "Dict[str, Any]")
                        .returns("Dict[str, Any]")
                        .doc("Prepare one scoring record: bin and dummy-encode its raw values in one call.\n"
                             "\n"
                             "For each binned attribute, in the order of `binning` and by its first binning, the\n"
                             "value apply_discretisation gives, under the binning's binned_attribute_name when it\n"
                             "is set, else under the attribute; then, for each encoded attribute, in the order of\n"
                             "`dummy_encoding` and by its first encoding, the features apply_dummy_encoding\n"
                             "gives. A missing attribute counts as None. Logs and raises as those calls would.\n"
                             "\n"
                             ":param values: raw attribute values by attribute name\n"
                             ":return: a new mapping of the prepared values"))
            .create();
    S.AttributePreprocessing = preprocessing;
    S.get_discretisation = class_function(preprocessing, S.str_get_discretisation);
    S.apply_discretisation = class_function(preprocessing, S.str_apply_discretisation);
    S.apply_dummy_encoding = class_function(preprocessing, S.str_apply_dummy_encoding);
    read_fields_directly(m);

    m.view("AttributePreprocessingType", "AttributePreprocessing")
        .field("binning", "List[AttributeBinningType]")
        .field("transformations", "List[AttributeTransformationType]")
        .create();
}

}  // namespace

}  // namespace kelvane::preparation

namespace {
void declare_preparation(kelvane::Module &m) { kelvane::preparation::declare(m); }
}  // namespace

KELVANE_MODULE(preparation, "kelvane_analytics_utils.predictive_models.preparation.preparation", declare_preparation)
