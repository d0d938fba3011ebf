// The model formula of a logistic regression: the linear predictor written
// as text, four decimals per number.
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane::core {

// The text the host's format(x, ".4f") gives for a float: fixed point with
// four decimals, the exact binary value rounded half to even, every integer
// digit written, "-0.0000" for negative zero, and "nan", "inf", "-inf" for
// the special values (a NaN never shows a sign). Independent of the locale.
std::string fixed4(double x);

// One attribute of the formula.
struct FormulaTerm {
    enum class Sign { None, Plus, Minus };
    Sign sign = Sign::None;    // None: no coefficient, the term stands alone after " + "
    std::string coefficient;   // the coefficient's text, without its sign for Minus
    std::string text;          // what stands for the attribute (UTF-8)
};

// The term of an attribute whose coefficient is a float or missing: a
// negative coefficient (NaN is not negative) moves its sign into the
// separator, zero and positive ones follow " + ".
FormulaTerm formula_term(std::optional<double> coefficient, std::string text);

// intercept, then for each term " + text", " + c * text" or " - c * text".
std::string formula_text(std::string_view intercept, const std::vector<FormulaTerm> &terms);

}  // namespace kelvane::core
