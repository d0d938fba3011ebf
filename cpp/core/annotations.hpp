// Reading annotation texts ("Optional[List[str]]", "float", ...) into the
// exact-type checks that arguments and results of C++ callables get.
#pragma once
#include <string_view>

namespace kelvane::core {

enum class ExactType : unsigned char { None, Str, Float, Int, Bool, List, Dict };

struct TypeTest {
    ExactType type = ExactType::None;
    bool allows_none = false;   // wrapped in Optional[...]
    bool active() const { return type != ExactType::None; }
};

// Name of the built-in type as it appears in the error messages.
const char *exact_type_name(ExactType t);

// The test an argument annotated with `text` gets: str, float, list and dict
// types (alone or inside Optional[...]) are tested; everything else is not.
TypeTest argument_test(std::string_view text);

// The test a result annotated with `text` gets: int, float, str, bool and list
// types (alone or inside Optional[...]) are tested; everything else is not.
TypeTest result_test(std::string_view text);

}  // namespace kelvane::core
