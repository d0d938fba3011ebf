#include "core/naming.hpp"

#include <cmath>

namespace kelvane::core {

std::size_t code_points(std::string_view utf8) {
    std::size_t n = 0;
    for (unsigned char c : utf8) n += (c & 0xC0) != 0x80;
    return n;
}

std::string shorten_label(std::string_view utf8, std::size_t limit) {
    if (code_points(utf8) <= limit) return std::string(utf8);
    std::size_t keep = limit >= 3 ? limit - 3 : 0, seen = 0, cut = 0;
    for (; cut < utf8.size(); ++cut) {
        if ((static_cast<unsigned char>(utf8[cut]) & 0xC0) != 0x80) {
            if (seen == keep) break;
            ++seen;
        }
    }
    std::string out(utf8.substr(0, cut));
    out += "...";
    return out;
}

BoundFormat bound_format(double number) {
    if (number == -INFINITY) return BoundFormat::MinusInf;
    if (number == INFINITY) return BoundFormat::PlusInf;
    if (std::isfinite(number) && std::floor(number) == number) return BoundFormat::Integer;
    if (number * 100 > 1) return BoundFormat::Fixed3;   // false for NaN
    return BoundFormat::Scientific2;
}

}  // namespace kelvane::core
