// Rules of the model record modules that need no interpreter: how a metric
// written loosely as text is named, and how general notes given as text are
// numbered.
#pragma once
#include <string>
#include <string_view>

namespace kelvane::core {

// The metric name of an upper-cased metric text: lift at any depth
// ("LIFT(10)", "LIFT(5%)", "LIFT(") is "LIFT"; any other text is itself.
std::string_view metric_name(std::string_view upper);

// Decimal value (0-9) of a code point, or -1 when it is no decimal digit.
// The host supplies its Unicode character database.
using DecimalOf = int (*)(char32_t);

// Numbering of general notes given as text. Every existing key is offered in
// turn; a key whose first four characters are "note" carries the number
// written after its first five characters when that part is a non-empty run of
// decimal digits (in any script), and 0 otherwise (no number, "notes", or a
// numeric character that is no digit such as "½" or "²"). The next key is
// "note_" followed by one more than the highest number seen, in ASCII digits.
// Numbers have no size limit.
class NoteNumbering {
public:
    explicit NoteNumbering(DecimalOf decimal) : decimal_(decimal) {}
    // A key as UTF-8.
    void offer(std::string_view utf8_key);
    std::string next_key() const;
    // The highest number seen, in ASCII digits ("0" when none).
    std::string highest() const { return highest_.empty() ? "0" : highest_; }

private:
    DecimalOf decimal_;
    std::string highest_;   // ASCII digits without leading zeros; empty for 0
};

}  // namespace kelvane::core
