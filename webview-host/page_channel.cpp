// The page channel of a window: edit batches and host scripts to the page
// (queued until the page connects), rendering, the page's events on their
// one road to the listeners, and script evaluations and element queries.
#include "webview-host/window_impl.h"

namespace webview_host {

using detail::PageScript;
using detail::Road;

// ---- to the page ---------------------------------------------------------------------

void Window::Impl::send_script(std::string js) { run_or_queue(PageScript{PageScript::Plain, std::move(js), 0}); }

void Window::Impl::run_or_queue(PageScript ps) {
    std::unique_lock lk(detail::CONNECTIONS_MU);
    auto& c = detail::CONNECTIONS[webview_id];
    if (!c.live) {
        c.queued.push_back(std::move(ps));
        return;
    }
    lk.unlock();
    run_js(ps);
}

void Window::Impl::run_js(const PageScript& ps) {
    struct Ctx {
        std::weak_ptr<std::atomic<bool>> alive;
        Impl* impl;
        PageScript::Kind kind;
        std::uint64_t req;
        std::uint32_t wv;
    };
    auto* ctx = new Ctx{std::weak_ptr<std::atomic<bool>>(alive), this, ps.kind, ps.req, webview_id};
    if (ps.kind == PageScript::Batch) ++pending_acks;
    webkit_web_view_evaluate_javascript(
        view, ps.js.data(), static_cast<gssize>(ps.js.size()), nullptr, nullptr, nullptr,
        +[](GObject* src, GAsyncResult* res, gpointer data) {
            std::unique_ptr<Ctx> ctx(static_cast<Ctx*>(data));
            GError* err = nullptr;
            JSCValue* v = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(src), res, &err);
            if (v) g_object_unref(v);
            // Only an exception of the script itself (a syntax error) fails its
            // request; a page that went away meanwhile is the recovery's business.
            std::string msg =
                err && g_error_matches(err, WEBKIT_JAVASCRIPT_ERROR, WEBKIT_JAVASCRIPT_ERROR_SCRIPT_FAILED)
                    ? err->message
                    : "";
            if (err) g_error_free(err);
            if (ctx->alive.expired()) return;
            auto* impl = ctx->impl;
            // An acknowledgement from an older page is forgotten.
            if (ctx->kind == PageScript::Batch && impl->webview_id == ctx->wv && impl->pending_acks > 0) {
                --impl->pending_acks;
                ++impl->batches_applied;
            }
            if (ctx->kind == PageScript::Checked && !msg.empty()) impl->fail_request(ctx->req, msg);
        },
        ctx);
}

void Window::Impl::send_batch(const nlohmann::json& batch) {
    if (!batch.is_array() || batch.empty()) return;
    send_batch_text(compact_json(batch));
}

void Window::Impl::send_batch_text(const std::string& batch) {
    if (batch.empty() || batch == "[]") return;
    run_or_queue(PageScript{PageScript::Batch, fmt::format("window.__veltrum.apply({},{});", webview_id, batch), 0});
}

void Window::Impl::connect(std::uint32_t wv) {
    std::vector<PageScript> queued;
    {
        std::unique_lock lk(detail::CONNECTIONS_MU);
        if (wv != webview_id) return;
        auto& c = detail::CONNECTIONS[wv];
        c.live = view;
        queued = std::exchange(c.queued, {});
    }
    for (auto& ps : queued) run_js(ps);
}

// ---- rendering ---------------------------------------------------------------------

void Window::Impl::poll() {
    poll_scheduled = false;
    flush_forgotten();
    if (!rendered || closed) return;
    nlohmann::json edits = root->render_dirty();
    if (desktop.crashed_at) return;  // output discarded while recovering
    send_batch(edits);
}

void Window::Impl::schedule_poll() {
    if (poll_scheduled) return;
    poll_scheduled = true;
    detail::send_event(detail::PollEvent{id});
}

void Window::Impl::first_render() {
    send_batch(root->render_first());
    rendered = true;
    if (config.visible && !closed) gtk_widget_show(window);
}

// ---- events ---------------------------------------------------------------------------

EventReply Window::Impl::deliver_event(const EventRecord& rec, Road road) {
    if (!rendered) {
        base::log::error(detail::LOG_IPC,
                         "Tried to handle event before setting the desktop context on the event handler");
        return {};
    }
    ++(road == Road::Blocking ? counts.blocking : road == Road::Immediate ? counts.immediate : counts.deferred);
    // Restored to the value it had (not to false): a dispatch inside another
    // one leaves it set until the outermost returns.
    struct FlagScope {
        bool saved = detail::IN_EVENT_HANDLER;
        FlagScope() { detail::IN_EVENT_HANDLER = true; }
        ~FlagScope() { detail::IN_EVENT_HANDLER = saved; }
    };
    EventReply r;
    {
        FlagScope flag;
        r = root->dispatch(rec);
    }
    schedule_poll();
    return r;
}

void Window::Impl::on_user_event(const nlohmann::json& params, Road road) {
    auto rec = parse_event_record(params);
    if (!rec) {
        // Logged by the module that read it: the page-message handler, or
        // the application's event loop.
        base::log::error(road == Road::Deferred ? detail::LOG_APP : detail::LOG_IPC,
                         fmt::format("Failed to parse async user_event: {}", rec.error()));
        return;
    }
    deliver_event(*rec, road);
}

void Window::Impl::on_ipc_message(const std::string& text) {
    auto msg = parse_ipc_message(text);
    if (!msg) return;
    // A posted event is dispatched at once unless listeners are running.
    if (msg->method == "user_event" && !detail::IN_EVENT_HANDLER) {
        on_user_event(msg->params, Road::Immediate);
        return;
    }
    detail::send_event(detail::IpcEvent{id, std::move(*msg)});
}

// ---- scripts and queries ------------------------------------------------------------------

void Window::Impl::on_query_message(const nlohmann::json& p) {
    if (desktop.crashed_at) return;  // replies of a dead page or during a recovery
    if (!p.is_object()) return;
    auto k = p.value("k", std::string());
    if (k == "reply") {
        auto req = p.value("req", std::uint64_t{0});
        auto it = queries.find(req);
        if (it == queries.end() || it->second.replied) return;
        if (!p.value("ok", false)) {
            fail_request(req, p.value("error", std::string("script failed")));
            return;
        }
        auto done = it->second.on_done;
        if (it->second.channel()) it->second.replied = true;  // the channel stays open
        else queries.erase(it);
        if (done) done(p.contains("value") ? p["value"] : nlohmann::json());
    } else if (k == "chan") {
        auto it = queries.find(p.value("ch", std::uint64_t{0}));
        if (it == queries.end() || !it->second.on_value) return;
        auto fn = it->second.on_value;  // a copy: the callback may end the query
        fn(p.contains("value") ? p["value"] : nlohmann::json());
    } else if (k == "end") {
        auto it = queries.find(p.value("ch", std::uint64_t{0}));
        if (it == queries.end()) return;
        auto end = std::move(it->second.on_end);
        queries.erase(it);
        if (end) end("the script ended its channel");
    }
}

// The script or query failed (it threw, or the page could not run it): its
// request and its channel end with `error`.
void Window::Impl::fail_request(std::uint64_t req, const std::string& error) {
    auto it = queries.find(req);
    if (it == queries.end()) return;
    detail::QueryEntry q = std::move(it->second);
    queries.erase(it);
    if (q.on_done && !q.replied) q.on_done(base::fail(error));
    if (q.on_end) q.on_end(error);
}

std::uint64_t Window::Impl::add_query(detail::QueryEntry entry, std::string js) {
    std::uint64_t req = next_req++;
    queries[req] = std::move(entry);
    // While recovering the request waits in the table and is never sent.
    if (!desktop.crashed_at) {
        std::string wrapped = fmt::format(
            "(function(){{const i=window.__veltrum;if(!i||i.webviewId!=={})return;{}}})();", webview_id, js);
        run_or_queue(PageScript{PageScript::Checked, std::move(wrapped), req});
    }
    return req;
}

void Window::Impl::release(std::uint64_t req) {
    auto it = queries.find(req);
    if (it == queries.end()) return;
    queries.erase(it);
    if (desktop.crashed_at) return;  // the new page never knew it
    forgotten.push_back(req);
    schedule_poll();
}

void Window::Impl::flush_forgotten() {
    if (forgotten.empty()) return;
    std::string list;
    for (auto req : std::exchange(forgotten, {})) list += fmt::format("{}{}", list.empty() ? "" : ",", req);
    send_script(fmt::format("(function(){{const i=window.__veltrum;if(i&&i.webviewId==={})i.forgetScripts([{}]);}})();",
                            webview_id, list));
}

void Window::Impl::drop_queries() {
    forgotten.clear();
    auto q = std::exchange(queries, {});
    for (auto& [req, e] : q) {
        if (e.on_done && !e.replied) e.on_done(base::fail(detail::PAGE_REPLACED));
        if (e.on_end) e.on_end(detail::PAGE_REPLACED);
    }
}

// ---- Window's side of it ---------------------------------------------------------------

void Window::request_poll() { impl_->schedule_poll(); }
void Window::send_edits(const nlohmann::json& batch) { impl_->send_batch(batch); }
void Window::send_edits_text(std::string batch) { impl_->send_batch_text(batch); }
int Window::pending_batches() const { return impl_->pending_acks; }
std::uint64_t Window::batches_applied() const { return impl_->batches_applied; }
Window::EventCounts Window::event_counts() const { return impl_->counts; }

std::uint64_t Window::evaluate(const std::string& body, ValueFn on_value, DoneFn on_done, EndFn on_end) {
    std::uint64_t req = impl_->next_req;  // add_query takes this number
    detail::QueryEntry e{std::move(on_value), std::move(on_done), std::move(on_end)};
    std::string js = fmt::format("i.run({},{},async function(veltrum,send,recv,end){{\n{}\n}});", req,
                                 e.channel() ? "true" : "false", body);
    return impl_->add_query(std::move(e), std::move(js));
}

base::Result<void> Window::send_to_script(std::uint64_t req, const nlohmann::json& value) {
    if (impl_->desktop.crashed_at) return base::fail("the page is being rebuilt");
    auto it = impl_->queries.find(req);
    if (it == impl_->queries.end() || !it->second.channel()) return base::fail("the script's channel has ended");
    impl_->send_script(fmt::format("(function(){{const i=window.__veltrum;if(i&&i.webviewId==={})i.deliver({},{});}})();",
                                   impl_->webview_id, req, compact_json(value)));
    return {};
}

void Window::release_script(std::uint64_t req) { impl_->release(req); }

std::uint64_t Window::query_element(std::uint64_t element, const std::string& op, const nlohmann::json& arg,
                                    DoneFn on_done) {
    std::uint64_t req = impl_->next_req;
    std::string js =
        fmt::format("i.query({},{},{},{});", req, element, compact_json(nlohmann::json(op)), compact_json(arg));
    return impl_->add_query(detail::QueryEntry{{}, std::move(on_done), {}}, std::move(js));
}

std::size_t Window::pending_queries() const { return impl_->queries.size(); }

}  // namespace webview_host
