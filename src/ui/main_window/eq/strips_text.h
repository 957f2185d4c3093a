#pragma once
// Every strip of the design as plain text in a processor's units, and the
// Export card's Text button that writes it to a file.
#include <string>
#include <utility>
#include <vector>

#include "engine/tuning/design.h"
#include "reactive/task.h"
#include "ui/main_window/core/state.h"

namespace ui::main_window {

// "PK", "LS", "HS".
const char* band_kind_code(engine::eqfit::BandKind kind);

// The text block of one flattened strip with the parts that apply to it;
// every line ends with a line feed.
std::string strip_text(const engine::design::Source& strip, const engine::design::Parts& parts);
// One block per strip: a source without zones gives its own strip, a source
// with zones one strip per zone (and none of its own).
std::vector<std::string> strip_text_lines(const std::vector<engine::design::Source>& sources,
                                          const engine::design::Parts& parts);
// The blocks joined by line feeds: one empty line between strips.
std::string strips_text(const std::vector<engine::design::Source>& sources, const engine::design::Parts& parts);

// The Text button: builds the text now and starts the export task.
void export_strips(const WindowState& s);
// Asks for a file ("Export strips") and writes the text there; reports in the
// status message.
reactive::Task<void> export_strips_task(WindowState s, std::string text);

}  // namespace ui::main_window
