#include "shell/startup.h"

#include <fmt/format.h>

#include <cctype>

namespace shell {

std::mutex PENDING_OPEN_PATHS_MU;
std::vector<std::filesystem::path> PENDING_OPEN_PATHS;
std::atomic<bool> MAIN_WINDOW_READY{false};

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Percent-decodes one path segment; nothing for a bad escape or a decoded
// "/" or NUL, which no segment of a local path can hold.
std::optional<std::string> decode_segment(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            out += s[i];
            continue;
        }
        const int hi = i + 1 < s.size() ? hex_value(s[i + 1]) : -1;
        const int lo = i + 2 < s.size() ? hex_value(s[i + 2]) : -1;
        if (hi < 0 || lo < 0) return std::nullopt;
        const char c = static_cast<char>(hi * 16 + lo);
        if (c == '/' || c == '\0') return std::nullopt;
        out += c;
        i += 2;
    }
    return out;
}

}  // namespace

std::optional<std::filesystem::path> local_path_of_url(std::string_view url) {
    // scheme ":" ["//" authority] path ["?" query] ["#" fragment]
    const auto colon = url.find(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    for (char c : url.substr(0, colon))
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.')) return std::nullopt;
    std::string_view rest = url.substr(colon + 1);
    if (const auto cut = rest.find_first_of("?#"); cut != std::string_view::npos) rest = rest.substr(0, cut);
    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        const auto slash = rest.find('/');
        const std::string_view authority = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
        std::string_view host = authority;
        if (const auto at = host.rfind('@'); at != std::string_view::npos) host = host.substr(at + 1);
        if (!host.starts_with('[')) {
            if (const auto port = host.find(':'); port != std::string_view::npos) host = host.substr(0, port);
        }
        std::string lower;
        for (char c : host) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (!lower.empty() && lower != "localhost") return std::nullopt;
    }
    if (!rest.starts_with('/')) return std::nullopt;
    std::string path;
    std::size_t pos = 1;
    while (pos <= rest.size()) {
        auto end = rest.find('/', pos);
        if (end == std::string_view::npos) end = rest.size();
        auto seg = decode_segment(rest.substr(pos, end - pos));
        if (!seg) return std::nullopt;
        path += '/';
        path += *seg;
        pos = end + 1;
    }
    return std::filesystem::path(path);
}

void queue_opened_files(const std::vector<std::string>& urls) {
    if (MAIN_WINDOW_READY.load(std::memory_order_acquire)) return;
    std::lock_guard lk(PENDING_OPEN_PATHS_MU);
    for (const auto& u : urls)
        if (auto p = local_path_of_url(u)) PENDING_OPEN_PATHS.push_back(std::move(*p));
}

void queue_opened_paths(const std::vector<std::filesystem::path>& paths) {
    if (MAIN_WINDOW_READY.load(std::memory_order_acquire)) return;
    std::lock_guard lk(PENDING_OPEN_PATHS_MU);
    PENDING_OPEN_PATHS.insert(PENDING_OPEN_PATHS.end(), paths.begin(), paths.end());
}

std::string page_head(std::string_view font_url, const std::vector<std::string>& stylesheets,
                      const std::string& app_css) {
    std::string head = fmt::format(
        "<style>@font-face {{ font-family: 'Inter'; src: url('{}') format('woff2'); font-weight: 100 900; "
        "font-style: normal; font-display: {}; }}</style>",
        font_url, "block");
    for (const auto& css : stylesheets) head += fmt::format("<link rel=\"stylesheet\" href=\"{}\">", css);
    head += fmt::format("<link rel=\"stylesheet\" href=\"{}\">", app_css);
    return head;
}

webview_host::WindowConfig window_description(std::string head) {
    webview_host::WindowConfig c;
    c.title = "Veltrum";
    c.width = 1280;
    c.height = 800;
    c.min_width = 1280;
    c.min_height = 720;
    c.visible = false;
    c.head = std::move(head);
    return c;
}

}  // namespace shell
