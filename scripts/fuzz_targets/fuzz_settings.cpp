// The settings file: any text gives a record or an error; a record read is
// rendered and reads back.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/settings/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto s = engine::settings::Settings::deserialize(text);
    if (!s) return 0;
    auto rendered = s->render();
    if (!rendered) return 0;  // a path that is not UTF-8
    if (!engine::settings::Settings::deserialize(*rendered)) std::abort();
    s->sanitize();
    return 0;
}
