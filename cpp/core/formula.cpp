#include "core/formula.hpp"

#include <charconv>
#include <cmath>

namespace kelvane::core {

std::string fixed4(double x) {
    if (std::isnan(x)) return "nan";
    if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
    // The largest double has 309 integer digits; sign, point and decimals fit too.
    char buf[330];
    auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, 4);
    return std::string(buf, r.ptr);
}

FormulaTerm formula_term(std::optional<double> coefficient, std::string text) {
    FormulaTerm t;
    t.text = std::move(text);
    if (!coefficient) return t;
    if (*coefficient < 0) {
        t.sign = FormulaTerm::Sign::Minus;
        t.coefficient = fixed4(std::fabs(*coefficient));
    } else {
        t.sign = FormulaTerm::Sign::Plus;
        t.coefficient = fixed4(*coefficient);
    }
    return t;
}

std::string formula_text(std::string_view intercept, const std::vector<FormulaTerm> &terms) {
    std::string out(intercept);
    for (const FormulaTerm &t : terms) {
        switch (t.sign) {
            case FormulaTerm::Sign::None: out += " + "; break;
            case FormulaTerm::Sign::Plus: out += " + "; out += t.coefficient; out += " * "; break;
            case FormulaTerm::Sign::Minus: out += " - "; out += t.coefficient; out += " * "; break;
        }
        out += t.text;
    }
    return out;
}

}  // namespace kelvane::core
