// Project and autosave files: any bytes give a checked session or an error,
// and a session that was read is written and read back.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/persist/trace_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto s = engine::trace::Session::decode(bytes);
    if (!s) return 0;
    // What the program writes it must read again.
    auto again = s->encode();
    if (!again) return 0;  // a text that is not UTF-8 cannot come from a read
    if (!engine::trace::Session::decode(*again)) std::abort();
    return 0;
}
