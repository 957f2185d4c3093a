#pragma once
// Page -> host messages: the page message ("method" and "params"), the event
// record of one DOM event, and the host's answer to a blocking event.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "base/result.h"

namespace webview_host {

// One page message: the JSON text of an object with "method" (text) and
// "params" (any value). Other keys are ignored.
struct IpcMessage {
    std::string method;
    nlohmann::json params;
};

// Reads a page message. Nothing when the text is not exactly one JSON object
// with a text "method" and a "params", or when a key is given twice.
std::optional<IpcMessage> parse_ipc_message(std::string_view text);

// One DOM event as the page sends it:
// {"k":"event","id":<element id>,"type":"click","bubbles":true,"e":{...}}.
struct EventRecord {
    std::uint64_t id = 0;
    std::string type;
    bool bubbles = false;
    nlohmann::json data = nlohmann::json::object();
};

// Reads an event record from a JSON value; the error describes what is wrong.
base::Result<EventRecord> parse_event_record(const nlohmann::json& v);

// The host's answer to a blocking event.
struct EventReply {
    bool prevent_default = false;
    bool stop_propagation = false;
    bool operator==(const EventReply&) const = default;
};

// {"prevent_default":bool,"stop_propagation":bool}
std::string reply_json(const EventReply& r);

// A JSON value as compact text: no white space, object keys in ascending
// order, standard escapes, non-ASCII as it is (invalid UTF-8 replaced).
std::string compact_json(const nlohmann::json& v);

}  // namespace webview_host
