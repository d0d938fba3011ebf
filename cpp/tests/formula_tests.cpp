// Unit tests of the formula text of a logistic regression (run by CTest).
#include <cmath>
#include <cstdio>
#include <string>

#include "core/formula.hpp"

using namespace kelvane::core;

static int failures = 0;
#define EXPECT_EQ(actual, expected)                                                              \
    do {                                                                                          \
        if ((actual) != (expected)) {                                                             \
            std::fprintf(stderr, "%s:%d: got '%s', expected '%s'\n", __FILE__, __LINE__,          \
                         std::string(actual).c_str(), std::string(expected).c_str());             \
            ++failures;                                                                           \
        }                                                                                         \
    } while (0)

static void numbers() {
    EXPECT_EQ(fixed4(1.23456), "1.2346");
    EXPECT_EQ(fixed4(0.0), "0.0000");
    EXPECT_EQ(fixed4(-0.0), "-0.0000");
    EXPECT_EQ(fixed4(-2.5), "-2.5000");
    // Ties of the exact binary value go to even; 0.00005 is just above its tie.
    EXPECT_EQ(fixed4(0.03125), "0.0312");
    EXPECT_EQ(fixed4(0.00015), "0.0001");
    EXPECT_EQ(fixed4(0.00005), "0.0001");
    EXPECT_EQ(fixed4(1e20), "100000000000000000000.0000");
    EXPECT_EQ(fixed4(NAN), "nan");
    EXPECT_EQ(fixed4(-NAN), "nan");
    EXPECT_EQ(fixed4(-INFINITY), "-inf");
    EXPECT_EQ(std::to_string(fixed4(1.7976931348623157e308).size()), "314");   // 309 integer digits
}

static void formulas() {
    EXPECT_EQ(formula_text("-2.5000", {formula_term(0.0312, "age"), formula_term(-0.0125, "income")}),
              "-2.5000 + 0.0312 * age - 0.0125 * income");
    EXPECT_EQ(formula_text("0.0000", {formula_term(std::nullopt, "(log(x))"), formula_term(0.0, "y"),
                                      formula_term(-0.0, "z"), formula_term(NAN, "w")}),
              "0.0000 + (log(x)) + 0.0000 * y + -0.0000 * z + nan * w");
    EXPECT_EQ(formula_text("1.0000", {}), "1.0000");
}

int main() {
    numbers();
    formulas();
    if (failures) std::fprintf(stderr, "%d failure(s)\n", failures);
    return failures ? 1 : 0;
}
