#include "audio-watcher/host_common.h"

#include <algorithm>
#include <cctype>

namespace audio_watcher::host_common {

namespace {

bool same_ascii_nocase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// One direction of a snapshot.
void snapshot_direction(host::Host& h, bool input, FailureList& failures, DeviceMap& devices,
                        DefaultMap& defaults) {
    const std::string name = h.name();
    const std::string prefix = id_prefix_of(h);
    auto list = h.devices();
    if (!list) {
        failures.emplace_back(prefix, name);
        return;
    }
    for (const host::DeviceHandle& d : *list) {
        if (!d || !(input ? d->supports_input() : d->supports_output())) continue;
        if (auto dev = audio_device_from_host(h, *d)) {
            std::string id = dev->id;
            devices.insert_or_assign(std::move(id), std::move(*dev));
        }
    }
    std::optional<std::string> entry;
    if (host::DeviceHandle def = input ? h.default_input_device() : h.default_output_device()) {
        if (auto text = def->id_text()) entry = prefix + *text;
    }
    defaults.insert_or_assign(name, std::move(entry));
}

}  // namespace

std::string id_prefix_of(const host::Host& h) { return h.name() + ":"; }

std::optional<event::AudioDevice> audio_device_from_host(const host::Host& h, const host::Device& d) {
    auto text = d.id_text();
    if (!text) return std::nullopt;
    event::AudioDevice out;
    out.id = id_prefix_of(h) + *text;
    if (auto desc = d.description()) {
        out.name = desc->name;
        out.extra = desc->extra;
    } else {
        out.name = out.id;
    }
    return out;
}

DeviceSnapshot build_device_snapshot() {
    host::HostHandle h = host::current();
    if (!h) return {};
    return build_device_snapshot(*h);
}

DeviceSnapshot build_device_snapshot(host::Host& h) {
    DeviceSnapshot s;
    snapshot_direction(h, false, s.output_failures, s.outputs, s.default_output);
    snapshot_direction(h, true, s.input_failures, s.inputs, s.default_input);
    return s;
}

void carry_over(FailureList failures, const DeviceMap& prev_devices, const DefaultMap& prev_defaults,
                DeviceMap& devices, DefaultMap& defaults) {
    for (const auto& [prefix, host_name] : failures) {
        for (const auto& [id, dev] : prev_devices) {
            if (id.starts_with(prefix)) devices.insert_or_assign(id, dev);
        }
        if (auto it = prev_defaults.find(host_name); it != prev_defaults.end()) {
            defaults.insert_or_assign(host_name, it->second);
        }
    }
}

event::AudioDevice resolve_device_by_id(std::string_view id, const DeviceMap& known) {
    if (auto it = known.find(std::string(id)); it != known.end()) return it->second;
    host::HostHandle h = host::current();
    if (!h) return event::AudioDevice{std::string(id), std::string(id), std::nullopt};
    return resolve_device_by_id(*h, id, known);
}

event::AudioDevice resolve_device_by_id(host::Host& h, std::string_view id, const DeviceMap& known) {
    if (auto it = known.find(std::string(id)); it != known.end()) return it->second;
    const event::AudioDevice fallback{std::string(id), std::string(id), std::nullopt};
    const std::size_t colon = id.find(':');
    if (colon == std::string_view::npos) return fallback;
    const std::string_view host_part = id.substr(0, colon);
    const std::string_view device_part = id.substr(colon + 1);
    if (!same_ascii_nocase(host_part, h.name())) return fallback;
    auto list = h.devices();
    if (!list) return fallback;
    for (const host::DeviceHandle& d : *list) {
        if (!d) continue;
        auto text = d->id_text();
        if (!text || *text != device_part) continue;
        if (auto dev = audio_device_from_host(h, *d)) return *dev;
        return fallback;
    }
    return fallback;
}

}  // namespace audio_watcher::host_common
