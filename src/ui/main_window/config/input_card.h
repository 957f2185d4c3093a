#pragma once
// The input card of the Config tab: the audio input of the view shown (the
// transfer input, or the SPL meter's input in the SPL view), its channels,
// its sample rate and its microphone calibration. Every change goes through
// change_and_restart, so a running worker picks it up.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reactive/task.h"
#include "ui/main_window/config/card_parts.h"

namespace ui::main_window {

using engine::capture::AudioDevice;

// Reads the window state from the root's context.
reactive::Element input_card();

// The choices of n channels: keys "0".."n-1", labels "Ch 1".."Ch n".
Choices channel_label(std::size_t n);
// The channel count of a device at a rate: its entry for the rate, else its
// default configuration's count.
std::size_t channels_at(const AudioDevice& device, std::uint32_t rate);
// The devices listed for a host (none for a host that is not listed).
std::vector<AudioDevice> devices_of(const engine::capture::DeviceList& list, std::string_view host);
// The Mic cal button's label: the file name, "{} (missing)" when no file
// is there, "None" for an empty path.
std::string mic_cal_label(std::string_view path);

// The card's handlers. `spl` is the view the card was drawn in; the device
// change is given the devices the card listed and the rate it showed; the
// rate change the input and output devices in use when it was drawn.
void choose_host(const WindowState& s, bool spl, const Choice& chosen);
void choose_device(const WindowState& s, bool spl, const std::vector<AudioDevice>& listed, std::uint32_t rate,
                   const Choice& chosen);
void choose_mic_channel(const WindowState& s, bool spl, const Choice& chosen);
void choose_ref_channel(const WindowState& s, const Choice& chosen);
void choose_sample_rate(const WindowState& s, bool spl, const std::optional<AudioDevice>& input,
                        const std::optional<AudioDevice>& output, const Choice& chosen);
// The setter that forgets the calibration of one input.
void clear_mic_cal(Settings& settings, bool spl);
void clear_mic_cal_button(const WindowState& s, bool spl);
// Asks for a calibration file, checks it (the message line tells the
// outcome) and keeps its path for the input.
reactive::Task<void> pick_mic_cal(WindowState s, bool spl);

}  // namespace ui::main_window
