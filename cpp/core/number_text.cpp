// Which texts are numbers, and reading the plain decimal ones without the host.
#include "core/number_text.hpp"

#include <locale.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>
#include <system_error>

#if defined(__APPLE__)
#include <xlocale.h>
#endif

namespace kelvane::core {

namespace {

bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Whether `word` (lower case) starts at s[i], in any case.
bool starts_with_word(std::string_view s, std::size_t i, std::string_view word) {
    if (s.size() - i < word.size()) return false;
    for (std::size_t k = 0; k < word.size(); ++k) {
        char c = s[i + k];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != word[k]) return false;
    }
    return true;
}

// The number itself, without blanks around it and without underscores.
bool is_number(std::string_view s) {
    const std::size_t n = s.size();
    std::size_t i = 0;
    if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
    if (starts_with_word(s, i, "inf")) {
        i += 3;
        if (starts_with_word(s, i, "inity")) i += 5;
        return i == n;
    }
    if (starts_with_word(s, i, "nan")) return i + 3 == n;
    std::size_t digits = 0;
    while (i < n && is_digit(s[i])) ++i, ++digits;
    if (i < n && s[i] == '.') {
        ++i;
        while (i < n && is_digit(s[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        // An exponent without digits is not part of the number.
        std::size_t j = i + 1, exponent_digits = 0;
        if (j < n && (s[j] == '+' || s[j] == '-')) ++j;
        while (j < n && is_digit(s[j])) ++j, ++exponent_digits;
        if (exponent_digits > 0) i = j;
    }
    return i == n;
}

std::string_view strip_blanks(std::string_view s) {
    std::size_t begin = 0, end = s.size();
    while (begin < end && is_blank(s[begin])) ++begin;
    while (end > begin && is_blank(s[end - 1])) --end;
    return s.substr(begin, end - begin);
}

}  // namespace

bool is_float_text(std::string_view text) {
    std::string without_underscores;
    if (text.find('_') != std::string_view::npos) {
        // Each underscore sits between two digits; blanks count as non-digits.
        char prev = '\0';
        for (char c : text) {
            if (c == '\0') return false;
            if (c == '_') {
                if (!is_digit(prev)) return false;
            } else {
                if (prev == '_' && !is_digit(c)) return false;
                without_underscores.push_back(c);
            }
            prev = c;
        }
        if (prev == '_') return false;
        text = without_underscores;
    }
    text = strip_blanks(text);
    return !text.empty() && is_number(text);
}

bool read_float_text(std::string_view text, double &value) {
    text = strip_blanks(text);
    if (text.empty()) return false;
    for (char c : text)
        if (!is_digit(c) && c != '.' && c != 'e' && c != 'E' && c != '+' && c != '-') return false;
    if (!is_number(text)) return false;
#if KELVANE_HAVE_FROM_CHARS_DOUBLE
    return convert_by_from_chars(text, value);
#else
    return convert_by_strtod(text, value);
#endif
}

#if KELVANE_HAVE_FROM_CHARS_DOUBLE
bool convert_by_from_chars(std::string_view number, double &value) {
    if (number.front() == '+') number.remove_prefix(1);   // from_chars takes no plus sign
    double x;
    auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), x);
    if (error != std::errc() || end != number.data() + number.size()) return false;
    value = x;
    return true;
}
#endif

bool convert_by_strtod(std::string_view number, double &value) {
    // The C locale, made once: the process's locale may read the point as
    // something else or not at all.
#if defined(_WIN32)
    static const _locale_t c_locale = _create_locale(LC_ALL, "C");
#else
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t(0));
#endif
    if (!c_locale) return false;   // left to the host's conversion
    const std::string terminated(number);
    char *end = nullptr;
#if defined(_WIN32)
    const double x = _strtod_l(terminated.c_str(), &end, c_locale);
#else
    const double x = strtod_l(terminated.c_str(), &end, c_locale);
#endif
    if (end != terminated.c_str() + terminated.size()) return false;
    // Overflow gives an infinity (the text holds no word). Underflow to zero
    // is told from a written zero by a non-zero digit before the exponent,
    // not by errno, which the C library may or may not set for it.
    if (std::isinf(x)) return false;
    if (x == 0 && number.substr(0, number.find_first_of("eE")).find_first_of("123456789") != std::string_view::npos)
        return false;
    value = x;
    return true;
}

}  // namespace kelvane::core
