// Number texts: which ASCII texts the host's float conversion accepts.
#pragma once
#include <string_view>
#include <version>

// Whether the standard library reads doubles with std::from_chars (libstdc++
// and MSVC's library do; libc++ did not for a long time and does not say so).
// KELVANE_PORTABLE_FALLBACKS takes the portable path anyway (native tests).
#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L && !defined(KELVANE_PORTABLE_FALLBACKS)
#define KELVANE_HAVE_FROM_CHARS_DOUBLE 1
#else
#define KELVANE_HAVE_FROM_CHARS_DOUBLE 0
#endif

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

// The two conversions read_float_text may use, for a text of a sign, digits,
// a point and an exponent only (already checked): the standard library's
// from_chars where it reads doubles, strtod under the C locale elsewhere.
// Both give the correctly rounded value, and both refuse (false, `value`
// unchanged) a text that overflows or that underflows to zero; subnormal
// results are read. The unit tests hold the two to the same answers.
bool convert_by_strtod(std::string_view number, double &value);
#if KELVANE_HAVE_FROM_CHARS_DOUBLE
bool convert_by_from_chars(std::string_view number, double &value);
#endif

}  // namespace kelvane::core
