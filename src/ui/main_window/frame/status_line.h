#pragma once
// The status line under the plot (the analyzer's or the meter's status, or
// the message line, and the readouts) and the Find-delay panel, with the
// texts they show.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/analyzer/analyzer.h"
#include "engine/meter/meter.h"
#include "engine/settings/settings.h"
#include "reactive/element.h"

namespace ui::main_window {

// "45 s" under a minute, else whole minutes: "1 min" for 90 s.
std::string duration_text(std::uint32_t secs);
// A sample count in ms at `rate` (0 while no rate is known).
float delay_ms(std::size_t samples, std::uint32_t rate);
// Speed of sound in m/s at `temperature_c`.
float speed_of_sound(float temperature_c);

// One line of text with an optional bold middle part.
struct RichLine {
    std::string lead;
    std::string bold;  // empty: no bold element
    std::string tail;
    bool operator==(const RichLine&) const = default;
};

// The two result lines of the Find-delay panel.
std::pair<RichLine, std::string> find_delay_lines(const engine::analyzer::Snapshot& snap);

// The message of the transfer view's status line: the notice when there is
// one, else the status with a viewed trace's label in bold.
RichLine status_message(const engine::analyzer::Snapshot& snap, const std::string& notice);
// The readouts right of it ("Delay 1.00 ms", "Distance 0.34 m", "Mic -20 dBFS", "Ref -18 dBFS").
std::vector<std::string> transfer_readouts(const engine::analyzer::Snapshot& snap,
                                           const engine::settings::Settings& settings);
// The SPL view's readout ("Mic -31 dBFS" while the meter runs).
std::vector<std::string> spl_readouts(const engine::meter::MeterSnapshot& meter);

// The label of the long LAeq card: "LAeq 10 min · 45 s so far" while the
// running meter has gathered less than the window.
std::string leq_long_label(std::uint32_t long_secs, bool running, std::uint32_t leq_secs);

// Components; each reads the window state from the root's context.
reactive::Element status_line();
reactive::Element find_delay_panel();

}  // namespace ui::main_window
