#include "core/annotations.hpp"

namespace kelvane::core {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// "Name" or "Name[...]" (brackets balanced to the end of the text).
bool is_generic(std::string_view s, std::string_view name) {
    if (s == name) return true;
    if (s.size() < name.size() + 2 || s.substr(0, name.size()) != name) return false;
    return s[name.size()] == '[' && s.back() == ']';
}

// Strips "Optional[...]" (or "typing.Optional[...]") once; reports whether it did.
bool unwrap_optional(std::string_view &s) {
    for (std::string_view prefix : {std::string_view("Optional["), std::string_view("typing.Optional[")}) {
        if (s.size() > prefix.size() && s.substr(0, prefix.size()) == prefix && s.back() == ']') {
            s = trim(s.substr(prefix.size(), s.size() - prefix.size() - 1));
            return true;
        }
    }
    return false;
}

ExactType classify(std::string_view s) {
    if (s == "str") return ExactType::Str;
    if (s == "float") return ExactType::Float;
    if (s == "int") return ExactType::Int;
    if (s == "bool") return ExactType::Bool;
    if (is_generic(s, "List") || is_generic(s, "list") || is_generic(s, "typing.List")) return ExactType::List;
    if (is_generic(s, "Dict") || is_generic(s, "dict") || is_generic(s, "typing.Dict")) return ExactType::Dict;
    return ExactType::None;
}

TypeTest read(std::string_view text) {
    std::string_view s = trim(text);
    TypeTest t;
    t.allows_none = unwrap_optional(s);
    t.type = classify(s);
    if (t.type == ExactType::None) t.allows_none = false;
    return t;
}

}  // namespace

const char *exact_type_name(ExactType t) {
    switch (t) {
        case ExactType::Str: return "str";
        case ExactType::Float: return "float";
        case ExactType::Int: return "int";
        case ExactType::Bool: return "bool";
        case ExactType::List: return "list";
        case ExactType::Dict: return "dict";
        default: return "object";
    }
}

TypeTest argument_test(std::string_view text) {
    TypeTest t = read(text);
    switch (t.type) {
        case ExactType::Str: case ExactType::Float: case ExactType::List: case ExactType::Dict:
            return t;
        default:
            return {};
    }
}

TypeTest result_test(std::string_view text) {
    TypeTest t = read(text);
    switch (t.type) {
        case ExactType::Int: case ExactType::Float: case ExactType::Str: case ExactType::Bool: case ExactType::List:
            return t;
        default:
            return {};
    }
}

}  // namespace kelvane::core
