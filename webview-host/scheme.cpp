// The custom scheme: the index page, the asset folders and the blocking
// event request.
#include <fstream>
#include <sstream>

#include "webview-host/page_script.h"
#include "webview-host/window_impl.h"

namespace webview_host {

namespace detail {

namespace {

void finish_bytes(WebKitURISchemeRequest* req, std::string body, const char* mime, int status = 200) {
    auto* bytes = g_bytes_new(body.data(), body.size());
    GInputStream* in = g_memory_input_stream_new_from_bytes(bytes);
    WebKitURISchemeResponse* resp = webkit_uri_scheme_response_new(in, static_cast<gint64>(body.size()));
    webkit_uri_scheme_response_set_status(resp, static_cast<guint>(status), nullptr);
    webkit_uri_scheme_response_set_content_type(resp, mime);
    SoupMessageHeaders* h = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
    soup_message_headers_append(h, "Access-Control-Allow-Origin", "*");
    soup_message_headers_append(h, "Cache-Control", "no-store");
    webkit_uri_scheme_response_set_http_headers(resp, h);
    webkit_uri_scheme_request_finish_with_response(req, resp);
    g_object_unref(resp);
    g_object_unref(in);
    g_bytes_unref(bytes);
}

void finish_error(WebKitURISchemeRequest* req, const std::string& msg) {
    GError* e = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, msg.c_str());
    webkit_uri_scheme_request_finish_error(req, e);
    g_error_free(e);
}

std::string read_body(WebKitURISchemeRequest* req) {
    std::string out;
    GInputStream* in = webkit_uri_scheme_request_get_http_body(req);
    if (!in) return out;
    char buf[16384];
    for (;;) {
        gssize n = g_input_stream_read(in, buf, sizeof buf, nullptr, nullptr);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    g_object_unref(in);
    return out;
}

const char* mime_of(const std::filesystem::path& p) {
    auto e = p.extension().string();
    if (e == ".css") return "text/css";
    if (e == ".js" || e == ".mjs") return "text/javascript";
    if (e == ".svg") return "image/svg+xml";
    if (e == ".png") return "image/png";
    if (e == ".woff2") return "font/woff2";
    if (e == ".woff") return "font/woff";
    if (e == ".html") return "text/html";
    if (e == ".json") return "application/json";
    return "application/octet-stream";
}

void scheme_handler(WebKitURISchemeRequest* req, gpointer) {
    WebKitWebView* view = webkit_uri_scheme_request_get_web_view(req);
    auto* impl = view ? static_cast<Window::Impl*>(g_object_get_data(G_OBJECT(view), "veltrum-window")) : nullptr;
    if (!impl) {
        finish_error(req, "no window for this page");
        return;
    }
    bool served = false;
    guarded("custom scheme", [&] {
        impl->serve(req);
        served = true;
    });
    if (!served) finish_error(req, "request failed");
}

}  // namespace

bool is_own_address(std::string_view uri) {
    return uri.starts_with("veltrum:") || uri.starts_with("http://veltrum.localhost") ||
           uri.starts_with("https://veltrum.localhost");
}

void ensure_scheme() {
    static bool done = [] {
        WebKitWebContext* ctx = webkit_web_context_get_default();
        webkit_web_context_register_uri_scheme(ctx, SCHEME, scheme_handler, nullptr, nullptr);
        WebKitSecurityManager* sm = webkit_web_context_get_security_manager(ctx);
        webkit_security_manager_register_uri_scheme_as_secure(sm, SCHEME);
        webkit_security_manager_register_uri_scheme_as_cors_enabled(sm, SCHEME);
        return true;
    }();
    (void)done;
}

}  // namespace detail

void Window::Impl::serve(WebKitURISchemeRequest* req) {
    std::string path = webkit_uri_scheme_request_get_path(req) ? webkit_uri_scheme_request_get_path(req) : "";
    const char* method = webkit_uri_scheme_request_get_http_method(req);
    if (path == "/__event") {
        // A blocking event: the page waits for the listeners' decisions.
        EventReply reply;
        if (auto rec = parse_event_record(nlohmann::json::parse(detail::read_body(req), nullptr, false)))
            reply = deliver_event(*rec, detail::Road::Blocking);
        detail::finish_bytes(req, reply_json(reply), "application/json");
        return;
    }
    if (path == "/" || path == "/index.html") {
        detail::finish_bytes(req, index_html(config.head, webview_id), "text/html");
        return;
    }
    if (path.starts_with("/assets/") && (!method || std::string_view(method) == "GET")) {
        std::string rel = path.substr(8);
        gchar* unescaped = g_uri_unescape_string(rel.c_str(), nullptr);
        if (unescaped) {
            rel = unescaped;
            g_free(unescaped);
        }
        std::filesystem::path rp(rel);
        bool safe = !rp.is_absolute();
        for (auto& part : rp)
            if (part == "..") safe = false;
        if (safe) {
            for (auto& a : config.assets) {
                std::string_view r = rel;
                if (!a.prefix.empty()) {
                    if (!r.starts_with(a.prefix + "/")) continue;
                    r.remove_prefix(a.prefix.size() + 1);
                }
                auto file = a.folder / std::filesystem::path(r);
                std::ifstream f(file, std::ios::binary);
                if (!f) continue;
                std::stringstream ss;
                ss << f.rdbuf();
                detail::finish_bytes(req, ss.str(), detail::mime_of(file));
                return;
            }
        }
    }
    detail::finish_error(req, fmt::format("not found: {}", path));
}

}  // namespace webview_host
