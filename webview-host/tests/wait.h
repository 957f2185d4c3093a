// Test helper: evaluate a script in a window's page and wait for its answer on the
// GTK loop.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "base/result.h"
#include "webview-host/window.h"

namespace webview_host::testing {

// The answer, or "no reply" after `timeout`. The answer's slot is shared with the
// callback, so a reply that arrives after the wait gave up writes nowhere harmful.
inline base::Result<nlohmann::json> evaluate_and_wait(Window& window, const std::string& body,
                                                      std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    auto out = std::make_shared<std::optional<base::Result<nlohmann::json>>>();
    window.evaluate(body, {}, [out](base::Result<nlohmann::json> r) { *out = std::move(r); });
    if (!run_until([&] { return out->has_value(); }, timeout)) return base::fail("no reply");
    return **out;
}

}  // namespace webview_host::testing
