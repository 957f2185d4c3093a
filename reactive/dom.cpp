#include "reactive/dom.h"

#include <algorithm>

#include <fmt/format.h>

namespace reactive::dom {

std::string escape(std::string_view s, bool attribute) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"':
            if (attribute) out += "&quot;";
            else out.push_back(c);
            break;
        default: out.push_back(c);
        }
    }
    return out;
}

Document::Document() {
    auto root = std::make_unique<Node>();
    root->tag = "div";
    nodes_.emplace(0, std::move(root));
}

const Node* Document::find(ElementId id) const {
    auto it = nodes_.find(id);
    return it == nodes_.end() ? nullptr : it->second.get();
}

void Document::forget(Node* n) {
    for (Node* c : n->children) forget(c);
    nodes_.erase(n->id);
}

base::Result<void> Document::apply_json(std::string_view json) {
    auto b = parse_edits(json);
    if (!b) return base::fail(b.error());
    return apply(*b);
}

base::Result<void> Document::apply(const EditBatch& batch) {
    auto get = [&](ElementId id) -> Node* {
        auto it = nodes_.find(id);
        return it == nodes_.end() ? nullptr : it->second.get();
    };
    for (const auto& e : batch) {
        auto unknown = [&](ElementId id) { return base::fail(fmt::format("edit '{}': unknown node {}", static_cast<char>(e.op), id)); };
        switch (e.op) {
        case EditOp::Create:
        case EditOp::CreateText: {
            if (e.id == 0 || nodes_.count(e.id)) return base::fail(fmt::format("node {} exists already", e.id));
            auto n = std::make_unique<Node>();
            n->id = e.id;
            n->is_text = e.op == EditOp::CreateText;
            if (n->is_text) n->text = e.value;
            else {
                n->tag = e.name;
                n->ns = e.value;
            }
            nodes_.emplace(e.id, std::move(n));
            break;
        }
        case EditOp::SetAttr: {
            Node* n = get(e.id);
            if (!n || n->is_text) return unknown(e.id);
            n->attrs[e.name] = e.value;
            break;
        }
        case EditOp::RemoveAttr: {
            Node* n = get(e.id);
            if (!n || n->is_text) return unknown(e.id);
            n->attrs.erase(e.name);
            break;
        }
        case EditOp::SetProp: {
            Node* n = get(e.id);
            if (!n || n->is_text) return unknown(e.id);
            // The empty value of a property reads like one never set.
            bool empty = std::visit([](const auto& v) {
                using V = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<V, std::string>) return v.empty();
                else if constexpr (std::is_same_v<V, bool>) return !v;
                else return v == 0.0;
            }, e.prop);
            if (empty) n->props.erase(e.name);
            else n->props[e.name] = e.prop;
            break;
        }
        case EditOp::SetStyle: {
            Node* n = get(e.id);
            if (!n || n->is_text) return unknown(e.id);
            if (e.value.empty()) n->styles.erase(e.name);
            else n->styles[e.name] = e.value;
            break;
        }
        case EditOp::SetText: {
            Node* n = get(e.id);
            if (!n || !n->is_text) return unknown(e.id);
            n->text = e.value;
            break;
        }
        case EditOp::SetHtml: {
            Node* n = get(e.id);
            if (!n || n->is_text) return unknown(e.id);
            for (Node* c : n->children) {
                c->parent = nullptr;
                forget(c);
            }
            n->children.clear();
            if (e.value.empty()) n->html.reset();
            else n->html = e.value;
            break;
        }
        case EditOp::Insert: {
            Node* p = get(e.parent);
            Node* n = get(e.id);
            if (!p || p->is_text) return unknown(e.parent);
            if (!n || e.id == 0) return unknown(e.id);
            for (Node* a = p; a; a = a->parent)
                if (a == n) return base::fail(fmt::format("node {} cannot go inside itself", e.id));
            if (n->parent) std::erase(n->parent->children, n);
            n->parent = p;
            if (e.before) {
                auto it = std::find_if(p->children.begin(), p->children.end(),
                                       [&](Node* c) { return c->id == *e.before; });
                if (it == p->children.end())
                    return base::fail(fmt::format("node {} is not a child of {}", *e.before, e.parent));
                p->children.insert(it, n);
            } else {
                p->children.push_back(n);
            }
            break;
        }
        case EditOp::Remove: {
            Node* n = get(e.id);
            if (!n || e.id == 0) return unknown(e.id);
            if (n->parent) std::erase(n->parent->children, n);
            forget(n);
            break;
        }
        case EditOp::Listen: {
            Node* n = get(e.id);
            if (!n || n->is_text) return unknown(e.id);
            n->listeners[e.name] = e.mode;
            break;
        }
        case EditOp::Unlisten: {
            Node* n = get(e.id);
            if (!n || n->is_text) return unknown(e.id);
            n->listeners.erase(e.name);
            break;
        }
        }
    }
    return {};
}

void Document::write(std::string& out, const Node& n, bool ids) const {
    if (n.is_text) {
        out += escape(n.text);
        return;
    }
    out += "<" + (n.ns.empty() ? n.tag : n.ns + ":" + n.tag);
    std::map<std::string, std::string> attrs = n.attrs;
    if (ids) attrs["data-id"] = std::to_string(n.id);
    if (!n.styles.empty()) {
        std::string s;
        for (auto& [k, v] : n.styles) s += k + ": " + v + "; ";
        attrs["style"] = s;
    }
    for (auto& [k, v] : n.props) {
        std::string text;
        if (auto* s = std::get_if<std::string>(&v)) text = *s;
        else if (auto* b = std::get_if<bool>(&v)) text = *b ? "true" : "false";
        else text = fmt::format("{}", std::get<double>(v));
        attrs["prop:" + k] = text;
    }
    for (auto& [k, m] : n.listeners) attrs["on:" + k] = std::to_string(m);
    for (auto& [k, v] : attrs) out += " " + k + "=\"" + escape(v, true) + "\"";
    out += ">";
    if (n.html) out += *n.html;
    for (const Node* c : n.children) write(out, *c, ids);
    out += "</" + n.tag + ">";
}

std::string Document::html_of(const Node& n, bool ids) const {
    std::string out;
    write(out, n, ids);
    return out;
}

std::string Document::html(bool ids) const {
    std::string out;
    for (const Node* c : root().children) write(out, *c, ids);
    return out;
}

std::vector<ElementId> Document::mounted_listeners() const {
    std::vector<ElementId> out;
    std::vector<const Node*> stack{&root()};
    while (!stack.empty()) {
        const Node* n = stack.back();
        stack.pop_back();
        if (n->listeners.count("mounted")) out.push_back(n->id);
        for (auto it = n->children.rbegin(); it != n->children.rend(); ++it) stack.push_back(*it);
    }
    return out;
}

}  // namespace reactive::dom
