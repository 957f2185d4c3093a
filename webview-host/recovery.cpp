// A window whose page process died: the page is reloaded in the same web
// view, the root shows an empty placeholder meanwhile, and when the new page
// reports that it is initialised the whole tree is built in it again.
#include "webview-host/page_script.h"
#include "webview-host/window_impl.h"

namespace webview_host {

using detail::LOG_WEBVIEW;

void Window::Impl::begin_recovery() {
    std::string t = title();
    if (!root->uses_page_generation()) {
        base::log::warn(LOG_WEBVIEW,
                        fmt::format("webview recovery: '{}' root never called use_page_generation(); its page "
                                    "JS won't re-run and it may not render {} while recovering",
                                    t, detail::EMPTY_NODE_NAME));
    }
    std::uint32_t old_id = webview_id;
    webview_id = detail::NEXT_WEBVIEW_ID.fetch_add(1);
    pending_acks = 0;
    {
        std::unique_lock lk(detail::CONNECTIONS_MU);
        detail::CONNECTIONS.erase(old_id);
    }
    forgotten.clear();  // the new page never knew them
    if (rendered && !desktop.crashed_at) {
        desktop.crashed_at = std::chrono::steady_clock::now();
        root->render_placeholder();
    }
    base::log::info(LOG_WEBVIEW, fmt::format("webview recovery: '{}' web content process died, reloading", t));
    webkit_web_view_load_uri(view, INDEX_URL);
    schedule_poll();
}

void Window::Impl::handle_initialize(const nlohmann::json& params) {
    // The page tells which edit connection it is; a page of an older id (a
    // load that raced a crash) is ignored.
    std::uint32_t wv = webview_id;
    if (params.is_object() && params.contains("webview_id") && params["webview_id"].is_number_unsigned())
        wv = params["webview_id"].get<std::uint32_t>();
    if (wv != webview_id) return;
    connect(wv);
    if (!desktop.crashed_at) {
        if (!rendered) first_render();
    } else if (root->placeholder_mounted()) {
        auto crashed = *desktop.crashed_at;
        desktop.crashed_at.reset();
        desktop.page_generation += 1;
        drop_queries();
        send_batch(root->render_reattach());
        auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - crashed).count();
        base::log::info(LOG_WEBVIEW,
                        fmt::format("webview recovery: '{}' re-attached {} ms after the crash (page generation {})",
                                    title(), ms, desktop.page_generation));
    } else {
        base::log::error(LOG_WEBVIEW,
                         fmt::format("webview recovery: '{}' root did not render {} while recovering; window left blank",
                                     title(), detail::EMPTY_NODE_NAME));
    }
    schedule_poll();
}

}  // namespace webview_host
