#include "api/http.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <mutex>
#include <string_view>

#include <fmt/format.h>

namespace api::client {
namespace {

void init_curl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool starts_with_nocase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), s.begin(),
                      [](char p, char c) { return std::tolower(static_cast<unsigned char>(c)) == p; });
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

std::optional<std::uint64_t> parse_u64(std::string_view s) {
    std::uint64_t v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || p != s.data() + s.size() || s.empty()) return std::nullopt;
    return v;
}

// One transfer: the head of the answer being received, the body so far, and
// the text that ended the transfer early.
struct Transfer {
    const HttpGet* request = nullptr;
    bool follows_redirects = true;
    // The head being read.
    long status = 0;
    std::optional<std::uint64_t> content_length;
    bool has_location = false;
    // The final head was accepted; its body is being read.
    bool head_done = false;
    std::uint64_t body_bytes = 0;
    std::string body;
    std::chrono::steady_clock::time_point deadline;
    std::optional<std::string> stopped;
};

std::string status_error(long status, const std::string& url) {
    const char* kind = status >= 500 ? "server error" : status >= 400 ? "client error" : "error";
    return fmt::format("HTTP status {} ({}) for url ({})", kind, status_text(status), url);
}

std::size_t on_header(char* data, std::size_t size, std::size_t n, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    const std::size_t len = size * n;
    const std::string_view line(data, len);
    if (line.starts_with("HTTP/")) {  // a new answer begins (interim, redirect or final)
        t.status = 0;
        t.content_length.reset();
        t.has_location = false;
        const auto sp = line.find(' ');
        if (sp != line.npos && line.size() >= sp + 4)
            if (auto code = parse_u64(line.substr(sp + 1, 3))) t.status = static_cast<long>(*code);
        return len;
    }
    if (starts_with_nocase(line, "content-length:")) {
        t.content_length = parse_u64(trim(line.substr(15)));
        return len;
    }
    if (starts_with_nocase(line, "location:")) {
        t.has_location = true;
        return len;
    }
    if (trim(line).empty()) {  // end of a head
        if (t.status >= 100 && t.status < 200) return len;
        if (t.status >= 300 && t.status < 400 && t.has_location && t.follows_redirects) return len;
        if (t.status < 200 || t.status >= 300) {
            t.stopped = status_error(t.status, t.request->url);
            return 0;
        }
        t.head_done = true;
        if (t.request->on_head) {
            if (auto stop = t.request->on_head(HttpHead{t.status, t.content_length})) {
                t.stopped = std::move(*stop);
                return 0;
            }
        }
    }
    return len;
}

std::size_t on_body(char* data, std::size_t size, std::size_t n, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    const std::size_t len = size * n;
    if (t.request->body_limit && t.body_bytes + len > *t.request->body_limit) {
        t.stopped = t.request->over_limit_text;
        return 0;  // stops reading at once
    }
    if (std::chrono::steady_clock::now() >= t.deadline) return 0;
    t.body_bytes += len;
    if (t.request->on_body) {
        if (auto stop = t.request->on_body(std::string_view(data, len))) {
            t.stopped = std::move(*stop);
            return 0;
        }
        return len;
    }
    t.body.append(data, len);
    return len;
}

// Called by curl about once a second even while nothing arrives: ends the
// transfer once its time is up, whatever the server does.
int on_progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto& t = *static_cast<const Transfer*>(user);
    return std::chrono::steady_clock::now() >= t.deadline ? 1 : 0;
}

}  // namespace

std::string status_text(long status) {
    static constexpr std::pair<long, std::string_view> REASONS[] = {
        {200, "OK"},
        {201, "Created"},
        {202, "Accepted"},
        {204, "No Content"},
        {206, "Partial Content"},
        {300, "Multiple Choices"},
        {301, "Moved Permanently"},
        {302, "Found"},
        {303, "See Other"},
        {304, "Not Modified"},
        {307, "Temporary Redirect"},
        {308, "Permanent Redirect"},
        {400, "Bad Request"},
        {401, "Unauthorized"},
        {403, "Forbidden"},
        {404, "Not Found"},
        {405, "Method Not Allowed"},
        {406, "Not Acceptable"},
        {408, "Request Timeout"},
        {409, "Conflict"},
        {410, "Gone"},
        {413, "Payload Too Large"},
        {414, "URI Too Long"},
        {429, "Too Many Requests"},
        {500, "Internal Server Error"},
        {501, "Not Implemented"},
        {502, "Bad Gateway"},
        {503, "Service Unavailable"},
        {504, "Gateway Timeout"},
    };
    for (const auto& [code, reason] : REASONS)
        if (code == status) return fmt::format("{} {}", code, reason);
    return fmt::format("{} <unknown status code>", status);
}

base::Result<std::string> HttpClient::get(const HttpGet& request) const {
    init_curl();
    const std::string& url = request.url;

    // Only absolute http and https URLs.
    CURLU* parsed = curl_url();
    if (!parsed) return base::fail(fmt::format("error sending request for url ({})", url));
    const CURLUcode urc = curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0);
    char* scheme = nullptr;
    const bool web = urc == CURLUE_OK && curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
                     (std::string_view(scheme) == "http" || std::string_view(scheme) == "https");
    curl_free(scheme);
    curl_url_cleanup(parsed);
    if (urc != CURLUE_OK)
        return base::fail(fmt::format("builder error: {} for url ({})", curl_url_strerror(urc), url));
    if (!web) return base::fail(fmt::format("builder error: URL scheme is not allowed for url ({})", url));

    CURL* h = curl_easy_init();
    if (!h) return base::fail(fmt::format("error sending request for url ({})", url));
    Transfer t;
    t.request = &request;
    t.deadline = std::chrono::steady_clock::now() + total_limit_;
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(total_limit_.count()));
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, on_progress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &t);
    const CURLcode rc = curl_easy_perform(h);
    curl_easy_cleanup(h);

    if (rc == CURLE_OK && !t.stopped) {
        // A head that ended the transfer without its blank line, or an
        // answer curl did not show us as final.
        if (!t.head_done) {
            if (t.status < 200 || t.status >= 300) return base::fail(status_error(t.status, url));
        }
        return std::move(t.body);
    }
    if (t.stopped) return base::fail(std::move(*t.stopped));
    if (rc == CURLE_TOO_MANY_REDIRECTS) return base::fail(fmt::format("error following redirect for url ({})", url));
    if (t.head_done) return base::fail("error decoding response body");
    return base::fail(fmt::format("error sending request for url ({})", url));
}

HttpClient http() { return HttpClient(API_TIME_LIMIT); }

}  // namespace api::client
