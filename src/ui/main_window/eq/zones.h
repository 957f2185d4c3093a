#pragma once
// Seat zones of the current source (the Zones card of the EQ tab) and the
// air-absorption compensation that keeps each zone's air band fitted to its
// throw and the weather.
#include <array>
#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/tuning/design.h"
#include "reactive/element.h"
#include "shared-ui/components/dropdown.h"
#include "ui/main_window/core/state.h"

namespace ui::main_window {

// The throw of a zone in metres: its distance when set by hand, else the
// speed of sound times the measured delay of the source's first ticked trace
// at the zone's position, less the rig's latency (0 without such a trace).
float measured_throw(const engine::design::Zone& zone, const std::string& source, const std::vector<Trace>& traces,
                     const Settings& settings);

// A zone as "From positions" makes it: three off bands, PEQ on, air off at
// 100 %, no distance, the neutral air band.
engine::design::Zone new_zone(std::string position);

// "From positions": a zone for every position where the current source has a
// ticked trace and no zone yet.
void add_zones_from_positions(const WindowState& s);
// Handlers of zone i of the current source (nothing for an index past the list).
void set_zone_position(const WindowState& s, std::size_t i, const shared_ui::components::dropdown::Choice& choice);
// Clears the picked zone first, then removes zone i.
void remove_zone(const WindowState& s, std::size_t i);
void toggle_zone_air(const WindowState& s, std::size_t i);
void set_zone_air_strength(const WindowState& s, std::size_t i, double pct);  // limited to 0..100
void set_zone_throw(const WindowState& s, std::size_t i, double metres);      // limited to 0..1000
void reset_zone_throw(const WindowState& s, std::size_t i);
void set_split_hz(const WindowState& s, double hz);  // limited to 40..16000
// The weather of the air compensation is set by the Readout card's
// set_air_temperature and set_air_humidity (readout_card.h).

// "PK 8000 Hz +3.3 dB Q 0.70", "HS 9000 Hz +4.0 dB", or "under 1 dB, no band".
std::string air_band_text(const engine::eqfit::Band& band, engine::design::QConv q_as);

// What the compensation last fitted, per (source name, zone index): the
// inputs (temperature, humidity, throw, strength, shelves) and the band.
struct AirFitted {
    std::array<float, 5> inputs{};
    engine::eqfit::Band band;
};
using AirCache = std::map<std::pair<std::string, std::size_t>, AirFitted>;

// One pass of the compensation: fits the air band of every zone with air on
// whose inputs or band differ from the cache, and writes the changed bands
// into the design in one write, without marking the project unsaved.
// Gives the number of bands written.
std::size_t compensate_air(const WindowState& s, AirCache& cache);
// The window's effect running compensate_air whenever the settings, the
// traces or the design change; keeps its cache for the life of the window.
void zone_air_compensation(const WindowState& s);

// The Zones card of the EQ tab.
reactive::Element zones_card();

}  // namespace ui::main_window
