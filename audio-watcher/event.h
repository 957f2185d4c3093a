#pragma once
// What the device watcher reports: devices that appear or disappear and
// changes of a host's default input or output device.
#include <optional>
#include <string>
#include <variant>

namespace audio_watcher::event {

// A device as the watcher reports it. The empty device (all fields empty)
// stands for "no default device" in a default-change event.
struct AudioDevice {
    std::string id;                    // host name, ":" and the device's identifier text
    std::string name;                  // display name; the id when there is no description
    std::optional<std::string> extra;  // further text of the description, when given
    bool operator==(const AudioDevice&) const = default;
};

struct AudioDeviceEvent {
    struct Added {
        AudioDevice device;
        bool operator==(const Added&) const = default;
    };
    struct Removed {
        AudioDevice device;
        bool operator==(const Removed&) const = default;
    };
    struct DefaultInputChanged {
        AudioDevice device;
        bool operator==(const DefaultInputChanged&) const = default;
    };
    struct DefaultOutputChanged {
        AudioDevice device;
        bool operator==(const DefaultOutputChanged&) const = default;
    };
    std::variant<Added, Removed, DefaultInputChanged, DefaultOutputChanged> v;

    bool operator==(const AudioDeviceEvent&) const = default;
};

}  // namespace audio_watcher::event

namespace audio_watcher {
using event::AudioDeviceEvent;
}
