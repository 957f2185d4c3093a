#include "ui/main_window/eq/console.h"

#include <fmt/format.h>

#include <algorithm>

#include "engine/exports/compass.h"
#include "shared-ui/icons.h"
#include "ui/main_window/core/design_edit.h"
#include "ui/main_window/core/dialogs.h"
#include "ui/main_window/core/project.h"
#include "ui/main_window/eq/eq_tab.h"
#include "ui/main_window/eq/strips_text.h"

namespace ui::main_window {

using engine::design::Parts;
using engine::design::Route;
using reactive::Element;

namespace {

bool zone_gone(const Route& route, const Source& source) {
    return !route.zone.empty() && std::none_of(source.zones.begin(), source.zones.end(),
                                               [&](const auto& z) { return z.position == route.zone; });
}

// The console exchange, off the UI thread.
reactive::Task<base::Result<std::string>> exchange(std::string host, std::uint16_t port, std::string command) {
    auto sending = reactive::spawn_blocking(
        [host, port, command] { return engine::wing::send_to(host, port, command, engine::wing::REPLY_TIMEOUT); });
    auto done = co_await sending;
    if (!done) co_return base::fail(done.error());
    co_return std::move(*done);
}

}  // namespace

void open_send_to_wing(const WindowState& s) {
    const auto& last = s.settings.peek().wing_target;
    s.prompt.set(Prompt{Prompt::SendToWing{last.empty() ? std::string("bus 1") : last}});
}

void send_prompt_command(const WindowState& s, const Prompt::SendToWing& target, const std::string& address) {
    engine::settings::SettingsStoreImplExt::update(s.settings, [&](Settings& st) {
        st.wing_ip = address;
        st.wing_target = target.target;
    });
    const auto zone = current_zone(s);
    const std::string zone_name = zone ? zone->second : std::string();
    const auto parts = s.settings.peek().wing_parts;
    const std::string name = current_source(s);
    const auto [strip, applied] = source_or_new(s, name).flat(zone_name, parts);
    auto command = engine::wing::command(strip, target.target, applied);
    if (!command) {
        s.notice.set(command.error());
        return;
    }
    if (!name.empty()) {
        current_source_mut(s, [&](Source& src) {
            std::erase_if(src.routes, [&](const Route& r) { return r.dest.target == target.target; });
            src.routes.push_back(Route{zone_name, parts, engine::design::Dest::wing(target.target)});
        });
    }
    std::string warnings;
    for (const auto& w : command->warnings) warnings += ", " + w;
    reactive::spawn_root(send_strip(s, address, command->text, target.target, std::move(warnings)));
}

reactive::Task<void> send_strip(WindowState s, std::string host, std::string command, std::string target,
                                std::string warnings) {
    auto sending = exchange(host, s.wing_port, std::move(command));
    const auto reply = co_await sending;
    if (reply) s.notice.set(fmt::format("Wing {}: {}{}", target, *reply, warnings));
    else s.notice.set("Wing send failed: " + reply.error());
}

std::vector<RouteCommand> route_commands(const std::vector<Source>& sources) {
    std::vector<RouteCommand> out;
    for (const auto& src : sources) {
        for (const auto& route : src.routes) {
            if (zone_gone(route, src)) {
                out.push_back({route.dest.target,
                               base::fail(fmt::format("not sent, zone {} of {} is gone", route.zone, src.name))});
                continue;
            }
            const auto [strip, applied] = src.flat(route.zone, route.parts);
            out.push_back({route.dest.target, engine::wing::command(strip, route.dest.target, applied)});
        }
    }
    return out;
}

reactive::Task<void> send_routes(WindowState s, std::string host, std::vector<RouteCommand> routes) {
    std::vector<std::string> lines;
    for (const auto& r : routes) {
        if (!r.command) {
            lines.push_back(fmt::format("{}: {}", r.target, r.command.error()));
            continue;
        }
        auto sending = exchange(host, s.wing_port, r.command->text);
        const auto reply = co_await sending;
        lines.push_back(fmt::format("{}: {}", r.target, reply ? *reply : reply.error()));
    }
    std::string joined;
    for (std::size_t i = 0; i < lines.size(); ++i) joined += (i ? ", " : "") + lines[i];
    s.notice.set("Wing " + joined);
}

void send_to_wing(const WindowState& s) {
    std::string host = s.settings.peek().wing_ip;
    reactive::spawn_root(send_routes(s, std::move(host), route_commands(s.design.peek().sources)));
}

std::string route_text(const Route& route, const Source& source) {
    const auto& p = route.parts;
    const bool zone = !route.zone.empty();
    std::vector<const char*> on;
    if (p.eq) on.push_back("EQ");
    if (zone && p.zone_eq) on.push_back("Zone EQ");
    if (zone && p.air) on.push_back("Air");
    if (p.hp) on.push_back("HP");
    if (p.lp) on.push_back("LP");
    if (p.delay) on.push_back("Delay");
    if (p.polarity) on.push_back("Pol");
    std::string parts;
    for (std::size_t i = 0; i < on.size(); ++i) {
        if (i) parts += ' ';
        parts += on[i];
    }
    std::string strip = " ";
    strip += source.name;
    if (zone) {
        strip += ' ';
        strip += route.zone;
    }
    auto text = fmt::format("{} \u2190{}: {}", route.dest.target, strip, parts);
    if (zone_gone(route, source)) text += " (zone gone, not sent)";
    return text;
}

void forget_route(const WindowState& s, const std::string& source, std::size_t i) {
    const auto& sources = s.design.peek().sources;
    const auto it = std::find_if(sources.begin(), sources.end(), [&](const Source& x) { return x.name == source; });
    if (it == sources.end() || i >= it->routes.size()) return;
    edit_design(s, [&](Design& d) {
        for (auto& src : d.sources)
            if (src.name == source && i < src.routes.size())
                src.routes.erase(src.routes.begin() + static_cast<std::ptrdiff_t>(i));
    });
}

void toggle_wing_part(const WindowState& s, Parts drawn, bool Parts::*part) {
    drawn.*part = !(drawn.*part);
    engine::settings::SettingsStoreImplExt::update(s.settings, [&](Settings& st) { st.wing_parts = drawn; });
}

void export_compass_settings(const WindowState& s) {
    const auto zone = current_zone(s);
    const auto source = source_or_new(s, current_source(s));
    auto file = engine::compass::settings_file(source, zone ? zone->second : std::string(),
                                               s.settings.peek().wing_parts);
    if (!file) {
        s.notice.set("Save failed: " + file.error());
        return;
    }
    reactive::spawn_root(save_compass_file(s, file->channel, std::move(file->bytes),
                                           engine::compass::notes_text(file->notes)));
}

reactive::Task<void> save_compass_file(WindowState s, std::string strip_name, std::vector<std::uint8_t> bytes,
                                       std::string note) {
    auto saving = save_as(s, "Save Compass setting file", engine::compass::file_name(strip_name), "Compass Settings",
                          {"galileoOutputEqualization"}, std::string(bytes.begin(), bytes.end()));
    const auto saved = co_await saving;
    if (!saved) co_return;
    if (*saved) s.notice.set("Saved " + (*saved)->string() + note);
    else s.notice.set("Save failed: " + saved->error());
}

// ---------------------------------------------------------------- the card

Element export_card() {
    using shared_ui::components::button::ButtonType;
    const auto s = use_window_state();
    const bool no_sources = s.sources().empty();
    const auto parts = s.settings.get(&Settings::wing_parts);
    const auto& design = s.design();
    const std::string name = current_source(s);
    const auto shown = source_or_new(s, name);

    const auto heading_button = [&](const char* label, const char* hint, void (*fn)(const WindowState&)) {
        return kit_button({.button_type = ButtonType::Flat,
                           .label = label,
                           .hint = hint,
                           .disabled = no_sources,
                           .onclick = [s, fn](const reactive::MouseEvent&) { fn(s); }});
    };
    const auto part_button = [&](const char* label, bool Parts::*part) {
        return kit_button({.button_type = ButtonType::Flat,
                           .toggled = parts.*part,
                           .label = label,
                           .onclick = [s, parts, part](const reactive::MouseEvent&) { toggle_wing_part(s, parts, part); }});
    };

    std::vector<Element> children;
    children.push_back(card_heading(
        "Export",
        {heading_button("Text", "Write every strip as text in its processor's units (gain, delay, polarity, crossover, "
                                "bands)",
                        export_strips),
         heading_button("Galileo file", "Write this strip's EQ as a Compass setting file; load it onto an output with "
                                        "Compass's Load Setting File",
                        export_compass_settings),
         heading_button("Wing", "Send this strip to a Behringer Wing channel, bus, main or matrix over OSC (UDP 2223)",
                        open_send_to_wing)}));
    children.push_back(reactive::div().cls("horizontal space-between")(
        part_button("EQ", &Parts::eq), part_button("HP", &Parts::hp), part_button("LP", &Parts::lp),
        part_button("Delay", &Parts::delay), part_button("Polarity", &Parts::polarity)));
    if (!shown.zones.empty()) {
        children.push_back(part_button("Zone EQ", &Parts::zone_eq));
        children.push_back(part_button("Air", &Parts::air));
    }
    // Every remembered route of every strip, in design order: what Send all
    // sends.
    bool any_route = false;
    for (const auto& src : design.sources) {
        for (std::size_t i = 0; i < src.routes.size(); ++i) {
            any_route = true;
            const auto& r = src.routes[i];
            const bool gone = zone_gone(r, src);
            children.push_back(
                reactive::div()
                    .cls(gone ? "row vt-route gone" : "row vt-route")
                    .key(fmt::format("route-{}-{}", src.name, i))(
                        reactive::span().cls("count")(route_text(r, src)),
                        kit_button({.button_type = ButtonType::Flat,
                                    .icon = shared_ui::icons::DELETE,
                                    .hint = "Forget this route; nothing changes on the console",
                                    .onclick = [s, name = src.name, i](const reactive::MouseEvent&) {
                                        forget_route(s, name, i);
                                    }})));
        }
    }
    if (any_route)
        children.push_back(kit_button({.label = "Send all",
                                       .hint = "Send every remembered route of every strip to the Wing again, as the "
                                               "strips are now",
                                       .fill = true,
                                       .onclick = [s](const reactive::MouseEvent&) { send_to_wing(s); }}));
    return reactive::div().cls("vt-card vt-export")(std::move(children));
}

}  // namespace ui::main_window
