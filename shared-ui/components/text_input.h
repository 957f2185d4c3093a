#pragma once
// The single-line text field. The owner passes the text in `value` and hears
// every edit through `oninput`. What the user is typing is never overwritten:
// a focused field takes a new `value` only right after Enter; an unfocused one
// takes it at once, and a field that loses focus shows the owner's value.
#include <atomic>
#include <cstdint>
#include <string>

#include "reactive/element.h"

namespace shared_ui::components::text_input {

// Numbers of the fields' element ids ("text-input-{n}"), never reused.
inline std::atomic<std::uint64_t> NEXT_ID{0};

struct TextInputProps {
    std::string value{};
    reactive::Callback<std::string> oninput{};
    std::string cls{};
    std::string style{};
    std::string placeholder{};
    bool autofocus = false;  // focus and select the text when mounted
    reactive::Callback<> onenter{};
    reactive::Callback<> onescape{};
    bool masked = false;      // hide the characters
    bool scroll_end = false;  // show the end of a text written by the program

    bool operator==(const TextInputProps&) const = default;
};

// The page scripts: the value sync after a new value, the reset on focus loss.
std::string sync_script(const std::string& id, const std::string& value, bool committed, bool scroll_end);
std::string focus_out_script(const std::string& id, const std::string& value, bool scroll_end);

reactive::Element text_input(const TextInputProps& p);

}  // namespace shared_ui::components::text_input
