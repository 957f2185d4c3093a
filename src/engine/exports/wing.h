#pragma once
// Behringer Wing console: the text command that carries a processing strip
// (parametric bands, crossover filters, delay, polarity) and its transport,
// one OSC message over UDP.
#include <chrono>
#include <optional>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "engine/tuning/design.h"

namespace engine::wing {

// The console listens for OSC on this UDP port.
inline constexpr std::uint16_t PORT = 2223;

// How long a send waits for the console's reply.
inline constexpr std::chrono::milliseconds REPLY_TIMEOUT{1000};

// One console target ("ch 5", "bus 16", "main 1", "mtx 8").
struct Target {
    std::string kind;       // "ch", "bus", "main" or "mtx"
    std::uint32_t number;   // 1 .. the kind's count

    // The console path, "ch.5".
    std::string path() const;
    // Channels take the crossovers in their input filter section and have
    // four parametric slots; buses, mains and matrices have six.
    bool is_channel() const { return kind == "ch"; }

    bool operator==(const Target&) const = default;
};

// Every console target, "ch 1" .. "ch 40", "bus 1" .. "bus 16",
// "main 1" .. "main 4", "mtx 1" .. "mtx 8" (68 names).
std::vector<std::string> targets();

// Reads a target as typed: a kind and a number separated by white space
// (further words are ignored, a leading "+" on the number is allowed).
// Error: "no such Wing target: {}" with the text as given.
base::Result<Target> parse_target(std::string_view text);

// One command text for the console (assignments joined with ",") and the
// warnings about what the console does not receive unchanged.
struct Command {
    std::string text;
    std::vector<std::string> warnings;

    bool operator==(const Command&) const = default;
};

// The console command of a flattened strip (no zones) for one target.
// Values outside the console's ranges are clamped and warned about.
// Errors: "no such Wing target: {}", "{} has a value that is not a number,
// not sent", "nothing selected to send".
base::Result<Command> command(const design::Source& strip, std::string_view target, const design::Parts& parts);

// The OSC 1.0 message with the address "/" and one string argument.
std::vector<std::uint8_t> osc_str(std::string_view text);

// The text of a console reply: the first string argument when the datagram is
// an OSC message carrying one (an empty argument gives ""); otherwise the
// last non-empty piece between zero bytes. Invalid UTF-8 becomes U+FFFD.
std::string reply_text(const std::uint8_t* data, std::size_t size);

// Sends one command to the console at host (a name or a numeric address) and
// waits up to REPLY_TIMEOUT for its reply. Blocking: run it off the UI thread.
// Errors: "{host}: {resolver error}", "{host}: no address", "{host}: {send
// error}", "no reply from {host}", or the socket's own error text.
base::Result<std::string> send(const std::string& host, std::string_view text);

// The same with the port and the reply timeout given (tests use a loopback
// port of their own).
base::Result<std::string> send_to(const std::string& host, std::uint16_t port, std::string_view text,
                                  std::chrono::milliseconds timeout = REPLY_TIMEOUT);

}  // namespace engine::wing
