#include "webview-host/ipc.h"

#include <set>

#include <fmt/format.h>

namespace webview_host {

std::optional<IpcMessage> parse_ipc_message(std::string_view text) {
    bool duplicate = false;
    std::set<std::string> top_keys;
    auto cb = [&](int depth, nlohmann::json::parse_event_t ev, nlohmann::json& parsed) {
        if (ev == nlohmann::json::parse_event_t::key && depth == 1) {
            if (!top_keys.insert(parsed.get<std::string>()).second) duplicate = true;
        }
        return true;
    };
    nlohmann::json v = nlohmann::json::parse(text.begin(), text.end(), cb, /*allow_exceptions=*/false);
    if (v.is_discarded() || duplicate || !v.is_object()) return std::nullopt;
    auto m = v.find("method");
    auto p = v.find("params");
    if (m == v.end() || p == v.end() || !m->is_string()) return std::nullopt;
    return IpcMessage{m->get<std::string>(), std::move(*p)};
}

base::Result<EventRecord> parse_event_record(const nlohmann::json& v) {
    if (!v.is_object()) return base::fail(fmt::format("event record is not an object: {}", compact_json(v)));
    EventRecord r;
    auto id = v.find("id");
    if (id == v.end() || !id->is_number_unsigned())
        return base::fail("event record has no element id");
    r.id = id->get<std::uint64_t>();
    auto type = v.find("type");
    if (type == v.end() || !type->is_string()) return base::fail("event record has no event name");
    r.type = type->get<std::string>();
    if (auto b = v.find("bubbles"); b != v.end()) {
        if (!b->is_boolean()) return base::fail("event record: bubbles is not a boolean");
        r.bubbles = b->get<bool>();
    }
    if (auto e = v.find("e"); e != v.end()) {
        if (!e->is_object()) return base::fail("event record: event data is not an object");
        r.data = *e;
    }
    return r;
}

std::string reply_json(const EventReply& r) {
    return fmt::format("{{\"prevent_default\":{},\"stop_propagation\":{}}}", r.prevent_default,
                       r.stop_propagation);
}

std::string compact_json(const nlohmann::json& v) {
    return v.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace webview_host
