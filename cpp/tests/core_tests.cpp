// Unit tests of the Python-free logic (run by CTest).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <initializer_list>
#include <vector>

#include "tests/expect.hpp"
#include "core/annotations.hpp"
#include "core/binning.hpp"
#include "core/naming.hpp"
#include "core/number_text.hpp"
#include "core/quotes.hpp"
#include "core/records.hpp"

using namespace kelvane::core;


static void annotations() {
    struct Case { const char *text; ExactType arg; ExactType result; bool optional; };
    const Case cases[] = {
        {"str", ExactType::Str, ExactType::Str, false},
        {"Optional[float]", ExactType::Float, ExactType::Float, true},
        {"List", ExactType::List, ExactType::List, false},
        {"List[Dict[str, str]]", ExactType::List, ExactType::List, false},
        {"Dict[str, Any]", ExactType::Dict, ExactType::None, false},
        {"Optional[Dict[str, int]]", ExactType::Dict, ExactType::None, true},
        {"int", ExactType::None, ExactType::Int, false},
        {"bool", ExactType::None, ExactType::Bool, false},
        {"Optional[Union[int, float]]", ExactType::None, ExactType::None, false},
        {"Union[str, int, float]", ExactType::None, ExactType::None, false},
        {"Any", ExactType::None, ExactType::None, false},
        {"'AttributeBinning'", ExactType::None, ExactType::None, false},
        {"Listing", ExactType::None, ExactType::None, false},
    };
    for (const Case &c : cases) {
        EXPECT(argument_test(c.text).type == c.arg);
        EXPECT(result_test(c.text).type == c.result);
        if (c.arg != ExactType::None) EXPECT(argument_test(c.text).allows_none == c.optional);
    }
}

static void naming() {
    EXPECT(shorten_label("A,B") == "A,B");
    std::string fifty(50, 'x'), fiftyone(51, 'x');
    EXPECT(shorten_label(fifty) == fifty);
    EXPECT(shorten_label(fiftyone) == std::string(47, 'x') + "...");
    // Code points, not bytes: 50 two-byte characters stay whole.
    std::string wide;
    for (int i = 0; i < 50; ++i) wide += "\xc3\xa9";
    EXPECT(shorten_label(wide) == wide);
    EXPECT(code_points(shorten_label(wide + "\xc3\xa9")) == 50);
    EXPECT(bound_format(-INFINITY) == BoundFormat::MinusInf);
    EXPECT(bound_format(INFINITY) == BoundFormat::PlusInf);
    EXPECT(bound_format(3.0) == BoundFormat::Integer);
    EXPECT(bound_format(0.011) == BoundFormat::Fixed3);
    EXPECT(bound_format(0.01) == BoundFormat::Scientific2);
    EXPECT(bound_format(-2.5) == BoundFormat::Scientific2);
    EXPECT(bound_format(NAN) == BoundFormat::Scientific2);
}

static void quotes() {
    auto layers = [](const std::u32string &s) {
        return quote_layers(s.size(), [&](std::size_t i) { return s[i]; });
    };
    EXPECT(layers(U"'x'") == 1);
    EXPECT(layers(U"\"'x'\"") == 2);
    EXPECT(layers(U"'") == 1);
    EXPECT(layers(U"''") == 1);
    EXPECT(layers(U"'''") == 2);
    EXPECT(layers(U"'x\"") == 0);
    EXPECT(layers(U"\u2018x\u2019") == 0);
    EXPECT(layers(U"") == 0);
}

static void intervals() {
    const std::vector<Interval> bins = {{-INFINITY, 10}, {10, INFINITY}};
    IntervalIndex idx(bins);
    EXPECT(idx.find(10) == 0);
    EXPECT(idx.find(10.0001) == 1);
    EXPECT(idx.find(-INFINITY) == no_bin);
    EXPECT(idx.find(INFINITY) == 1);
    EXPECT(idx.find(NAN) == no_bin);

    // Random overlapping, unordered and degenerate intervals, few (bounds
    // counted) and many (bounds searched): the index answers what the scan
    // answers.
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> edge(-20, 20), count(0, 30);
    for (int round = 0; round < 300; ++round) {
        std::vector<Interval> b;
        for (int i = count(rng); i > 0; --i) {
            double l = edge(rng), u = edge(rng);
            if (edge(rng) == 6) l = -INFINITY;
            if (edge(rng) == -6) u = INFINITY;
            if (edge(rng) == 0) u = NAN;
            b.push_back({l, u});
        }
        IntervalIndex index(b);
        for (double v = -21; v <= 21; v += 0.5)
            EXPECT(index.find(v) == first_interval(b.data(), b.size(), v));
        EXPECT(index.find(INFINITY) == first_interval(b.data(), b.size(), INFINITY));
        EXPECT(index.find(-INFINITY) == first_interval(b.data(), b.size(), -INFINITY));
    }
}

static void float_texts() {
    const char *accepted[] = {
        "42", "-42", "+4.5", "4.", ".5", "00", "1e3", "1E+03", "1e-0", "1.5e10", " 7 ", "\t\n7\r\v\f",
        "1_000", "1_000.000_1", "1e1_0", " 1_0 ", "nan", "-NaN", "inf", "+Infinity", "iNfInItY", "1e999",
    };
    const char *rejected[] = {
        "", "   ", "abc", ".", "e3", "1e", "1e+", "1.2.3", "1_", "_1", "1__0", "1_.5", "1._5", "1_e5",
        "1e_5", "1 0", "0x10", "infinit", "infinityy", "nana", "--1", "+-1", "1d", "in", "n", " _1",
        "1_ ", ("\x1c" "1"),   // \x1c then 1: the hex escape would swallow the digit
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

// The strtod conversion (what libc++ builds use) against known answers and,
// where the library has it, against from_chars on the same texts.
static void float_conversions() {
    struct Case { const char *text; bool read; double value; };
    const Case known[] = {
        {"1.5", true, 1.5}, {"-0", true, -0.0}, {"0e999", true, 0.0}, {"0.000e-999", true, 0.0},
        {"123.456e-2", true, 1.23456}, {"5e-324", true, 4.9406564584124654e-324},
        {"2.4703282292062328e-324", true, 4.9406564584124654e-324}, {"1e-310", true, 9.9999999999999694e-311},
        {"1.7976931348623158e308", true, 1.7976931348623157e308},
        {"2.4703282292062327e-324", false, 0}, {"-1e-400", false, 0}, {"1.7976931348623159e308", false, 0},
        {"1e309", false, 0}, {"1.5x", false, 0},
    };
    for (const Case &c : known) {
        double x = -1;
        EXPECT(convert_by_strtod(c.text, x) == c.read);
        EXPECT(c.read ? x == c.value && std::signbit(x) == std::signbit(c.value) : x == -1);
    }
#if KELVANE_HAVE_FROM_CHARS_DOUBLE
    std::vector<std::string> texts;
    for (const Case &c : known) texts.emplace_back(c.text);
    std::mt19937_64 rng(20240611);
    char buffer[64];
    for (int i = 0; i < 20000; ++i) {
        double d;
        const std::uint64_t bits = rng();
        std::memcpy(&d, &bits, sizeof d);
        if (!std::isfinite(d)) continue;
        std::snprintf(buffer, sizeof buffer, "%.*e", static_cast<int>(rng() % 20), d);   // rounded: near halfway cases
        texts.emplace_back(buffer);
        std::snprintf(buffer, sizeof buffer, "%.17g", d);
        texts.emplace_back(buffer);
    }
    for (const std::string &t : texts) {
        double a = -1, b = -1;
        const bool by_strtod = convert_by_strtod(t, a), by_from_chars = convert_by_from_chars(t, b);
        if (by_strtod != by_from_chars || std::memcmp(&a, &b, sizeof a) != 0)
            std::fprintf(stderr, "conversions differ on '%s'\n", t.c_str());
        EXPECT(by_strtod == by_from_chars && std::memcmp(&a, &b, sizeof a) == 0);
    }
#endif
}

// ASCII digits, Arabic-Indic digits (U+0660..) and fullwidth digits (U+FF10..);
// "½", "²" and other numeric characters are no decimal digits.
static int test_decimal(char32_t c) {
    if (c >= U'0' && c <= U'9') return static_cast<int>(c - U'0');
    if (c >= 0x660 && c <= 0x669) return static_cast<int>(c - 0x660);
    if (c >= 0xFF10 && c <= 0xFF19) return static_cast<int>(c - 0xFF10);
    return -1;
}

static void records() {
    for (const char *lift : {"LIFT(10)", "LIFT(", "LIFT"}) EXPECT(metric_name(lift) == "LIFT");
    EXPECT(metric_name("GINI") == "GINI" && metric_name("XLIFT(") == "XLIFT(");

    auto next = [](std::initializer_list<const char *> keys) {
        NoteNumbering n(test_decimal);
        for (const char *k : keys) n.offer(k);
        return n.next_key();
    };
    EXPECT(next({}) == "note_1");
    EXPECT(next({"note_1", "note_7", "note_3"}) == "note_8");          // gaps are not filled
    EXPECT(next({"notes", "note", "note_", "remark_9", "Note_4"}) == "note_1");
    EXPECT(next({"note_2", "note_1_5", "note_x", "note_-3", "note_ 4"}) == "note_3");
    EXPECT(next({"note-5", "noteX6"}) == "note_7");                    // any separator
    EXPECT(next({"note_007"}) == "note_8" && next({"note_000"}) == "note_1");
    EXPECT(next({"note_\xc2\xbd", "note_\xc2\xb2", "note_1\xc2\xbd"}) == "note_1");   // ½, ², 1½
    EXPECT(next({"note_\xd9\xa1\xd9\xa2", "note_3"}) == "note_13");               // Arabic-Indic 12
    EXPECT(next({"note\xc3\xa9\xef\xbc\x94"}) == "note_5");                        // é separator, fullwidth 4
    EXPECT(next({"note_9"}) == "note_10");
    EXPECT(next({"note_99999999999999999999999999"}) == "note_100000000000000000000000000");
    EXPECT(next({"note_123456789012345678901234567890", "note_99"}) == "note_123456789012345678901234567891");
}

int main() {
    records();
    annotations();
    naming();
    quotes();
    intervals();
    float_texts();
    float_values();
    float_conversions();
    if (!failures) std::puts("core tests passed");
    return finish();
}
