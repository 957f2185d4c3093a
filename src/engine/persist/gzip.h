#pragma once
// The container of project and autosave files: gzip (level 1) around the
// text, plain text accepted on read, a cap on the inflated size, and the
// UTF-8 check of the text.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/result.h"

namespace engine::gzip {

// Inflated (and plain) text is refused past this many bytes (512 MiB).
inline constexpr std::size_t INFLATE_LIMIT = 536870912;

// One gzip member at level 1 with the header 1F 8B 08 00 00 00 00 00 04 FF
// (no name, time 0, fastest, unknown system).
std::string compress(std::string_view data);
// The same for a text given in pieces (compressed as if joined).
std::string compress(std::span<const std::string_view> pieces);

// A piece of a gzip member's deflate stream: the raw deflate of a run of
// text at level 1, started without a dictionary and ending byte-aligned (a
// sync flush) unless it is the last, so that pieces made apart, and kept
// from one file to the next, join into one stream.
struct Piece {
    std::string deflated;
    std::uint32_t crc = 0;   // CRC-32 of the text
    std::uint64_t size = 0;  // bytes of text
};
Piece deflate_piece(std::span<const std::string_view> text, bool last);
// One gzip member (the header as compress writes it) of the pieces in order;
// only the last may be a last piece, and it must be.
std::string join(std::span<const Piece* const> pieces);
// What join puts around the pieces' bytes: the header, and the trailer with
// the CRC-32 and length of their text.
struct Frame {
    std::array<char, 10> header{};
    std::array<char, 8> trailer{};
};
Frame frame(std::span<const Piece* const> pieces);

// Pulls bytes: fills up to n bytes of buf, gives how many (0 at the end) or
// an error text.
using Source = std::function<base::Result<std::size_t>(char* buf, std::size_t n)>;

// The content of the gzip member read from `src`, at most `cap` bytes;
// errors: the decoder's text ("unexpected end of file", "invalid block
// type", ...) or "inflates past 512 MB" when the content is longer than cap.
// `head` holds bytes already taken from the source.
// `size_hint` (the trailer's length, when known) presizes the buffer.
base::Result<std::string> inflate(std::string_view head, const Source& src, std::size_t cap = INFLATE_LIMIT,
                                  std::size_t size_hint = 0);
base::Result<std::string> inflate(std::string_view gz, std::size_t cap = INFLATE_LIMIT);

// The length (modulo 2^32) in a gzip member's last four bytes, as a buffer
// size hint: never more than deflate can expand `compressed` bytes to.
std::size_t size_hint(std::string_view last4, std::size_t compressed);

}  // namespace engine::gzip
