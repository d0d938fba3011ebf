// Quote rules of literal values: ' and " only, both ends the same character.
#pragma once
#include <cstddef>

namespace kelvane::core {

inline bool is_quote(char32_t c) { return c == U'\'' || c == U'"'; }

// A text of `length` code points whose first and last code points are given.
inline bool has_quotes(std::size_t length, char32_t first, char32_t last) {
    return length > 0 && is_quote(first) && first == last;
}

// Layers of quotes around a text, counted from the outside in, given a way to
// read its code points. Reads at most 2 * layers + 2 code points.
template <class At>
std::size_t quote_layers(std::size_t length, At at) {
    std::size_t begin = 0, end = length, layers = 0;
    while (end > begin && has_quotes(end - begin, at(begin), at(end - 1))) {
        ++layers;
        if (end - begin <= 2) break;   // the text became empty
        ++begin;
        --end;
    }
    return layers;
}

}  // namespace kelvane::core
