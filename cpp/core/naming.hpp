// Bin label rules, kept free of Python so they can be tested and timed alone.
#pragma once
#include <string>
#include <string_view>

namespace kelvane::core {

// Cuts a joined category text to `limit` code points: longer texts keep their
// first limit-3 code points followed by "...". Texts are UTF-8.
std::string shorten_label(std::string_view utf8, std::size_t limit = 50);

// Number of code points in a UTF-8 text.
std::size_t code_points(std::string_view utf8);

// Which rule formats a bound in a numerical bin's name.
enum class BoundFormat { MinusInf, PlusInf, Integer, Fixed3, Scientific2 };
BoundFormat bound_format(double number);

}  // namespace kelvane::core
