#include "core/records.hpp"

namespace kelvane::core {

std::string_view metric_name(std::string_view upper) {
    if (upper.substr(0, 5) == "LIFT(") return "LIFT";
    return upper;
}

namespace {

// Decodes the code point at `i` of a valid UTF-8 text and moves past it.
char32_t next_code_point(std::string_view s, std::size_t &i) {
    const auto b = static_cast<unsigned char>(s[i]);
    int extra = b < 0x80 ? 0 : b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
    char32_t c = extra == 0 ? b : extra == 1 ? (b & 0x1F) : extra == 2 ? (b & 0x0F) : (b & 0x07);
    ++i;
    for (; extra > 0 && i < s.size(); --extra, ++i) c = (c << 6) | (static_cast<unsigned char>(s[i]) & 0x3F);
    return c;
}

}  // namespace

void NoteNumbering::offer(std::string_view key) {
    // "note" is ASCII: its four code points are its first four bytes.
    if (key.substr(0, 4) != "note") return;
    std::size_t i = 4;
    if (i < key.size()) next_code_point(key, i);   // the separator, whatever it is
    if (i >= key.size()) return;                      // no number: 0
    // Collect the digits without leading zeros; any non-digit makes the number 0.
    std::string digits;
    while (i < key.size()) {
        int d = decimal_(next_code_point(key, i));
        if (d < 0 || d > 9) return;
        if (d == 0 && digits.empty()) continue;
        digits.push_back(static_cast<char>('0' + d));
    }
    if (digits.size() > highest_.size() || (digits.size() == highest_.size() && digits > highest_))
        highest_ = std::move(digits);
}

std::string NoteNumbering::next_key() const {
    std::string n = highest_.empty() ? "0" : highest_;
    // n + 1 in decimal.
    std::size_t i = n.size();
    while (i > 0 && n[i - 1] == '9') n[--i] = '0';
    if (i == 0) {
        n.insert(n.begin(), '1');
    } else {
        ++n[i - 1];
    }
    return "note_" + n;
}

}  // namespace kelvane::core
