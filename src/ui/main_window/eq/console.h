#pragma once
// Console exports: a strip sent to the Wing over OSC, the remembered routes
// sent again, and the processor's setting file.
#include <cstdint>
#include <string>
#include <vector>

#include "base/result.h"
#include "engine/exports/wing.h"
#include "reactive/element.h"
#include "reactive/task.h"
#include "ui/main_window/core/state.h"

namespace ui::main_window {

// The submitted Send-to-Wing prompt: builds the current strip's command for
// the prompt's target, remembers the route and starts the send to `address`.
void send_prompt_command(const WindowState& s, const Prompt::SendToWing& target, const std::string& address);

// Opens the Send-to-Wing prompt on the last target ("bus 1" at first).
void open_send_to_wing(const WindowState& s);
// Sends one command and reports "Wing {target}: {reply}{warnings}" or
// "Wing send failed: {error}".
reactive::Task<void> send_strip(WindowState s, std::string host, std::string command, std::string target,
                                std::string warnings);

// One remembered route as it would be sent now: its target and its command,
// or why it is not sent.
struct RouteCommand {
    std::string target;
    base::Result<engine::wing::Command> command;
};
// Every route of every source, in design order then route order. A route
// whose zone the source no longer has is not sent.
std::vector<RouteCommand> route_commands(const std::vector<engine::design::Source>& sources);
// Sends the routes one after another and reports "Wing {}" with one
// "{target}: {reply or error}" per route.
reactive::Task<void> send_routes(WindowState s, std::string host, std::vector<RouteCommand> routes);
// "Send all": every route, to the address in the settings.
void send_to_wing(const WindowState& s);

// "bus 1 ← Main Row 2: EQ Zone EQ Air HP LP Delay Pol": the target, the
// strip it sends (the source, and the zone when it has one) and the parts;
// a route whose zone is gone says so.
std::string route_text(const engine::design::Route& route, const engine::design::Source& source);
// Forgets route i of the named source (nothing is sent).
void forget_route(const WindowState& s, const std::string& source, std::size_t i);
// Stores `drawn` with one part flipped as the parts to send, and saves.
void toggle_wing_part(const WindowState& s, engine::design::Parts drawn, bool engine::design::Parts::*part);

// The "Galileo file" button: the setting file of the current strip, saved
// through the dialog.
void export_compass_settings(const WindowState& s);
// Asks for a file ("Save Compass setting file") and writes the bytes there;
// reports "Saved {path}{note}" or "Save failed: {error}".
reactive::Task<void> save_compass_file(WindowState s, std::string strip_name, std::vector<std::uint8_t> bytes,
                                       std::string note);

// The Export card of the EQ tab.
reactive::Element export_card();

}  // namespace ui::main_window
