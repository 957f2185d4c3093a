#pragma once
// HTTP GET for the update client (libcurl). Blocking: callers on the UI
// thread run it on the blocking pool.
//
// Error texts:
//   "error sending request for url (<url>)"   no answer (unreachable, time limit passed)
//   "HTTP status client error (404 Not Found) for url (<url>)", "... server error ..."
//   "error decoding response body"            the body broke off or the time limit passed
//   "error following redirect for url (<url>)", "builder error: <why> for url (<url>)"
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"

namespace api::client {

using namespace std::chrono_literals;

// Total time limit of an API request: connection, answer and body.
inline constexpr std::chrono::milliseconds API_TIME_LIMIT = 15s;

// The final answer's head, before any of its body is read.
struct HttpHead {
    long status = 0;
    std::optional<std::uint64_t> content_length;  // when the answer states one
};

struct HttpGet {
    std::string url;
    // Called once the head of a successful (2xx) answer is in; a text ends
    // the request with that text before the body is read.
    std::function<std::optional<std::string>(const HttpHead&)> on_head = {};
    // At most this many body bytes are read: one more ends the request with
    // `over_limit_text`.
    std::optional<std::uint64_t> body_limit = {};
    std::string over_limit_text = {};
    // When set, the body goes here piece by piece instead of into the
    // result (which is then empty); a text ends the request with that text.
    std::function<std::optional<std::string>(std::string_view)> on_body = {};
};

class HttpClient {
public:
    explicit HttpClient(std::chrono::milliseconds total_limit) : total_limit_(total_limit) {}
    std::chrono::milliseconds total_limit() const { return total_limit_; }

    // GET the URL, following up to 10 redirects (http and https only). The
    // result is the whole body of a 2xx answer. The time limit holds however
    // the server sends (slowly, or a body that never ends).
    base::Result<std::string> get(const HttpGet& request) const;

private:
    std::chrono::milliseconds total_limit_;
};

// The client for API requests (API_TIME_LIMIT).
HttpClient http();

// "404 Not Found": the code and its standard reason phrase.
std::string status_text(long status);

}  // namespace api::client
