#pragma once
// Results whose error is readable text ("audio device not found").
#include <expected>
#include <string>
#include <utility>

namespace base {

template <class T>
using Result = std::expected<T, std::string>;

// `return base::fail("audio device not found");`
inline std::unexpected<std::string> fail(std::string message) {
    return std::unexpected<std::string>(std::move(message));
}

}  // namespace base
