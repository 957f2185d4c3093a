#pragma once
// What the settings cards of the right pane share: the markup of a card, its
// header and its rows, the parsing of drop-down keys, and the measurement
// workers as the cards' handlers reach them.
#include <charconv>
#include <concepts>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "reactive/element.h"
#include "shared-ui/components/button.h"
#include "shared-ui/components/dropdown.h"
#include "shared-ui/components/stepper.h"
#include "ui/main_window/core/state.h"
#include "ui/main_window/measure/refresh.h"

namespace ui::main_window {

using Choice = shared_ui::components::dropdown::Choice;
using Choices = std::vector<Choice>;

// The workers as the cards' handlers see them: the analyzer's snapshot and
// commands and the meter's snapshot through the refresh loop's `Workers`, and
// the meter's commands. `of` reaches the window's handles; tests put
// scripted workers in.
struct CardWorkers {
    Workers workers;
    std::function<void(engine::meter::Cmd)> send_meter;

    bool has_analyzer() const { return workers.analyzer && workers.analyzer().has_value(); }
    bool has_meter() const { return workers.meter && workers.meter().has_value(); }
    void send(engine::analyzer::Cmd cmd) const {
        if (workers.send) workers.send(std::move(cmd));
    }

    static CardWorkers of(const WindowState& s);
};

// A drop-down key as an unsigned number: an optional "+" and decimal digits
// only, fitting the type; none otherwise (blanks, "-", an empty key).
template <std::unsigned_integral U>
std::optional<U> parse_key(std::string_view key) {
    if (!key.empty() && key.front() == '+') key.remove_prefix(1);
    if (key.empty()) return std::nullopt;
    for (char c : key)
        if (c < '0' || c > '9') return std::nullopt;
    U v{};
    const auto [end, ec] = std::from_chars(key.data(), key.data() + key.size(), v);
    if (ec != std::errc() || end != key.data() + key.size()) return std::nullopt;
    return v;
}
// A drop-down key as a decimal float; none when it does not read.
std::optional<float> parse_float_key(std::string_view key);

// A whole value of a stepper narrowed to 32 bits, clamped to lo..hi; `nan`
// when the value is not a number.
float clamp_value(double v, float lo, float hi, float nan);

// <div class="{cls}"> with the header <div class="folder static"><span
// class="name">{title}</span></div> (no header for an empty title), then the rows.
reactive::Element card(std::string cls, std::string title, std::vector<reactive::Element> rows);
// <div class="row"><div class="label">{label}</div>{control}</div>
reactive::Element row(std::string label, reactive::Element control);
// A row whose controls (buttons, or a stepper and a button) sit in <div class="controls">.
reactive::Element controls_row(std::string label, std::vector<reactive::Element> controls);

// The kit's controls as the cards use them.
reactive::Element choose(Choices options, std::string value, reactive::Callback<Choice> onchange);
reactive::Element number(double value, double step, std::size_t decimals, reactive::Callback<double> onchange,
                         bool disabled = false);
reactive::Element toggle(std::string label, bool on, std::string hint,
                         reactive::Callback<const reactive::MouseEvent&> onclick);

}  // namespace ui::main_window
