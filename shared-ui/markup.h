#pragma once
// Text the kit's components write into markup and page scripts.
#include <optional>
#include <string>
#include <string_view>

namespace shared_ui {

// A number in its shortest decimal form that reads back as the same value,
// without exponent and without ".0" on a whole number ("160", "12.5",
// "-3.25"); "NaN", "inf", "-inf" for the rest.
std::string num_text(double v);
std::string num_text(float v);

// A text as a JSON string literal (quotes included) for a page script; text
// that is not valid UTF-8 gives the empty literal.
std::string js_string(std::string_view s);

// A typed decimal number: optional sign, digits with an optional fraction,
// optional exponent, nothing around it. "inf", "nan", hex, blanks and values
// out of the double range do not parse.
std::optional<double> parse_decimal(std::string_view text);

}  // namespace shared_ui
