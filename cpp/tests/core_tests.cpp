// Unit tests of the Python-free logic (run by CTest).
#include <cstdio>
#include <string>

#include "core/number_text.hpp"
#include "core/quotes.hpp"

using namespace kelvane::core;

static int failures = 0;
#define EXPECT(cond)                                                                 \
    do {                                                                             \
        if (!(cond)) {                                                               \
            std::fprintf(stderr, "%s:%d: expected %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                              \
        }                                                                            \
    } while (0)

static void quotes() {
    auto layers = [](const std::u32string &s) { return quote_layers(s.size(), [&](std::size_t i) { return s[i]; }); };
    EXPECT(layers(U"'x'") == 1);
    EXPECT(layers(U"\"'x'\"") == 2);
    EXPECT(layers(U"'") == 1);
    EXPECT(layers(U"''") == 1);
    EXPECT(layers(U"'''") == 2);
    EXPECT(layers(U"'x\"") == 0);
    EXPECT(layers(U"\u2018x\u2019") == 0);
    EXPECT(layers(U"") == 0);
}

static void float_texts() {
    const char *accepted[] = {
        "42", "-42", "+4.5", "4.", ".5", "00", "1e3", "1E+03", "1e-0", "1.5e10", " 7 ", "\t\n7\r\v\f",
        "1_000", "1_000.000_1", "1e1_0", " 1_0 ", "nan", "-NaN", "inf", "+Infinity", "iNfInItY", "1e999",
    };
    const char *rejected[] = {
        "", "   ", "abc", ".", "e3", "1e", "1e+", "1.2.3", "1_", "_1", "1__0", "1_.5", "1._5", "1_e5",
        "1e_5", "1 0", "0x10", "infinit", "infinityy", "nana", "--1", "+-1", "1d", "in", "n", " _1",
        "1_ ", "\x1c" "1",
    };
    for (const char *t : accepted) {
        if (!is_float_text(t)) std::fprintf(stderr, "rejected: '%s'\n", t);
        EXPECT(is_float_text(t));
    }
    for (const char *t : rejected) {
        if (is_float_text(t)) std::fprintf(stderr, "accepted: '%s'\n", t);
        EXPECT(!is_float_text(t));
    }
    // An embedded NUL ends nothing: the whole text must be the number.
    EXPECT(!is_float_text(std::string_view("1\0", 2)));
    EXPECT(!is_float_text(std::string_view("1_0\0", 4)));
}

static void float_values() {
    struct Case { const char *text; double value; };
    const Case read[] = {
        {"42", 42.0}, {" -7 ", -7.0}, {"+0.5", 0.5}, {"4.", 4.0}, {".25", 0.25}, {"1e3", 1000.0},
        {"1E-3", 0.001}, {"0.1", 0.1}, {"-0", -0.0}, {"007", 7.0}, {"9007199254740993", 9007199254740992.0},
    };
    for (const Case &c : read) {
        double x = -1;
        EXPECT(read_float_text(c.text, x));
        EXPECT(x == c.value);
    }
    // Left to the host: words, underscores, overflow and underflow, and non-numbers.
    for (const char *t : {"inf", "nan", "1_0", "1e400", "1e-400", "1e", "abc", "", "+-1", "1.2.3"}) {
        double x = -1;
        EXPECT(!read_float_text(t, x));
        EXPECT(x == -1);
    }
}

int main() {
    quotes();
    float_texts();
    float_values();
    if (failures) std::fprintf(stderr, "%d failure(s)\n", failures);
    return failures ? 1 : 0;
}
