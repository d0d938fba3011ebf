// Building a scorer from a bundle: the kind of model, its features and where
// each comes from, the XGBoost document read completely into the native
// forest (every value type-checked here, every tree validated by the core
// builder), or the coefficients of a linear model. Everything wrong with the
// document is a ValueError naming its place; nothing is read at scoring time.
#include "modules/scoring/state.hpp"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <unordered_set>

namespace kelvane::scoring {

namespace {

[[noreturn]] void value_error(const std::string &message) {
    PyErr_SetString(PyExc_ValueError, message.c_str());
    throw_error();
}

std::string type_name(PyObject *o) { return Py_TYPE(o)->tp_name; }

// obj.<name> (may run Python code: a property, a __getattr__).
nb::object attr(nb::handle obj, PyObject *name) { return check(PyObject_GetAttr(obj.ptr(), name)); }

std::string text_of(PyObject *s) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(s, &size);
    if (!data) throw_error();
    return std::string(data, static_cast<std::size_t>(size));
}

// A path through the XGBoost document, for messages ("learner → objective").
struct Place {
    std::string path;
    Place at(const char *key) const { return {path.empty() ? std::string(key) : path + " → " + key}; }
    Place at(std::size_t index) const { return {path + "[" + std::to_string(index) + "]"}; }
    [[noreturn]] void fail(const std::string &why) const { value_error("XGBoost model document, " + path + ": " + why); }
};

// obj[key] of an exact dict, or an empty object when the key is absent.
nb::object member(nb::handle obj, PyObject *key, const Place &place) {
    if (!PyDict_CheckExact(obj.ptr())) place.fail("expected a mapping, got " + type_name(obj.ptr()));
    PyObject *item = nullptr;
    if (PyDict_GetItemRef(obj.ptr(), key, &item) < 0) throw_error();
    return nb::steal(item);
}

nb::object required(nb::handle obj, PyObject *key, const Place &place) {
    nb::object item = member(obj, key, place);
    if (!item.is_valid()) place.at(PyUnicode_AsUTF8(key)).fail("missing");
    return item;
}

std::string text(nb::handle obj, const Place &place) {
    if (!PyUnicode_CheckExact(obj.ptr())) place.fail("expected a str, got " + type_name(obj.ptr()));
    return text_of(obj.ptr());
}

// A count stored as an integer or as integer text ("300").
std::int64_t count(nb::handle obj, const Place &place) {
    PyObject *o = obj.ptr();   // held by the caller; nothing below runs Python code
    if (PyLong_CheckExact(o)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow || v < 0 || v > std::numeric_limits<std::int32_t>::max()) place.fail("out of range");
        return v;
    }
    const std::string t = text(obj, place);
    char *end = nullptr;
    const long long v = std::strtoll(t.c_str(), &end, 10);
    if (t.empty() || *end != '\0' || v < 0 || v > std::numeric_limits<std::int32_t>::max())
        place.fail("expected a count, got '" + t + "'");
    return v;
}

// The items of an exact list, each checked and converted by `read`.
// Items are borrowed from the list: `read` runs no Python code.
template <class T, class Read>
void read_list(nb::handle obj, std::vector<T> &out, const Place &place, Read &&read) {
    PyObject *list = obj.ptr();   // held by the caller
    if (!PyList_CheckExact(list)) place.fail("expected a list, got " + type_name(list));
    const Py_ssize_t n = PyList_GET_SIZE(list);
    out.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyList_GET_ITEM(list, i);   // borrowed; nothing below runs Python code
        if (!read(item, out[static_cast<std::size_t>(i)]))
            place.at(static_cast<std::size_t>(i)).fail("expected a number in range, got " + type_name(item));
    }
}

void read_integers(nb::handle obj, std::vector<std::int64_t> &out, const Place &place) {
    read_list(obj, out, place, [](PyObject *item, std::int64_t &v) {
        if (!PyLong_CheckExact(item)) return false;
        int overflow = 0;
        v = PyLong_AsLongLongAndOverflow(item, &overflow);
        return overflow == 0;
    });
}

void read_floats(nb::handle obj, std::vector<float> &out, const Place &place) {
    read_list(obj, out, place, [](PyObject *item, float &v) {
        if (PyFloat_CheckExact(item)) {
            v = static_cast<float>(PyFloat_AS_DOUBLE(item));
            return true;
        }
        if (!PyLong_CheckExact(item)) return false;
        const double d = PyLong_AsDouble(item);
        if (d == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        v = static_cast<float>(d);
        return true;
    });
}

void read_flags(nb::handle obj, std::vector<std::uint8_t> &out, const Place &place) {
    read_list(obj, out, place, [](PyObject *item, std::uint8_t &v) {
        if (!PyLong_Check(item) || (!PyLong_CheckExact(item) && !PyBool_Check(item))) return false;
        int overflow = 0;
        const long long x = PyLong_AsLongLongAndOverflow(item, &overflow);
        v = (overflow || x < 0 || x > 255) ? 255 : static_cast<std::uint8_t>(x);
        return true;
    });
}

// Reused buffers of one tree's arrays.
struct TreeArrays {
    std::vector<std::int64_t> left, right, index, cats, cat_nodes, cat_segments, cat_sizes;
    std::vector<float> cond;
    std::vector<std::uint8_t> dleft, type;
};

void read_tree(nb::handle tree, std::int64_t group, TreeArrays &a, core::ForestBuilder &builder, const Place &place) {
    nb::object param = required(tree, S.str_tree_param, place);
    const Place param_place = place.at("tree_param");
    if (nb::object size = member(param, S.str_size_leaf_vector, param_place); size.is_valid()) {
        if (count(size, param_place.at("size_leaf_vector")) > 1) place.fail("vector-leaf trees are not supported");
    }
    const std::int64_t n = count(required(param, S.str_num_nodes, param_place), param_place.at("num_nodes"));
    read_integers(required(tree, S.str_left_children, place), a.left, place.at("left_children"));
    read_integers(required(tree, S.str_right_children, place), a.right, place.at("right_children"));
    read_integers(required(tree, S.str_split_indices, place), a.index, place.at("split_indices"));
    read_floats(required(tree, S.str_split_conditions, place), a.cond, place.at("split_conditions"));
    read_flags(required(tree, S.str_default_left, place), a.dleft, place.at("default_left"));
    if (a.left.size() != static_cast<std::size_t>(n)) place.fail("num_nodes is " + std::to_string(n) + " but the tree has " + std::to_string(a.left.size()) + " nodes");
    a.type.clear();
    a.cats.clear();
    a.cat_nodes.clear();
    a.cat_segments.clear();
    a.cat_sizes.clear();
    if (nb::object type = member(tree, S.str_split_type, place); type.is_valid()) {
        read_flags(type, a.type, place.at("split_type"));
        read_integers(required(tree, S.str_categories, place), a.cats, place.at("categories"));
        read_integers(required(tree, S.str_categories_nodes, place), a.cat_nodes, place.at("categories_nodes"));
        read_integers(required(tree, S.str_categories_segments, place), a.cat_segments, place.at("categories_segments"));
        read_integers(required(tree, S.str_categories_sizes, place), a.cat_sizes, place.at("categories_sizes"));
    }
    builder.add_tree({a.left, a.right, a.index, a.cond, a.dleft, a.type, a.cats, a.cat_nodes, a.cat_segments, a.cat_sizes, group});
}

// The categories XGBoost 3.1+ stores per feature ("cats" → "enc"): texts as
// UTF-8 bytes cut by offsets; the code of a category is its position.
// Numeric category values are not texts: a text never matches them.
void read_categories(nb::handle cats, const std::vector<bool> &categorical, Scorer &s, const Place &place) {
    nb::object enc = required(cats, S.str_enc, place);
    const Place enc_place = place.at("enc");
    if (!PyList_CheckExact(enc.ptr())) enc_place.fail("expected a list");
    // A tuple of the entries: a key's __eq__ met in a lookup below (a
    // document holding keys of another type) could change the list, never
    // the tuple.
    enc = check(PySequence_Tuple(enc.ptr()));
    const auto n = static_cast<std::size_t>(PyTuple_GET_SIZE(enc.ptr()));
    if (n == 0) return;
    if (n != categorical.size()) enc_place.fail("holds " + std::to_string(n) + " features, the model has " + std::to_string(categorical.size()));
    std::vector<std::int64_t> offsets, bytes;
    for (std::size_t f = 0; f < n; ++f) {
        if (!categorical[f]) continue;
        nb::object column = nb::borrow(PyTuple_GET_ITEM(enc.ptr(), static_cast<Py_ssize_t>(f)));
        const Place column_place = enc_place.at(f);
        std::unordered_map<std::string, float> codes;
        if (nb::object off = member(column, S.str_offsets, column_place); off.is_valid()) {
            read_integers(off, offsets, column_place.at("offsets"));
            read_integers(required(column, S.str_values, column_place), bytes, column_place.at("values"));
            std::string name;
            for (std::size_t k = 0; k + 1 < offsets.size(); ++k) {
                const std::int64_t b = offsets[k], e = offsets[k + 1];
                if (b < 0 || e < b || static_cast<std::size_t>(e) > bytes.size()) column_place.fail("offsets out of range");
                name.clear();
                for (std::int64_t j = b; j < e; ++j) name.push_back(static_cast<char>(bytes[j]));
                codes.emplace(name, static_cast<float>(k));
            }
        }
        s.features[f].categories = static_cast<int>(s.category_codes.size());
        s.category_codes.push_back(std::move(codes));
    }
}

core::Forest read_forest(nb::handle doc, const std::vector<bool> &categorical, Scorer &s) {
    const Place root{"xgb_model"};
    nb::object learner = required(doc, S.str_learner, root);
    const Place lp = root.at("learner");
    nb::object params = required(learner, S.str_learner_model_param, lp);
    const Place pp = lp.at("learner_model_param");
    const std::int64_t n_class = count(required(params, S.str_num_class, pp), pp.at("num_class"));
    if (nb::object targets = member(params, S.str_num_target, pp); targets.is_valid()) {
        if (count(targets, pp.at("num_target")) > 1) pp.fail("models with several targets are not supported");
    }
    std::vector<float> base;
    try {
        base = core::parse_base_score(text(required(params, S.str_base_score, pp), pp.at("base_score")));
    } catch (const core::ModelError &e) {
        pp.at("base_score").fail(e.what());
    }

    nb::object objective = required(learner, S.str_objective, lp);
    const std::string objective_name = text(required(objective, S.str_name, lp.at("objective")), lp.at("objective").at("name"));
    const std::optional<core::Objective> kind = core::objective_by_name(objective_name);
    if (!kind) value_error("the objective '" + objective_name + "' is not supported for scoring");

    nb::object booster = required(learner, S.str_gradient_booster, lp);
    Place bp = lp.at("gradient_booster");
    const std::string booster_name = text(required(booster, S.str_name, bp), bp.at("name"));
    nb::object holder = booster;   // the object holding "model"
    if (booster_name == "dart") {
        holder = required(booster, S.str_gbtree, bp);
        bp = bp.at("gbtree");
    } else if (booster_name != "gbtree") {
        value_error("the booster '" + booster_name + "' is not supported for scoring");
    }
    nb::object model = required(holder, S.str_model, bp);
    const Place mp = bp.at("model");
    nb::object tree_params = required(model, S.str_gbtree_model_param, mp);
    const Place tp = mp.at("gbtree_model_param");
    const std::int64_t n_trees = count(required(tree_params, S.str_num_trees, tp), tp.at("num_trees"));
    std::int64_t per_layer = 1;
    if (nb::object npt = member(tree_params, S.str_num_parallel_tree, tp); npt.is_valid())
        per_layer = count(npt, tp.at("num_parallel_tree"));

    core::ForestHeader header;
    header.n_features = s.features.size();
    header.n_outputs = static_cast<std::size_t>(std::max<std::int64_t>(n_class, 1));
    header.base_score = std::move(base);
    header.objective = *kind;
    header.trees_per_layer = static_cast<std::size_t>(per_layer);

    try {
        core::ForestBuilder builder(std::move(header));
        nb::object trees = required(model, S.str_trees, mp);
        if (!PyList_CheckExact(trees.ptr())) mp.at("trees").fail("expected a list");
        trees = check(PySequence_Tuple(trees.ptr()));   // as "enc" in read_categories
        std::vector<std::int64_t> groups;
        read_integers(required(model, S.str_tree_info, mp), groups, mp.at("tree_info"));
        const auto n = static_cast<std::size_t>(PyTuple_GET_SIZE(trees.ptr()));
        if (n != static_cast<std::size_t>(n_trees) || groups.size() != n)
            mp.fail("num_trees is " + std::to_string(n_trees) + ", with " + std::to_string(n) + " trees and " +
                    std::to_string(groups.size()) + " tree_info entries");
        builder.reserve(n, 0);
        TreeArrays arrays;
        for (std::size_t t = 0; t < n; ++t) {
            nb::object tree = nb::borrow(PyTuple_GET_ITEM(trees.ptr(), static_cast<Py_ssize_t>(t)));
            read_tree(tree, groups[t], arrays, builder, mp.at("trees").at(t));
        }
        if (nb::object indptr = member(model, S.str_iteration_indptr, mp); indptr.is_valid()) {
            std::vector<std::int64_t> bounds;
            read_integers(indptr, bounds, mp.at("iteration_indptr"));
            builder.set_round_boundaries(bounds);
        }
        // Dart weights: beside the trees (3.4) or beside the "gbtree" object.
        nb::object weights = member(model, S.str_weight_drop, mp);
        if (!weights.is_valid() && booster_name == "dart") weights = member(booster, S.str_weight_drop, lp.at("gradient_booster"));
        if (weights.is_valid()) {
            std::vector<float> w;
            read_floats(weights, w, Place{"weight_drop"});
            builder.set_weights(w);
        }
        core::Forest forest = builder.finish();
        // Categories only matter when the document stores them.
        if (nb::object cats = member(model, S.str_cats, mp); cats.is_valid()) read_categories(cats, categorical, s, mp.at("cats"));
        for (std::size_t f = 0; f < categorical.size(); ++f)
            if (categorical[f] && s.features[f].categories < 0) {
                s.features[f].categories = static_cast<int>(s.category_codes.size());
                s.category_codes.emplace_back();
            }
        return forest;
    } catch (const core::ModelError &e) {
        value_error(std::string("XGBoost model document: ") + e.what());
    }
}

// A list of exact str, as names.
std::vector<nb::object> names_of(nb::handle list, const char *what) {
    if (!PyList_Check(list.ptr())) value_error(std::string(what) + " must be a list of str");
    std::vector<nb::object> names;
    each(list, [&](nb::handle item) {
        if (!PyUnicode_CheckExact(item.ptr())) value_error(std::string(what) + " must be a list of str, got an item of type " + type_name(item.ptr()));
        names.push_back(nb::borrow(item));
        return false;
    });
    return names;
}

bool is_empty_list(nb::handle o) { return PyList_Check(o.ptr()) && PyList_GET_SIZE(o.ptr()) == 0; }

// The bundle's preparation, and the names it produces: binned names,
// dummy features, and what transformations create (with their text).
struct Produced {
    std::unordered_set<std::string> binned_or_encoded;
    std::vector<nb::object> inputs;                         // attributes binned or encoded
    std::unordered_map<std::string, nb::object> created;   // name → transformation text
    bool prepares = false;
};

Produced produced_by(nb::handle preparation) {
    Produced p;
    nb::object transformations = attr(preparation, S.str_transformations);
    each(transformations, [&](nb::handle t) {
        nb::object created = attr(t, S.str_transformed_attribute_name);
        nb::object attribute = attr(t, S.str_attribute);
        if (PyUnicode_Check(created.ptr()) && !equals(created, attribute)) {
            nb::object formula = attr(t, S.str_transformation);
            p.created.emplace(text_of(created.ptr()), formula);
        }
        return false;
    });
    nb::object binning = attr(preparation, S.str_binning);
    each(binning, [&](nb::handle b) {
        p.prepares = true;
        p.inputs.push_back(attr(b, S.str_attribute));
        nb::object name = attr(b, S.str_binned_attribute_name);
        if (!PyUnicode_Check(name.ptr()) || PyUnicode_GET_LENGTH(name.ptr()) == 0) name = attr(b, S.str_attribute);
        if (PyUnicode_Check(name.ptr())) p.binned_or_encoded.insert(text_of(name.ptr()));
        return false;
    });
    nb::object encodings = attr(preparation, S.str_dummy_encoding);
    each(encodings, [&](nb::handle e) {
        p.prepares = true;
        p.inputs.push_back(attr(e, S.str_attribute));
        nb::object entries = attr(e, S.str_encoding);
        each(entries, [&](nb::handle entry) {
            nb::object name = attr(entry, S.str_encoded_feature_name);
            if (PyUnicode_Check(name.ptr())) p.binned_or_encoded.insert(text_of(name.ptr()));
            return false;
        });
        return false;
    });
    return p;
}

}  // namespace

Scorer build_scorer(nb::handle model, nb::handle iteration_end) {
    Scorer s;
    nb::object type = attr(model, S.str_predictive_model_type);
    const bool xgb = !type.is_none() && equals(type, S.XGB);
    const bool logistic = !xgb && !type.is_none() && equals(type, S.LOGISTIC_REGRESSION);
    const bool expert = !xgb && !logistic && !type.is_none() && equals(type, S.EXPERT_SCORE);
    if (!xgb && !logistic && !expert) {
        nb::object shown = type.is_none() ? type : nb::object(attr(type, S.str_name));
        PyErr_Format(PyExc_ValueError, "Models of type %S cannot be scored: XGB, LOGISTIC_REGRESSION and EXPERT_SCORE can", shown.ptr());
        throw_error();
    }
    s.trees = xgb;

    // Features: the model's own names.
    nb::object external = attr(model, S.str_external_model);
    nb::object listed = call_method(S.str_get_external_model_feature_names, model);
    nb::object document, learner;
    std::vector<nb::object> names;
    std::vector<bool> categorical;
    if (xgb) {
        document = member(external, S.str_xgb_model, Place{"external_model"});
        if (!document.is_valid()) value_error("The XGB bundle has no external_model[\"xgb_model\"] document");
        learner = required(document, S.str_learner, Place{"xgb_model"});
        nb::object learner_names = member(learner, S.str_feature_names, Place{"xgb_model → learner"});
        if (!listed.is_none()) names = names_of(listed, "external_model[\"feature_names\"]");
        else if (learner_names.is_valid()) names = names_of(learner_names, "learner → feature_names");
        else value_error("The XGBoost model has no feature names: neither external_model[\"feature_names\"] nor learner → feature_names");
        categorical.assign(names.size(), false);
        if (nb::object types = member(learner, S.str_feature_types, Place{"xgb_model → learner"}); types.is_valid()) {
            const std::vector<nb::object> kinds = names_of(types, "learner → feature_types");
            if (kinds.size() == names.size())
                for (std::size_t f = 0; f < kinds.size(); ++f) categorical[f] = text_of(kinds[f].ptr()) == "c";
        }
    } else {
        if (!listed.is_none() && !is_empty_list(listed)) names = names_of(listed, "external_model[\"feature_names\"]");
        else names = names_of(attr(model, S.str_attributes), "attributes");
    }

    // Where each feature comes from.
    nb::object preparation = attr(model, S.str_preparation);
    const Produced produced = produced_by(preparation);
    nb::object declared = attr(model, S.str_attributes);
    std::unordered_set<std::string> declared_names;
    each(declared, [&](nb::handle a) {
        if (PyUnicode_Check(a.ptr())) declared_names.insert(text_of(a.ptr()));
        return false;
    });
    std::string unproduced;
    for (const nb::object &name : names) {
        Feature f;
        f.name = name;
        const std::string t = text_of(name.ptr());
        const auto created = produced.created.find(t);
        if (created != produced.created.end() && !produced.binned_or_encoded.count(t)) f.transformation = created->second;
        if (!declared_names.empty() && !declared_names.count(t) && created == produced.created.end() &&
            !produced.binned_or_encoded.count(t))
            unproduced += (unproduced.empty() ? "'" : ", '") + t + "'";
        s.features.push_back(std::move(f));
    }
    if (!unproduced.empty())
        value_error("Model features that no declared attribute, transformation, binning or dummy encoding produces: " + unproduced);
    // A private copy: later changes to the bundle do not reach the scorer.
    if (produced.prepares) {
        nb::object names_tuple = check(PyTuple_Pack(1, S.str_deep));
        PyObject *argv[] = {preparation.ptr(), Py_True};   // held by `preparation` and the interpreter
        s.preparation = check(PyObject_VectorcallMethod(S.str_model_copy, argv, 1, names_tuple.ptr()));
        s.prepared_inputs = produced.inputs;
    } else {
        s.preparation = nb::none();
    }

    if (xgb) {
        s.forest = read_forest(document, categorical, s);
        nb::object rounds = nb::borrow(iteration_end);
        if (rounds.is_none()) rounds = call_method(S.str_get_external_model_best_iteration, model);
        std::size_t used = s.forest.n_rounds();
        if (!rounds.is_none()) {
            if (!PyLong_Check(rounds.ptr()) || PyBool_Check(rounds.ptr())) {
                raise_argument_type("iteration_end", "int", rounds.ptr());
                throw_error();
            }
            const long long r = PyLong_AsLongLong(rounds.ptr());
            if (r == -1 && PyErr_Occurred()) throw_error();
            if (r < 1 || static_cast<unsigned long long>(r) > s.forest.n_rounds())
                value_error("iteration_end must be between 1 and the model's " + std::to_string(s.forest.n_rounds()) +
                            " rounds, got " + std::to_string(r));
            used = static_cast<std::size_t>(r);
        }
        s.tree_end = s.forest.trees_of_rounds(used);
        s.iteration_end = nb::int_(used);
        return s;
    }

    // Linear models.
    if (!iteration_end.is_none()) value_error("iteration_end applies to XGBoost models only");
    s.iteration_end = nb::none();
    s.linear.logistic = logistic;
    nb::object coefficients = call_method(S.str_get_external_model_coefficients, model);
    if (coefficients.is_none()) value_error("The linear model has no coefficients (external_model[\"model\"][\"coef_\"])");
    each(coefficients, [&](nb::handle c) {
        if (!PyFloat_Check(c.ptr()) && !PyLong_Check(c.ptr())) value_error("Coefficients must be numbers, got " + type_name(c.ptr()));
        const double v = PyFloat_AsDouble(c.ptr());
        if (v == -1.0 && PyErr_Occurred()) throw_error();
        s.linear.coefficients.push_back(v);
        return false;
    });
    if (s.linear.coefficients.size() != s.features.size())
        value_error("The linear model has " + std::to_string(s.linear.coefficients.size()) + " coefficients for " +
                    std::to_string(s.features.size()) + " features");
    nb::object intercept = call_method(S.str_get_external_model_intercept, model);
    s.linear.intercept = intercept.is_none() ? 0.0 : PyFloat_AsDouble(intercept.ptr());
    if (s.linear.intercept == -1.0 && PyErr_Occurred()) throw_error();
    return s;
}

}  // namespace kelvane::scoring
