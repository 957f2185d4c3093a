#pragma once
// The Compass setting file: a strip's output-channel equalisation (parametric
// bands, shaping stage, crossover filters) for a Galileo processor, as the
// big-endian container with a zlib-compressed parameter node tree that
// Compass loads with "Load Setting File".
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/result.h"
#include "engine/tuning/design.h"

namespace engine::compass {

// Appends the length-prefixed UTF-16 form of text: an unsigned 32-bit
// big-endian byte count, then the UTF-16 code units, each big-endian.
void put_utf16(std::vector<std::uint8_t>& buf, std::string_view text);

// One parameter node of the tree: its dotted path, its class chain and its
// value (none for an object node).
struct Node {
    using Value = std::variant<std::monostate, bool, std::uint32_t, double>;

    std::string path;
    std::vector<std::string> classes;
    Value value;

    bool operator==(const Node&) const = default;
};

// The channel name of a strip: its name with every " / " made one blank.
std::string channel_name(std::string_view strip_name);

// The default file name offered for a channel: "{}.galileoOutputEqualization".
std::string file_name(std::string_view channel);

// The plain text listing of a prepared strip, one "path = value" line per
// parameter, under a short header naming the channel.
std::string listing(const design::Source& strip, std::string_view channel);

// The notes about what the processor does not receive as the strip has it.
std::vector<std::string> notes(const design::Source& strip);

// The notes as one text: ", {}" of each, in order (empty when none).
std::string notes_text(std::span<const std::string> notes);

// The nodes of a listing: every line that starts with "galileo." and holds
// " = ", in order. Errors: "Compass file: no class for '{}'" and
// "Compass file: bad value '{}' for {}".
base::Result<std::vector<Node>> nodes(std::string_view listing);

// The node file before compression.
std::vector<std::uint8_t> node_file(std::span<const Node> nodes);

// The whole file: the outer header with the channel's description and the
// node file as one zlib stream at level 6.
base::Result<std::vector<std::uint8_t>> file(std::string_view channel, std::span<const Node> nodes);

// A finished export: the file bytes, the channel it names and the notes.
struct Export {
    std::vector<std::uint8_t> bytes;
    std::string channel;
    std::vector<std::string> notes;

    bool operator==(const Export&) const = default;
};

// The setting file of a source flattened with one of its zones (empty: the
// plain source strip) and the parts chosen for the export. Delay and
// polarity are not part of this file.
base::Result<Export> settings_file(const design::Source& source, const std::string& zone,
                                   const design::Parts& parts);

// The same for a strip already flattened and reduced to its parts.
base::Result<Export> strip_file(const design::Source& strip);

}  // namespace engine::compass
