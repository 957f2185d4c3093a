#pragma once
// Text the kit's components write into markup and page scripts.
#include <optional>
#include <string>
#include <string_view>

namespace shared_ui {

// A 32-bit float in markup: its shortest decimal form that reads back as the
// same float ("12", "12.5", "-3.25", "0.1"), never an exponent. Doubles go
// through reactive::markup_number.
std::string num_text(float v);

// A text as a JSON string literal (quotes included) for a page script; text
// that is not valid UTF-8 gives the empty literal.
std::string js_string(std::string_view s);

// A typed decimal number: optional sign, digits with an optional fraction,
// optional exponent, nothing around it. "inf", "nan", hex, blanks and values
// out of the double range do not parse.
std::optional<double> parse_decimal(std::string_view text);

}  // namespace shared_ui
