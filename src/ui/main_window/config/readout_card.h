#pragma once
// The Readout card of the Config tab: the target curve, the bass level of the
// live-PA curve, the rig's latency, the air's temperature and humidity, and
// the size of the whole interface.
#include "ui/main_window/config/card_parts.h"

namespace ui::main_window {

using engine::settings::UiSize;

// Reads the window state from the root's context.
reactive::Element readout_card();

// The card's handlers; each stores one setting.
void choose_target(const WindowState& s, const Choice& chosen);
void set_bass_db(const WindowState& s, double value);
void set_latency_ms(const WindowState& s, double value);
// Air temperature (-30..50 °C) and relative humidity (0..100 %), as the
// air-absorption compensation reads them.
void set_air_temperature(const WindowState& s, double value);
void set_air_humidity(const WindowState& s, double value);
void choose_ui_size(const WindowState& s, UiSize size);

}  // namespace ui::main_window
