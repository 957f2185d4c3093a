#include "api/notes_html.h"

namespace api::client::update {
namespace {

std::string_view trim(std::string_view s) {
    constexpr std::string_view ws = " \t\r\n\v\f";
    const auto b = s.find_first_not_of(ws);
    if (b == std::string_view::npos) return {};
    return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

}  // namespace

std::string escape_html(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '"': out += "&quot;"; break;
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string notes_html(std::string_view text) {
    std::string out, para;
    bool list_open = false;
    auto flush_para = [&] {
        if (para.empty()) return;
        out += "<p>" + para + "</p>";
        para.clear();
    };
    std::size_t pos = 0;
    while (pos <= text.size()) {
        auto nl = text.find('\n', pos);
        if (nl == std::string_view::npos) nl = text.size();
        const std::string_view line = trim(text.substr(pos, nl - pos));
        pos = nl + 1;

        if (line.size() >= 2 && (line.starts_with("- ") || line.starts_with("* "))) {
            flush_para();
            if (!list_open) {
                out += "<ul>";
                list_open = true;
            }
            out += "<li>" + escape_html(line.substr(2)) + "</li>";
            continue;
        }
        if (list_open) {
            out += "</ul>";
            list_open = false;
        }
        int level = 0;
        if (line.size() >= 4 && line.starts_with("### ")) level = 3;
        else if (line.starts_with("## ")) level = 2;
        else if (line.starts_with("# ")) level = 1;
        if (level > 0) {
            flush_para();
            const auto tag = std::to_string(level);
            out += "<h" + tag + ">" + escape_html(line.substr(static_cast<std::size_t>(level) + 1)) + "</h" + tag + ">";
        } else if (line.empty()) {
            flush_para();
        } else {
            if (!para.empty()) para += "<br>";
            para += escape_html(line);
        }
    }
    if (list_open) out += "</ul>";
    flush_para();
    return out;
}

}  // namespace api::client::update
