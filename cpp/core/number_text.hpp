// Number texts: which ASCII texts the host's float conversion accepts.
#pragma once
#include <string_view>

namespace kelvane::core {

// Whether float() accepts the ASCII text: blanks (space, \t, \n, \v, \f, \r)
// around it, a sign, then a decimal with at least one digit, an optional point
// and an optional exponent, or one of the words inf, infinity and nan in any
// case; underscores only between two digits. Texts that are not ASCII take
// other rules (other digits and blanks) and must not be judged here.
bool is_float_text(std::string_view text);

// The value float() gives for an ASCII text made of blanks around a sign,
// digits, a point and an exponent only (no underscores, no words), when it is
// a finite number and neither overflows nor underflows; false otherwise (the
// text is then left to the host's own conversion). Correctly rounded, like the
// host's conversion.
bool read_float_text(std::string_view text, double &value);

}  // namespace kelvane::core
