#pragma once
// Device snapshots of the audio host for the device watcher, and the helpers
// that compare and resolve them.
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "audio-watcher/event.h"
#include "audio-watcher/host.h"

namespace audio_watcher::host_common {

using DeviceMap = std::map<std::string, event::AudioDevice>;
// Host name to the id of its default device (none when there is none).
using DefaultMap = std::map<std::string, std::optional<std::string>>;
// Hosts whose enumeration failed: (id prefix, host name).
using FailureList = std::vector<std::pair<std::string, std::string>>;

// Everything one poll found. A device with both directions is in both maps
// under the same id.
struct DeviceSnapshot {
    FailureList output_failures;
    FailureList input_failures;
    DeviceMap outputs;
    DeviceMap inputs;
    DefaultMap default_input;
    DefaultMap default_output;
    bool operator==(const DeviceSnapshot&) const = default;
};

// The watcher's id prefix of a host: its name and a colon ("JACK:").
std::string id_prefix_of(const host::Host& h);

// The device as the watcher reports it; nothing when its identifier cannot
// be read.
std::optional<event::AudioDevice> audio_device_from_host(const host::Host& h, const host::Device& d);

// A snapshot of the host in use / of the given host.
DeviceSnapshot build_device_snapshot();
DeviceSnapshot build_device_snapshot(host::Host& h);

// For each host of `failures` (consumed): keeps the devices and the default
// it had in the previous snapshot, so a transient enumeration error reports
// neither removals nor a default change.
void carry_over(FailureList failures, const DeviceMap& prev_devices, const DefaultMap& prev_defaults,
                DeviceMap& devices, DefaultMap& defaults);

// The device with this id: from `known`, else found again on the host, else
// a device named by its id. Never fails.
event::AudioDevice resolve_device_by_id(std::string_view id, const DeviceMap& known);
event::AudioDevice resolve_device_by_id(host::Host& h, std::string_view id, const DeviceMap& known);

}  // namespace audio_watcher::host_common
