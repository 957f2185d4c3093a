#include "reactive/dom_edit.h"

#include <fmt/format.h>

#include <cmath>
#include <nlohmann/json.hpp>

namespace reactive {

void write_json_string(std::string& out, std::string_view s) {
    out.push_back('"');
    for (char ch : s) {
        auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if (c < 0x20) {
                fmt::format_to(std::back_inserter(out), "\\u{:04x}", static_cast<unsigned>(c));
            } else {
                out.push_back(ch);
            }
        }
    }
    out.push_back('"');
}

namespace {
void write_id(std::string& out, ElementId id) { fmt::format_to(std::back_inserter(out), "{}", id); }
}  // namespace

void write_edit(std::string& out, const Edit& e) {
    out += "[\"";
    out.push_back(static_cast<char>(e.op));
    out += "\",";
    switch (e.op) {
    case EditOp::Insert:
        write_id(out, e.parent);
        out.push_back(',');
        write_id(out, e.id);
        out.push_back(',');
        if (e.before) write_id(out, *e.before);
        else out += "null";
        break;
    case EditOp::CreateText:
    case EditOp::SetText:
    case EditOp::SetHtml:
        write_id(out, e.id);
        out.push_back(',');
        write_json_string(out, e.value);
        break;
    case EditOp::Create:
    case EditOp::SetAttr:
    case EditOp::SetStyle:
        write_id(out, e.id);
        out.push_back(',');
        write_json_string(out, e.name);
        out.push_back(',');
        write_json_string(out, e.value);
        break;
    case EditOp::RemoveAttr:
    case EditOp::Unlisten:
        write_id(out, e.id);
        out.push_back(',');
        write_json_string(out, e.name);
        break;
    case EditOp::SetProp:
        write_id(out, e.id);
        out.push_back(',');
        write_json_string(out, e.name);
        out.push_back(',');
        if (auto* s = std::get_if<std::string>(&e.prop)) {
            write_json_string(out, *s);
        } else if (auto* b = std::get_if<bool>(&e.prop)) {
            out += *b ? "true" : "false";
        } else {
            double d = std::get<double>(e.prop);
            if (std::isfinite(d)) fmt::format_to(std::back_inserter(out), "{}", d);
            else out += "null";
        }
        break;
    case EditOp::Remove:
        write_id(out, e.id);
        break;
    case EditOp::Listen:
        write_id(out, e.id);
        out.push_back(',');
        write_json_string(out, e.name);
        out.push_back(',');
        fmt::format_to(std::back_inserter(out), "{}", e.mode);
        break;
    }
    out.push_back(']');
}

std::string serialize(const EditBatch& batch) {
    std::string out;
    out.reserve(batch.size() * 24 + 2);
    out.push_back('[');
    bool first = true;
    for (const auto& e : batch) {
        if (!first) out.push_back(',');
        first = false;
        write_edit(out, e);
    }
    out.push_back(']');
    return out;
}

base::Result<EditBatch> parse_edits(std::string_view text) {
    auto j = nlohmann::json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_array()) return base::fail("edit batch is not a JSON array");
    EditBatch out;
    auto id_at = [](const nlohmann::json& a, std::size_t i) -> std::optional<ElementId> {
        if (i >= a.size() || !a[i].is_number_unsigned()) return std::nullopt;
        return a[i].get<ElementId>();
    };
    auto str_at = [](const nlohmann::json& a, std::size_t i) -> std::optional<std::string> {
        if (i >= a.size() || !a[i].is_string()) return std::nullopt;
        return a[i].get<std::string>();
    };
    for (const auto& a : j) {
        if (!a.is_array() || a.empty() || !a[0].is_string() || a[0].get<std::string>().size() != 1)
            return base::fail("edit is not an array with an opcode");
        Edit e;
        char op = a[0].get<std::string>()[0];
        e.op = static_cast<EditOp>(op);
        auto bad = [&] { return base::fail(fmt::format("malformed edit: {}", a.dump())); };
        switch (op) {
        case 'i': {
            auto p = id_at(a, 1), id = id_at(a, 2);
            if (!p || !id || a.size() != 4) return bad();
            e.parent = *p;
            e.id = *id;
            if (!a[3].is_null()) {
                auto b = id_at(a, 3);
                if (!b) return bad();
                e.before = *b;
            }
            break;
        }
        case 'c': case 'a': case 's': {
            auto id = id_at(a, 1);
            auto n = str_at(a, 2), v = str_at(a, 3);
            if (!id || !n || !v || a.size() != 4) return bad();
            e.id = *id;
            e.name = *n;
            e.value = *v;
            break;
        }
        case 't': case 'x': case 'h': {
            auto id = id_at(a, 1);
            auto v = str_at(a, 2);
            if (!id || !v || a.size() != 3) return bad();
            e.id = *id;
            e.value = *v;
            break;
        }
        case 'r': case 'u': {
            auto id = id_at(a, 1);
            auto n = str_at(a, 2);
            if (!id || !n || a.size() != 3) return bad();
            e.id = *id;
            e.name = *n;
            break;
        }
        case 'p': {
            auto id = id_at(a, 1);
            auto n = str_at(a, 2);
            if (!id || !n || a.size() != 4) return bad();
            e.id = *id;
            e.name = *n;
            if (a[3].is_string()) e.prop = a[3].get<std::string>();
            else if (a[3].is_boolean()) e.prop = a[3].get<bool>();
            else if (a[3].is_number()) e.prop = a[3].get<double>();
            else e.prop = std::nan("");
            break;
        }
        case 'd': {
            auto id = id_at(a, 1);
            if (!id || a.size() != 2) return bad();
            e.id = *id;
            break;
        }
        case 'l': {
            auto id = id_at(a, 1);
            auto n = str_at(a, 2);
            if (!id || !n || a.size() != 4 || !a[3].is_number_integer()) return bad();
            e.id = *id;
            e.name = *n;
            e.mode = a[3].get<int>();
            break;
        }
        default:
            return bad();
        }
        out.push_back(std::move(e));
    }
    return out;
}

}  // namespace reactive
