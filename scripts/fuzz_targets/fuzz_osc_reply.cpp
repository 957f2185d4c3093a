// A console's reply datagram: any bytes give a UTF-8 text no longer than
// the datagram allows, and a message the program would send reads back as
// its text.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/utf8.h"
#include "engine/exports/wing.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = engine::wing::reply_text(data, size);
    if (base::utf8::check(text)) std::abort();
    if (text.size() > 3 * size) std::abort();  // U+FFFD is 3 bytes per bad byte at most
    const std::string_view as_text(reinterpret_cast<const char*>(data), size);
    if (as_text.find('\0') == std::string_view::npos) {
        const auto message = engine::wing::osc_str(as_text);
        if (engine::wing::reply_text(message.data(), message.size()) != base::utf8::lossy(as_text)) std::abort();
    }
    return 0;
}
