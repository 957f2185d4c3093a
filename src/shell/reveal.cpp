#include "shell/reveal.h"

#include <string>

#include <nlohmann/json.hpp>

namespace shell {

reactive::Task<> reveal_window_when_styled(webview_host::Window& window) {
    reactive::Pending<bool> styled;
    // Whatever ends the wait first counts: the page's answer, a failed
    // evaluation or the time limit.
    window.evaluate(
        std::string(STYLED_SCRIPT), [styled](const nlohmann::json&) { styled.resolve(true); },
        [styled](const base::Result<nlohmann::json>&) { styled.resolve(false); });
    if (reactive::Loop* loop = reactive::current_loop()) loop->post_after(REVEAL_LIMIT, [styled] { styled.resolve(false); });
    co_await styled;
    window.show();
    // Only a visible window that is not minimised takes the focus.
    if (window.is_visible() && !window.is_minimized()) window.focus();
}

}  // namespace shell
