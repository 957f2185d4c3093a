// Microphone calibration files: any text gives pairs or an error, and the
// pairs always give a finite calibration on the grid.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/core/miccal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto pairs = engine::miccal::parse(text);
    if (!pairs) return 0;
    for (float v : engine::miccal::resample(*pairs))
        if (!std::isfinite(v)) std::abort();
    return 0;
}
