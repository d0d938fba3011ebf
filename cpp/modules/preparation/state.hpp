// kelvane_analytics_utils.predictive_models.preparation.preparation: the
// state the module's sources share (interned names, captured classes and
// members, the record fields read on the hot paths) and the helpers they
// all use.
//
// The module is built from:
//   registry.cpp        - the registry methods of AttributePreprocessing and
//                         the building of binnings from a plain mapping;
//   apply_binning.cpp   - applying binnings to raw values (single and batch);
//   dummy_encoding.cpp  - the dummy-encoding records and applying them;
//   scoring_record.cpp  - preparing a whole scoring record in one call;
//   module.cpp          - the declaration of the module.
#pragma once

#include "frame/fields.hpp"
#include "frame/host.hpp"
#include "frame/state.hpp"
#include "modules/bin_scan.hpp"

namespace kelvane::preparation {

#define PREPARATION_NAMES(X)                                                                                    \
    X(attribute) X(transformation) X(transformed_attribute_name) X(transformations) X(binning) X(dummy_encoding) \
    X(encoding) X(value) X(encoded_feature_name) X(use_for_undefined) X(attribute_data_type) X(discretisation)   \
    X(binned_attribute_name) X(name) X(lower_bound) X(upper_bound) X(categories) X(type) X(frequency)           \
    X(target_rate) X(id) X(bin_numeric_attribute) X(bin_categoric_attribute) X(get_discretisation) X(warning)   \
    X(info) X(append) X(get) X(keys) X(dtype) X(bins) X(bin_vals) X(bin_frequencies) X(bin_target_rates)        \
    X(null_val) X(null_frequency) X(null_target_rate) X(default) X(apply_discretisation) X(apply_dummy_encoding)  \
    X(update)

struct State : ModuleState {
    KELVANE_NAMES(PREPARATION_NAMES)
    bins::Vocabulary V;                       // bin classes and reserved names
    nb::object AttributePreprocessing, AttributeTransformation, AttributeBinning;
    nb::object NUMERICAL, CATEGORICAL;        // AttributeDataType members
    nb::object bin_numeric_attribute;         // AttributeBinning's own lookups
    nb::object bin_categoric_attribute;
    nb::object get_discretisation;            // AttributePreprocessing's own methods
    nb::object apply_discretisation, apply_dummy_encoding;
    nb::object zero, one, zero_float;         // 0, 1, 0.0
    Py_ssize_t binning_fields = -1;           // the number of fields a binning's dict holds
};
KELVANE_STATE_EXTERN(State, S);

// The fields read on the hot paths: the bin fields first (bin_scan.hpp),
// then the module's own. Records of the classes trusted while declaring are
// read straight from their dicts (frame/fields.hpp).
enum Field : int {
    NAME = bins::NAME, VALUE = bins::VALUE, LOWER_BOUND = bins::LOWER_BOUND, UPPER_BOUND = bins::UPPER_BOUND,
    CATEGORIES = bins::CATEGORIES, DISCRETISATION = bins::DISCRETISATION, ATTRIBUTE = bins::ATTRIBUTE,
    BINNING = bins::BINNING,
    TRANSFORMATIONS = bins::END, DUMMY_ENCODING,                           // AttributePreprocessing
    TRANSFORMATION, TRANSFORMED_ATTRIBUTE_NAME,                            // AttributeTransformation
    ATTRIBUTE_DATA_TYPE, BINNED_ATTRIBUTE_NAME,                            // AttributeBinning
    ENCODING, ENCODED_FEATURE_NAME, USE_FOR_UNDEFINED,                     // dummy encodings
};
extern RecordFields F;

// record.<field>: the instance dict first, then attribute lookup.
inline nb::object field(PyObject *record, Field f) { return check(F.get(record, f)); }

// The field at its learned place in the record's dict, borrowed, or nullptr
// (no error) when it is not there. Runs no Python code: a caller that runs
// none either may use it without a reference.
inline PyObject *entry(PyObject *record, Field f) { return F.entry(record, f); }

// The first record of `list` whose `attribute` equals `attribute`, or None.
nb::object first_with_attribute(PyObject *list, PyObject *attribute);

// self.get_discretisation(attribute), read directly when the record's own
// method would answer.
nb::object discretisation_of(PyObject *self, PyObject *attribute);

// What apply_discretisation(attribute, value) answers when `binning` is what
// self.get_discretisation(attribute) answered (None included): the bin value,
// or the failure re-raised with the "Binning attribute ..." prefix. Sets
// *quiet to false when Python code may have run (the binning's own lookup
// was called, or a field was read by attribute access). `own`: the caller
// has proved that the binning is a plain AttributeBinning whose lookups are
// its class's (see own_lookups).
nb::object discretise(PyObject *binning, PyObject *attribute, PyObject *value, bool *quiet, bool own = false);

// The value of the first regular bin of `list` (the exact list of bins of a
// plain binning whose lookups are its class's) that `value` falls in, when
// the scan meets only plain bins and the value is a usual one (a float or int
// that is not NaN; a str other than "nan"); an empty object when the
// binning's own lookup must answer. Runs no Python code.
nb::object try_scan_bins(PyObject *list, bool numeric, PyObject *value);

// Names the fields and captures what the module's sources need; called while
// declaring, once the binning and reshaping modules are imported.
void capture(Module &m);

// Trusts the module's records for direct field reading (after declaring).
void read_fields_directly(Module &m);

// Method implementations, declared by module.cpp.
nb::object get_transformation_formula(Args a);
nb::object add_reshaping(Args a);
nb::object add_discretisation(Args a);
nb::object get_discretisation(Args a);
nb::object discretisation_exists(Args a);
nb::object get_all_transformation_attributes(Args a);
nb::object get_attributes_created_in_transformations(Args a);
nb::object get_all_binning_attributes(Args a);
nb::object get_attributes_created_in_binning(Args a);
nb::object get_all_dummy_enc_attributes(Args a);
nb::object apply_discretisation(Args a);
nb::object apply_discretisation_batch(Args a);
nb::object apply_dummy_encoding(Args a);
nb::object apply_preprocessing(Args a);
nb::object check_created_attribute_naming(Args a);

}  // namespace kelvane::preparation
